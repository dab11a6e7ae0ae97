#include "engine/linux/SockDiag.h"
#include "DiagMessages.h"
#include "Loopback.h"

#include <cerrno>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kt::test {
namespace {

using sockdiag::AckStatus;
using sockdiag::DumpStatus;
using sockdiag::ParseAck;
using sockdiag::ParseDump;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr uint32_t kSeq = 41;
constexpr uint32_t kPort = 9001;

DiagSocket Established(const char* local, uint16_t localPort, const char* remote,
                       uint16_t remotePort) {
    return {AF_INET,   sockdiag::LinuxEstablished, V4(Ipv4(local)),
            localPort, V4(Ipv4(remote)),           remotePort,
            {}};
}

DiagSocket Listener(const char* local, uint16_t localPort) {
    return {AF_INET, sockdiag::LinuxListen, V4(Ipv4(local)), localPort, {}, 0, {}};
}

// Parses a copy that is exactly as long as the input, so that AddressSanitizer sees any read
// past its end.
sockdiag::DumpResult Parse(const Bytes& datagram, std::vector<TcpRow>& rows) {
    const Bytes exact(datagram.begin(), datagram.end());
    return ParseDump(exact, kSeq, kPort, rows);
}

TEST(SockDiagDump, ReadsIpv4RowsInTheKernelsOrder) {
    const Bytes datagram =
        Join({Diag(Listener("127.0.0.3", 8080), kSeq, kPort),
              Diag(Established("127.0.0.2", 40000, "127.0.0.3", 8080), kSeq, kPort),
              Diag(Established("127.0.0.3", 8080, "127.0.0.2", 40000), kSeq, kPort)});
    std::vector<TcpRow> rows;
    const auto result = Parse(datagram, rows);
    EXPECT_EQ(result.status, DumpStatus::More);
    EXPECT_FALSE(result.interrupted);
    EXPECT_THAT(rows, ElementsAre(Row(TcpListening, "127.0.0.3", 8080, "0.0.0.0", 0),
                                  Row(TcpEstablished, "127.0.0.2", 40000, "127.0.0.3", 8080),
                                  Row(TcpEstablished, "127.0.0.3", 8080, "127.0.0.2", 40000)));
    // The field holds the port's bytes high byte first, as the Windows row does.
    EXPECT_EQ(rows[0].dwLocalPort, 0x901Fu);
    EXPECT_EQ(rows[0].dwLocalAddr, htonl(0x7F000003u));
}

TEST(SockDiagDump, AppendsToRowsAndEndsAtDone) {
    std::vector<TcpRow> rows{Row(TcpListening, "127.0.0.2", 1, "0.0.0.0", 0)};
    const auto result = Parse(Join({Diag(Listener("127.0.0.3", 2), kSeq, kPort), Done(kSeq, kPort),
                                    Diag(Listener("127.0.0.3", 3), kSeq, kPort)}),
                              rows);
    EXPECT_EQ(result.status, DumpStatus::Done);
    EXPECT_EQ(rows.size(), 2u); // nothing after DONE is read
}

TEST(SockDiagDump, MapsEveryLinuxStateToTheTableNumbering) {
    const std::pair<uint8_t, TcpState> expected[] = {
        {sockdiag::LinuxEstablished, TcpEstablished},
        {sockdiag::LinuxSynSent, TcpSynSent},
        {sockdiag::LinuxSynRecv, TcpSynReceived},
        {sockdiag::LinuxNewSynRecv, TcpSynReceived},
        {sockdiag::LinuxFinWait1, TcpFinWait1},
        {sockdiag::LinuxFinWait2, TcpFinWait2},
        {sockdiag::LinuxTimeWait, TcpTimeWait},
        {sockdiag::LinuxClose, TcpClosed},
        {sockdiag::LinuxCloseWait, TcpCloseWait},
        {sockdiag::LinuxLastAck, TcpLastAck},
        {sockdiag::LinuxListen, TcpListening},
        {sockdiag::LinuxClosing, TcpClosing},
        {sockdiag::LinuxBoundInactive, TcpClosed},
        {0, TcpUnknown},
        {200, TcpUnknown},
    };
    for (const auto& [linuxState, tableState] : expected) {
        DiagSocket socket = Established("127.0.0.2", 1000, "127.0.0.3", 2000);
        socket.state = linuxState;
        std::vector<TcpRow> rows;
        Parse(Diag(socket, kSeq, kPort), rows);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].dwState, static_cast<uint32_t>(tableState))
            << "Linux state " << int(linuxState);
    }
}

TEST(SockDiagDump, ListsIpv6SocketsInTheFamilyTheyCarry) {
    const uint32_t a = Ipv4("127.0.0.2");
    const uint32_t b = Ipv4("127.0.0.3");
    struct Case {
        const char* what;
        DiagSocket socket;
        std::optional<TcpRow> row;
    };
    const Case cases[] = {
        {"mapped connection",
         {AF_INET6, sockdiag::LinuxEstablished, Mapped(a), 5000, Mapped(b), 6000, {}},
         Row(TcpEstablished, "127.0.0.2", 5000, "127.0.0.3", 6000)},
        {"dual-stack listener on ::",
         {AF_INET6, sockdiag::LinuxListen, {}, 7000, {}, 0, 0},
         Row(TcpListening, "0.0.0.0", 7000, "0.0.0.0", 0)},
        {"listener on :: of a kernel that does not say v6only",
         {AF_INET6, sockdiag::LinuxListen, {}, 7001, {}, 0, {}},
         Row(TcpListening, "0.0.0.0", 7001, "0.0.0.0", 0)},
        {"listener on a mapped address",
         {AF_INET6, sockdiag::LinuxListen, Mapped(b), 7002, {}, 0, 0},
         Row(TcpListening, "127.0.0.3", 7002, "0.0.0.0", 0)},
        {"v6only listener on ::",
         {AF_INET6, sockdiag::LinuxListen, {}, 7003, {}, 0, 1},
         Row(TcpListening, "::", 7003, "::", 0)},
        {"listener on ::1",
         {AF_INET6, sockdiag::LinuxListen, Loopback6(), 7004, {}, 0, 1},
         Row(TcpListening, "::1", 7004, "::", 0)},
        {"IPv6 connection",
         {AF_INET6, sockdiag::LinuxEstablished, Loopback6(), 5001, Loopback6(), 6001, {}},
         Row(TcpEstablished, "::1", 5001, "::1", 6001)},
        {"IPv6 connection bound to an interface, cookie of two words",
         {AF_INET6,
          sockdiag::LinuxEstablished,
          Loopback6(),
          5003,
          Loopback6(),
          6003,
          {},
          3,
          0x500000007u},
         Row(TcpEstablished, "::1", 5003, "::1", 6003, 3)},
        {"mapped local, IPv6 remote",
         {AF_INET6, sockdiag::LinuxEstablished, Mapped(a), 5002, Loopback6(), 6002, {}},
         {}},
        {"unknown family", {AF_UNIX, sockdiag::LinuxEstablished, {}, 1, {}, 2, {}}, {}},
    };
    for (const auto& c : cases) {
        std::vector<TcpRow> rows;
        const auto result = Parse(Diag(c.socket, kSeq, kPort), rows);
        EXPECT_EQ(result.status, DumpStatus::More) << c.what;
        if (c.row) {
            EXPECT_THAT(rows, ElementsAre(*c.row)) << c.what;
            EXPECT_EQ(rows.at(0).cookie, c.socket.cookie) << c.what;
        } else {
            EXPECT_THAT(rows, IsEmpty()) << c.what;
        }
    }
}

TEST(SockDiagDump, ReportsAnInterruptedDump) {
    std::vector<TcpRow> rows;
    const auto result = Parse(Join({Diag(Listener("127.0.0.3", 1), kSeq, kPort),
                                    Done(kSeq, kPort, NLM_F_MULTI | NLM_F_DUMP_INTR)}),
                              rows);
    EXPECT_EQ(result.status, DumpStatus::Done);
    EXPECT_TRUE(result.interrupted);
    EXPECT_EQ(rows.size(), 1u);
}

TEST(SockDiagDump, KernelErrorsEndTheDump) {
    std::vector<TcpRow> rows;
    auto result =
        Parse(Join({Diag(Listener("127.0.0.3", 1), kSeq, kPort), Error(kSeq, kPort, -EAFNOSUPPORT),
                    Diag(Listener("127.0.0.3", 2), kSeq, kPort)}),
              rows);
    EXPECT_EQ(result.status, DumpStatus::Failed);
    EXPECT_EQ(result.error, EAFNOSUPPORT);
    EXPECT_EQ(rows.size(), 1u);

    const int dumpError = -EINTR;
    Bytes payload(sizeof dumpError);
    std::memcpy(payload.data(), &dumpError, sizeof dumpError);
    rows.clear();
    result = Parse(Message(NLMSG_DONE, kSeq, kPort, payload), rows);
    EXPECT_EQ(result.status, DumpStatus::Failed);
    EXPECT_EQ(result.error, EINTR);

    // An acknowledgement (error 0) or an error without its number is no answer to a dump.
    result = Parse(Error(kSeq, kPort, 0), rows);
    EXPECT_EQ(result.status, DumpStatus::Malformed);
    result = Parse(Message(NLMSG_ERROR, kSeq, kPort, Bytes(2, 0xFF)), rows);
    EXPECT_EQ(result.status, DumpStatus::Malformed);
    result = Parse(Error(kSeq, kPort, INT32_MIN), rows);
    EXPECT_EQ(result.status, DumpStatus::Malformed);
}

TEST(SockDiagDump, StopsAtAMessageOfAnotherRequestOrSocket) {
    const Bytes good = Diag(Listener("127.0.0.3", 1), kSeq, kPort);
    for (const Bytes& foreign : {Diag(Listener("127.0.0.3", 2), kSeq + 1, kPort),
                                 Diag(Listener("127.0.0.3", 2), kSeq - 1, kPort),
                                 Diag(Listener("127.0.0.3", 2), kSeq, kPort + 1),
                                 Done(kSeq + 1, kPort), Error(kSeq, 0, -ENOENT)}) {
        std::vector<TcpRow> rows;
        const auto result = Parse(Join({good, foreign, good, Done(kSeq, kPort)}), rows);
        EXPECT_EQ(result.status, DumpStatus::Malformed);
        EXPECT_EQ(rows.size(), 1u);
    }
}

TEST(SockDiagDump, StopsAtLengthsThatDoNotFit) {
    const Bytes good = Diag(Listener("127.0.0.3", 1), kSeq, kPort);
    const Bytes payload = DiagPayload(Listener("127.0.0.3", 2));
    const Bytes shortPayload(payload.begin(), payload.begin() + sizeof(inet_diag_msg) - 4);
    const Bytes cases[] = {
        // payload shorter than the diag message it claims to be
        Message(SOCK_DIAG_BY_FAMILY, kSeq, kPort, shortPayload),
        // no payload at all
        Message(SOCK_DIAG_BY_FAMILY, kSeq, kPort, {}),
        // length larger than the datagram
        Message(SOCK_DIAG_BY_FAMILY, kSeq, kPort, payload, NLM_F_MULTI,
                static_cast<uint32_t>(NLMSG_HDRLEN + payload.size() + 4)),
        Message(SOCK_DIAG_BY_FAMILY, kSeq, kPort, payload, NLM_F_MULTI, 0xFFFFFFFFu),
        // length smaller than a header
        Message(SOCK_DIAG_BY_FAMILY, kSeq, kPort, payload, NLM_F_MULTI, 8),
        // a few bytes that are no header
        Bytes{1, 2, 3, 4, 5, 6, 7, 8},
        // a message type that has no business in a dump
        Message(NLMSG_OVERRUN, kSeq, kPort, payload),
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        std::vector<TcpRow> rows;
        const auto result = Parse(Join({good, cases[i]}), rows);
        EXPECT_EQ(result.status, DumpStatus::Malformed) << "case " << i;
        EXPECT_EQ(rows.size(), 1u) << "case " << i;
    }
}

TEST(SockDiagDump, StopsAtAnAttributeThatDoesNotFit) {
    // A dual-stack listener's attributes decide whether it is listed, so they are read, and an
    // attribute longer than its message ends the datagram.
    Bytes payload = DiagPayload({AF_INET6, sockdiag::LinuxListen, {}, 7000, {}, 0, 0});
    rtattr attribute{};
    std::memcpy(&attribute, payload.data() + NLMSG_ALIGN(sizeof(inet_diag_msg)), sizeof attribute);
    attribute.rta_len = static_cast<unsigned short>(payload.size());
    std::memcpy(payload.data() + NLMSG_ALIGN(sizeof(inet_diag_msg)), &attribute, sizeof attribute);
    std::vector<TcpRow> rows;
    const auto result = Parse(Join({Diag(Listener("127.0.0.3", 1), kSeq, kPort),
                                    Message(SOCK_DIAG_BY_FAMILY, kSeq, kPort, payload)}),
                              rows);
    EXPECT_EQ(result.status, DumpStatus::Malformed);
    EXPECT_EQ(rows.size(), 1u);
}

TEST(SockDiagDump, EveryTruncationEndsEarlyWithinBounds) {
    const Bytes parts[] = {
        Diag(Listener("127.0.0.3", 8080), kSeq, kPort),
        Diag(Established("127.0.0.2", 40000, "127.0.0.3", 8080), kSeq, kPort),
        Diag({AF_INET6, sockdiag::LinuxListen, {}, 7000, {}, 0, 0}, kSeq, kPort),
        Diag({AF_INET6, sockdiag::LinuxEstablished, Loopback6(), 1, Loopback6(), 2, {}}, kSeq,
             kPort),
        Diag(Established("127.0.0.3", 8080, "127.0.0.2", 40000), kSeq, kPort),
        Done(kSeq, kPort),
    };
    const size_t rowsOf[] = {1, 1, 1, 1, 1, 0};
    Bytes whole;
    std::vector<size_t> boundaries{0}; // where each message ends
    std::vector<size_t> rowsBefore{0}; // rows of the messages before each boundary
    for (size_t i = 0; i < std::size(parts); ++i) {
        whole.insert(whole.end(), parts[i].begin(), parts[i].end());
        boundaries.push_back(whole.size());
        rowsBefore.push_back(rowsBefore.back() + rowsOf[i]);
    }
    std::vector<TcpRow> all;
    ASSERT_EQ(Parse(whole, all).status, DumpStatus::Done);
    ASSERT_EQ(all.size(), 5u);

    for (size_t length = 0; length < whole.size(); ++length) {
        const Bytes prefix(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(length));
        std::vector<TcpRow> rows;
        const auto result = ParseDump(prefix, kSeq, kPort, rows);
        size_t whole_messages = 0;
        while (boundaries[whole_messages + 1] <= length) {
            ++whole_messages;
        }
        const bool atBoundary = boundaries[whole_messages] == length;
        EXPECT_EQ(result.status, atBoundary ? DumpStatus::More : DumpStatus::Malformed)
            << "length " << length;
        ASSERT_EQ(rows.size(), rowsBefore[whole_messages]) << "length " << length;
        EXPECT_TRUE(std::equal(rows.begin(), rows.end(), all.begin())) << "length " << length;
    }
}

TEST(SockDiagAck, ReadsTheAnswerToItsOwnRequest) {
    auto ack = ParseAck(Error(kSeq, kPort, 0), kSeq, kPort);
    EXPECT_EQ(ack.status, AckStatus::Answered);
    EXPECT_EQ(ack.error, 0);

    ack = ParseAck(Error(kSeq, kPort, -EPERM), kSeq, kPort);
    EXPECT_EQ(ack.status, AckStatus::Answered);
    EXPECT_EQ(ack.error, EPERM);

    // A late answer to an earlier request is passed over.
    ack = ParseAck(Join({Error(kSeq - 1, kPort, -ENOENT), Error(kSeq, kPort, -EOPNOTSUPP)}), kSeq,
                   kPort);
    EXPECT_EQ(ack.status, AckStatus::Answered);
    EXPECT_EQ(ack.error, EOPNOTSUPP);
    EXPECT_EQ(ParseAck(Error(kSeq - 1, kPort, 0), kSeq, kPort).status, AckStatus::NotFound);
    EXPECT_EQ(ParseAck(Error(kSeq, kPort + 1, 0), kSeq, kPort).status, AckStatus::NotFound);
}

TEST(SockDiagAck, RejectsAnswersThatCannotBeRead) {
    const Bytes cases[] = {
        Message(NLMSG_ERROR, kSeq, kPort, Bytes(3, 0)),                // error number cut short
        Done(kSeq, kPort),                                             // not an acknowledgement
        Error(kSeq, kPort, 5),                                         // a positive error number
        Message(NLMSG_ERROR, kSeq, kPort, ErrorPayload(0), 0, 0xFFFF), // longer than the datagram
        Bytes{1, 2, 3, 4, 5},                                          // no header
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Bytes exact(cases[i].begin(), cases[i].end());
        EXPECT_EQ(ParseAck(exact, kSeq, kPort).status, AckStatus::Malformed) << "case " << i;
    }
    const Bytes ack = Error(kSeq, kPort, -ENOENT);
    for (size_t length = 0; length < ack.size(); ++length) {
        const Bytes prefix(ack.begin(), ack.begin() + static_cast<ptrdiff_t>(length));
        EXPECT_NE(ParseAck(prefix, kSeq, kPort).status, AckStatus::Answered) << length;
    }
}

TEST(SockDiagAck, ReadsTheSocketALookupFound) {
    sockdiag::Found found;
    auto answer = ParseAck(Diag(Established("127.0.0.2", 40000, "127.0.0.3", 8080), kSeq, kPort, 0),
                           kSeq, kPort, &found);
    EXPECT_EQ(answer.status, AckStatus::Answered);
    EXPECT_EQ(answer.error, 0);
    EXPECT_TRUE(found.connection);
    EXPECT_EQ(found.row, Row(TcpEstablished, "127.0.0.2", 40000, "127.0.0.3", 8080));
    EXPECT_EQ(found.cookie, (sockdiag::Cookie{7, 0}));

    found = {};
    answer = ParseAck(Diag({AF_INET6,
                            sockdiag::LinuxEstablished,
                            Mapped(Ipv4("127.0.0.2")),
                            1,
                            Mapped(Ipv4("127.0.0.3")),
                            2,
                            {}},
                           kSeq, kPort, 0),
                      kSeq, kPort, &found);
    EXPECT_EQ(answer.status, AckStatus::Answered);
    EXPECT_EQ(found.row, Row(TcpEstablished, "127.0.0.2", 1, "127.0.0.3", 2));

    found = {};
    ParseAck(Diag({AF_INET6, sockdiag::LinuxEstablished, Loopback6(), 1, Loopback6(), 2, {}, 4},
                  kSeq, kPort, 0),
             kSeq, kPort, &found);
    EXPECT_TRUE(found.connection);
    EXPECT_EQ(found.row, Row(TcpEstablished, "::1", 1, "::1", 2, 4));

    answer = ParseAck(Error(kSeq, kPort, -ENOENT), kSeq, kPort, &found);
    EXPECT_EQ(answer.status, AckStatus::Answered);
    EXPECT_EQ(answer.error, ENOENT);
    // A look-up is answered by the socket, never by an acknowledgement.
    EXPECT_EQ(ParseAck(Error(kSeq, kPort, 0), kSeq, kPort, &found).status, AckStatus::Malformed);

    // A diag message too short for its socket is no answer.
    const Bytes payload = DiagPayload(Established("127.0.0.2", 1, "127.0.0.3", 2));
    const Bytes cut(payload.begin(), payload.begin() + 40);
    EXPECT_EQ(
        ParseAck(Message(SOCK_DIAG_BY_FAMILY, kSeq, kPort, cut, 0), kSeq, kPort, &found).status,
        AckStatus::Malformed);
}

TEST(SockDiagRequest, DestroyNamesTheRowsOwnSocket) {
    const TcpRow row = Row(TcpDeleteTcb, "127.0.0.2", 40000, "127.0.0.3", 8080);
    const auto v4 = sockdiag::MakeDestroyRequest(AF_INET, row, 77);
    EXPECT_EQ(v4.header.nlmsg_len, sizeof v4);
    EXPECT_EQ(v4.header.nlmsg_type, SOCK_DESTROY);
    EXPECT_EQ(v4.header.nlmsg_flags, NLM_F_REQUEST | NLM_F_ACK);
    EXPECT_EQ(v4.header.nlmsg_seq, 77u);
    EXPECT_EQ(v4.body.sdiag_family, AF_INET);
    EXPECT_EQ(v4.body.sdiag_protocol, IPPROTO_TCP);
    EXPECT_EQ(ntohs(v4.body.id.idiag_sport), 40000);
    EXPECT_EQ(ntohs(v4.body.id.idiag_dport), 8080);
    EXPECT_EQ(v4.body.id.idiag_src[0], Ipv4("127.0.0.2"));
    EXPECT_EQ(v4.body.id.idiag_dst[0], Ipv4("127.0.0.3"));
    EXPECT_EQ(v4.body.id.idiag_cookie[0], INET_DIAG_NOCOOKIE);
    EXPECT_EQ(v4.body.id.idiag_cookie[1], INET_DIAG_NOCOOKIE);
    const auto byCookie = sockdiag::MakeDestroyRequest(AF_INET, row, 80, {5, 6});
    EXPECT_EQ(byCookie.body.id.idiag_cookie[0], 5u);
    EXPECT_EQ(byCookie.body.id.idiag_cookie[1], 6u);

    const auto v6 = sockdiag::MakeDestroyRequest(AF_INET6, row, 78);
    EXPECT_EQ(v6.body.sdiag_family, AF_INET6);
    const auto local = Mapped(Ipv4("127.0.0.2"));
    const auto remote = Mapped(Ipv4("127.0.0.3"));
    EXPECT_TRUE(std::equal(local.begin(), local.end(), v6.body.id.idiag_src));
    EXPECT_TRUE(std::equal(remote.begin(), remote.end(), v6.body.id.idiag_dst));

    const auto dump = sockdiag::MakeDumpRequest(AF_INET, 79);
    EXPECT_EQ(dump.header.nlmsg_type, SOCK_DIAG_BY_FAMILY);
    EXPECT_EQ(dump.header.nlmsg_flags, NLM_F_REQUEST | NLM_F_DUMP);
    EXPECT_EQ(dump.body.idiag_states, ~(1u << sockdiag::LinuxBoundInactive));
    EXPECT_EQ(dump.body.idiag_ext, 0);
}

} // namespace
} // namespace kt::test

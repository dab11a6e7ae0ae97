#include "DiagMessages.h"
#include "Loopback.h"
#include "engine/linux/NetlinkTcpTable.h"
#include "engine/linux/SockDiag.h"

#include <cerrno>
#include <deque>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kt::test {
namespace {

using ::testing::ElementsAre;

// The kernel behind a channel, played from a script: each request is answered by the next
// entry, which sees the request and gives the datagrams to queue (or nothing, and then
// receiving fails as a silent socket would).
struct Script {
    using Answer = std::function<std::vector<Bytes>(const sockdiag::Request&)>;
    std::deque<Answer> answers;
    std::vector<sockdiag::Request> requests;
    bool sendFails = false;
    int resets = 0;
    bool truncateNext = false;
};

constexpr uint32_t kPort = 4242;

class ScriptedChannel final : public DiagChannel {
public:
    explicit ScriptedChannel(Script& script) : script_(script) {}

    bool Send(std::span<const uint8_t> bytes) override {
        if (script_.sendFails || bytes.size() != sizeof(sockdiag::Request)) {
            return false;
        }
        sockdiag::Request request;
        std::memcpy(&request, bytes.data(), sizeof request);
        script_.requests.push_back(request);
        if (!script_.answers.empty()) {
            for (auto& datagram : script_.answers.front()(request)) {
                queue_.push_back(std::move(datagram));
            }
            script_.answers.pop_front();
        }
        return true;
    }

    ssize_t Receive(std::span<uint8_t> buffer, bool& truncated) override {
        if (queue_.empty()) {
            return -1;
        }
        Bytes datagram = std::move(queue_.front());
        queue_.pop_front();
        const size_t copied = std::min(datagram.size(), buffer.size());
        if (copied > 0) {
            std::memcpy(buffer.data(), datagram.data(), copied);
        }
        truncated = datagram.size() > buffer.size();
        return static_cast<ssize_t>(datagram.size());
    }

    void Reset() override {
        queue_.clear();
        ++script_.resets;
    }

    uint32_t PortId() const override { return kPort; }

private:
    Script& script_;
    std::deque<Bytes> queue_;
};

DiagSocket Conn(uint16_t localPort, uint16_t remotePort, uint16_t family = AF_INET) {
    if (family == AF_INET6) {
        return {AF_INET6,  sockdiag::LinuxEstablished, Mapped(Ipv4("127.0.0.2")),
                localPort, Mapped(Ipv4("127.0.0.3")),  remotePort,
                {}};
    }
    return {AF_INET,   sockdiag::LinuxEstablished, V4(Ipv4("127.0.0.2")),
            localPort, V4(Ipv4("127.0.0.3")),      remotePort,
            {}};
}

TcpRow ConnRow(uint16_t localPort, uint16_t remotePort) {
    return Row(TcpEstablished, "127.0.0.2", localPort, "127.0.0.3", remotePort);
}

// A dump answer: each inner list is one datagram of sockets; DONE follows in the last one.
Script::Answer Dump(std::vector<std::vector<DiagSocket>> datagrams, uint16_t doneFlags = 0) {
    return [datagrams, doneFlags](const sockdiag::Request& request) {
        const uint32_t seq = request.header.nlmsg_seq;
        std::vector<Bytes> out;
        for (const auto& sockets : datagrams) {
            Bytes datagram;
            for (const auto& socket : sockets) {
                const Bytes message = Diag(socket, seq, kPort);
                datagram.insert(datagram.end(), message.begin(), message.end());
            }
            out.push_back(datagram);
        }
        if (out.empty()) {
            out.emplace_back();
        }
        const Bytes done = Done(seq, kPort, NLM_F_MULTI | doneFlags);
        out.back().insert(out.back().end(), done.begin(), done.end());
        return out;
    };
}

Script::Answer Raw(std::vector<Bytes> datagrams) {
    return [datagrams](const sockdiag::Request&) { return datagrams; };
}

Script::Answer Ack(int error) {
    return [error](const sockdiag::Request& request) {
        return std::vector<Bytes>{Error(request.header.nlmsg_seq, kPort, error)};
    };
}

class ScriptedTable : public ::testing::Test {
protected:
    Script dump;
    Script destroy;
    NetlinkTcpTable table{std::make_unique<ScriptedChannel>(dump),
                          std::make_unique<ScriptedChannel>(destroy)};
    const std::vector<TcpRow> previous{ConnRow(1, 2), ConnRow(3, 4)};
};

TEST_F(ScriptedTable, JoinsTheIpv4AndIpv6DumpsAcrossDatagrams) {
    dump.answers = {Dump({{Conn(10, 20), Conn(11, 21)}, {Conn(12, 22)}}),
                    Dump({{Conn(13, 23, AF_INET6)}})};
    std::vector<TcpRow> rows = previous;
    ASSERT_TRUE(table.TakeSnapshot(rows));
    EXPECT_THAT(rows,
                ElementsAre(ConnRow(10, 20), ConnRow(11, 21), ConnRow(12, 22), ConnRow(13, 23)));
    ASSERT_EQ(dump.requests.size(), 2u);
    EXPECT_EQ(dump.requests[0].body.sdiag_family, AF_INET);
    EXPECT_EQ(dump.requests[1].body.sdiag_family, AF_INET6);
    EXPECT_NE(dump.requests[0].header.nlmsg_seq, dump.requests[1].header.nlmsg_seq);
    EXPECT_EQ(dump.resets, 0);
}

TEST_F(ScriptedTable, AFailedSocketLeavesTheRowsAsTheyWere) {
    std::vector<TcpRow> rows = previous;
    dump.sendFails = true;
    EXPECT_FALSE(table.TakeSnapshot(rows));
    EXPECT_EQ(rows, previous);

    // Silent after a first datagram of rows.
    dump.sendFails = false;
    dump.answers = {[](const sockdiag::Request& request) {
        return std::vector<Bytes>{Diag(Conn(10, 20), request.header.nlmsg_seq, kPort)};
    }};
    EXPECT_FALSE(table.TakeSnapshot(rows));
    EXPECT_EQ(rows, previous);

    // Silent on the IPv6 half.
    dump.answers = {Dump({{Conn(10, 20)}})};
    EXPECT_FALSE(table.TakeSnapshot(rows));
    EXPECT_EQ(rows, previous);
}

TEST_F(ScriptedTable, AnIpv4RefusalFailsButAnIpv6RefusalOnlyEndsTheIpv6Half) {
    std::vector<TcpRow> rows = previous;
    dump.answers = {Ack(-EINVAL)};
    EXPECT_FALSE(table.TakeSnapshot(rows));
    EXPECT_EQ(rows, previous);

    dump.answers = {Dump({{Conn(10, 20)}}), Ack(-EAFNOSUPPORT)};
    ASSERT_TRUE(table.TakeSnapshot(rows));
    EXPECT_THAT(rows, ElementsAre(ConnRow(10, 20)));
}

TEST_F(ScriptedTable, AMalformedAnswerFailsTheSnapshot) {
    dump.answers = {[](const sockdiag::Request& request) {
        const uint32_t seq = request.header.nlmsg_seq;
        return std::vector<Bytes>{Join({Diag(Conn(10, 20), seq, kPort)}),
                                  Join({Diag(Conn(11, 21), seq, kPort),
                                        Message(SOCK_DIAG_BY_FAMILY, seq, kPort, Bytes(8, 0))}),
                                  Join({Diag(Conn(12, 22), seq, kPort), Done(seq, kPort)})};
    }};
    std::vector<TcpRow> rows = previous;
    EXPECT_FALSE(table.TakeSnapshot(rows));
    EXPECT_EQ(rows, previous);           // not the rows read before the break
    EXPECT_EQ(dump.requests.size(), 1u); // no IPv6 dump after a broken IPv4 one
    EXPECT_EQ(dump.resets, 1);           // the rest of the answer is not read

    // The next snapshot starts on a clean channel.
    dump.answers = {Dump({{Conn(30, 40)}}), Dump({})};
    ASSERT_TRUE(table.TakeSnapshot(rows));
    EXPECT_THAT(rows, ElementsAre(ConnRow(30, 40)));
}

TEST_F(ScriptedTable, ATruncatedOrEmptyDatagramFailsTheSnapshot) {
    dump.answers = {[](const sockdiag::Request& request) {
        const uint32_t seq = request.header.nlmsg_seq;
        Bytes big;
        // More than the receive buffer holds: only whole messages inside it count.
        const Bytes one = Diag(Conn(10, 20), seq, kPort);
        while (big.size() <= NetlinkTcpTable::kBufferSize) {
            big.insert(big.end(), one.begin(), one.end());
        }
        return std::vector<Bytes>{big, Done(seq, kPort)};
    }};
    std::vector<TcpRow> rows = previous;
    EXPECT_FALSE(table.TakeSnapshot(rows));
    EXPECT_EQ(dump.resets, 1);

    dump.answers = {Raw({Bytes{}})};
    EXPECT_FALSE(table.TakeSnapshot(rows));
    EXPECT_EQ(rows, previous);
    EXPECT_EQ(dump.resets, 2);
}

TEST_F(ScriptedTable, AnInterruptedDumpIsTakenAgainABoundedNumberOfTimes) {
    dump.answers = {Dump({{Conn(10, 20)}}, NLM_F_DUMP_INTR), Dump({}), Dump({{Conn(11, 21)}}),
                    Dump({{Conn(12, 22, AF_INET6)}})};
    std::vector<TcpRow> rows;
    ASSERT_TRUE(table.TakeSnapshot(rows));
    EXPECT_THAT(rows, ElementsAre(ConnRow(11, 21), ConnRow(12, 22)));
    EXPECT_EQ(dump.requests.size(), 4u);

    // Interrupted every time: the last attempt's table is taken.
    dump.requests.clear();
    for (int i = 0; i < NetlinkTcpTable::kMaxDumpAttempts; ++i) {
        dump.answers.push_back(Dump({{Conn(static_cast<uint16_t>(50 + i), 60)}}));
        dump.answers.push_back(Dump({}, NLM_F_DUMP_INTR));
    }
    dump.answers.push_back(Dump({{Conn(99, 99)}}));
    ASSERT_TRUE(table.TakeSnapshot(rows));
    EXPECT_EQ(dump.requests.size(), 2u * NetlinkTcpTable::kMaxDumpAttempts);
    EXPECT_THAT(rows, ElementsAre(ConnRow(50 + NetlinkTcpTable::kMaxDumpAttempts - 1, 60)));
}

// The kernel's answer to a look-up: the socket it found.
Script::Answer Lookup(const DiagSocket& socket) {
    return [socket](const sockdiag::Request& request) {
        return std::vector<Bytes>{Diag(socket, request.header.nlmsg_seq, kPort, 0)};
    };
}

const TcpRow kCut = Row(TcpDeleteTcb, "127.0.0.2", 40000, "127.0.0.3", 8080);

TEST_F(ScriptedTable, DeleteLooksTheSocketUpAndDestroysItByItsCookie) {
    destroy.answers = {Lookup(Conn(40000, 8080)), Ack(0)};
    EXPECT_TRUE(table.DeleteConnection(kCut));
    EXPECT_EQ(table.LastDeleteError(), 0);
    ASSERT_EQ(destroy.requests.size(), 2u);
    const auto& lookup = destroy.requests[0];
    EXPECT_EQ(lookup.header.nlmsg_type, SOCK_DIAG_BY_FAMILY);
    EXPECT_EQ(lookup.header.nlmsg_flags, NLM_F_REQUEST);
    EXPECT_EQ(lookup.body.sdiag_family, AF_INET);
    EXPECT_EQ(lookup.body.id.idiag_cookie[0], INET_DIAG_NOCOOKIE);
    const auto& cut = destroy.requests[1];
    EXPECT_EQ(cut.header.nlmsg_type, SOCK_DESTROY);
    EXPECT_EQ(cut.body.sdiag_family, AF_INET);
    EXPECT_EQ(cut.body.id.idiag_src[0], Ipv4("127.0.0.2"));
    EXPECT_EQ(ntohs(cut.body.id.idiag_dport), 8080);
    EXPECT_EQ(cut.body.id.idiag_cookie[0], 7u); // the cookie the look-up answered
    EXPECT_EQ(cut.body.id.idiag_cookie[1], 0u);
}

TEST_F(ScriptedTable, ARefusedDestroyAnswersFalseWithTheKernelsReason) {
    for (int refusal : {EPERM, EACCES, EOPNOTSUPP, EINVAL}) {
        destroy.requests.clear();
        destroy.answers = {Lookup(Conn(40000, 8080)), Ack(-refusal)};
        EXPECT_FALSE(table.DeleteConnection(kCut));
        EXPECT_EQ(table.LastDeleteError(), refusal);
        EXPECT_EQ(destroy.requests.size(), 2u) << "only a missing socket is looked for again";
    }
}

TEST_F(ScriptedTable, DeleteDestroysNothingWhenTheLookupFindsAnotherSocket) {
    // What the kernel answers when the connection is gone but its local port still listens.
    const DiagSocket listener{AF_INET, sockdiag::LinuxListen, V4(Ipv4("127.0.0.2")), 40000, {}, 0,
                              {}};
    destroy.answers = {Lookup(listener), Lookup(listener)};
    EXPECT_FALSE(table.DeleteConnection(kCut));
    EXPECT_EQ(table.LastDeleteError(), ENOENT);
    ASSERT_EQ(destroy.requests.size(), 2u);
    for (const auto& request : destroy.requests) {
        EXPECT_EQ(request.header.nlmsg_type, SOCK_DIAG_BY_FAMILY);
    }

    // Another connection from the same local port.
    destroy.requests.clear();
    destroy.answers = {Lookup(Conn(40000, 8081)), Ack(-ENOENT)};
    EXPECT_FALSE(table.DeleteConnection(kCut));
    EXPECT_EQ(destroy.requests.size(), 2u);
    EXPECT_EQ(destroy.requests[1].header.nlmsg_type, SOCK_DIAG_BY_FAMILY);
}

TEST_F(ScriptedTable, DeleteLooksForADualStackSocketWhenNoIpv4OneExists) {
    destroy.answers = {Ack(-ENOENT), Lookup(Conn(40000, 8080, AF_INET6)), Ack(0)};
    EXPECT_TRUE(table.DeleteConnection(kCut));
    ASSERT_EQ(destroy.requests.size(), 3u);
    for (const size_t i : {1u, 2u}) {
        EXPECT_EQ(destroy.requests[i].body.sdiag_family, AF_INET6);
        EXPECT_EQ(destroy.requests[i].body.id.idiag_src[2], htonl(0xFFFFu));
        EXPECT_EQ(destroy.requests[i].body.id.idiag_src[3], Ipv4("127.0.0.2"));
        EXPECT_EQ(destroy.requests[i].body.id.idiag_dst[3], Ipv4("127.0.0.3"));
    }
    EXPECT_EQ(destroy.requests[2].header.nlmsg_type, SOCK_DESTROY);

    destroy.answers = {Ack(-ENOENT), Ack(-ENOENT)};
    EXPECT_FALSE(table.DeleteConnection(kCut));
    EXPECT_EQ(table.LastDeleteError(), ENOENT);
}

TEST_F(ScriptedTable, DeleteWithoutAReadableAnswerIsRefused) {
    destroy.answers = {Raw({})}; // silence
    EXPECT_FALSE(table.DeleteConnection(kCut));
    EXPECT_EQ(table.LastDeleteError(), EIO);

    destroy.answers = {Raw({Bytes{1, 2, 3}})};
    EXPECT_FALSE(table.DeleteConnection(kCut));
    EXPECT_EQ(table.LastDeleteError(), EIO);
    EXPECT_EQ(destroy.resets, 1);

    destroy.answers = {Lookup(Conn(40000, 8080)), Raw({})};
    EXPECT_FALSE(table.DeleteConnection(kCut));
    EXPECT_EQ(table.LastDeleteError(), EIO);

    destroy.sendFails = true;
    EXPECT_FALSE(table.DeleteConnection(kCut));
    EXPECT_EQ(table.LastDeleteError(), EIO);

    // A late answer to an earlier request is passed over.
    destroy.sendFails = false;
    destroy.answers = {[](const sockdiag::Request& request) {
                           const uint32_t seq = request.header.nlmsg_seq;
                           return std::vector<Bytes>{Error(seq - 1, kPort, -ENOENT),
                                                     Diag(Conn(40000, 8080), seq, kPort, 0)};
                       },
                       Ack(0)};
    EXPECT_TRUE(table.DeleteConnection(kCut));
}

} // namespace
} // namespace kt::test

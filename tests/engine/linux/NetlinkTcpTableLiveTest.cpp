#include "Loopback.h"
#include "engine/linux/NetlinkTcpTable.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <net/if.h>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kt::test {
namespace {

using ::testing::AnyOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

// The connection is gone: reset by the peer's abort, or aborted here.
const auto Aborted = AnyOf(ECONNRESET, ECONNABORTED, EPIPE);

// Real sockets, as root, each test in a network namespace of its own (the process entered one in
// main; a fresh one per test keeps the sockets of earlier tests out when they share a process),
// so that the table holds nothing but this test's sockets.
class LiveTable : public ::testing::Test {
protected:
    void SetUp() override {
        KT_ENTER_OWN_NETWORK_NAMESPACE();
        table.emplace();
    }

    std::vector<TcpRow> Snapshot() {
        std::vector<TcpRow> rows;
        EXPECT_TRUE(table->TakeSnapshot(rows));
        return rows;
    }

    std::optional<NetlinkTcpTable> table;
};

struct Connection {
    Socket client;
    Socket server;
};

Connection Open(const Socket& listener, const char* device = nullptr) {
    Connection connection;
    connection.client = Connect("127.0.0.2", "127.0.0.3", listener.LocalPort(), device);
    connection.server = Accept(listener);
    return connection;
}

TEST_F(LiveTable, ListsAListenerAsListening) {
    const Socket listener = Listen("127.0.0.3");
    ASSERT_TRUE(listener.Valid());
    EXPECT_THAT(Snapshot(),
                ElementsAre(Row(TcpListening, "127.0.0.3", listener.LocalPort(), "0.0.0.0", 0)));
}

TEST_F(LiveTable, LeavesOutASocketThatIsOnlyBound) {
    const Socket listener = Listen("127.0.0.3");
    Socket bound(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = Ipv4("127.0.0.2");
    ASSERT_EQ(::bind(bound.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_THAT(Snapshot(),
                ElementsAre(Row(TcpListening, "127.0.0.3", listener.LocalPort(), "0.0.0.0", 0)));
}

TEST_F(LiveTable, ListsAConnectionAsTwoEstablishedRows) {
    const Socket listener = Listen("127.0.0.3");
    const Connection c = Open(listener);
    ASSERT_TRUE(c.client.Valid() && c.server.Valid());
    const uint16_t port = listener.LocalPort();
    const uint16_t clientPort = c.client.LocalPort();
    EXPECT_THAT(Snapshot(), UnorderedElementsAre(
                                Row(TcpListening, "127.0.0.3", port, "0.0.0.0", 0),
                                Row(TcpEstablished, "127.0.0.2", clientPort, "127.0.0.3", port),
                                Row(TcpEstablished, "127.0.0.3", port, "127.0.0.2", clientPort)));
}

// Sockets bound to an interface (as VRF sockets are) or not; rows built by hand, looked up
// first, or from a snapshot, destroyed by their cookie.
class LiveTableRows : public LiveTable,
                      public ::testing::WithParamInterface<std::pair<const char*, bool>> {
protected:
    TcpRow RowOf(TcpRow row) {
        if (!GetParam().second) {
            return row;
        }
        row.dwState = TcpEstablished;
        const std::vector<TcpRow> rows = Snapshot();
        const auto listed = std::find(rows.begin(), rows.end(), row);
        EXPECT_NE(listed, rows.end()) << Describe(row);
        return listed == rows.end() ? row : *listed;
    }
};

TEST_P(LiveTableRows, DeleteCutsTheConnectionFromEitherEnd) {
    const char* device = GetParam().first;
    const uint32_t bound = device ? ::if_nametoindex(device) : 0;
    const Socket listener = Listen("127.0.0.3", 0, device);
    const uint16_t port = listener.LocalPort();
    const TcpRow listening = Row(TcpListening, "127.0.0.3", port, "0.0.0.0", 0, bound);
    const Connection first = Open(listener, device);
    const Connection second = Open(listener, device);
    ASSERT_TRUE(first.client.Valid() && second.client.Valid());

    // By the server's row, as for a blocked local port.
    const TcpRow serverRow =
        RowOf(Row(TcpDeleteTcb, "127.0.0.3", port, "127.0.0.2", first.client.LocalPort(), bound));
    EXPECT_TRUE(table->DeleteConnection(serverRow));
    EXPECT_EQ(table->LastDeleteError(), 0);
    EXPECT_THAT(ConnectionError(first.client), Aborted);
    EXPECT_THAT(ConnectionError(first.server), Aborted);

    // By the client's row, as for a blocked remote port.
    const TcpRow clientRow =
        RowOf(Row(TcpDeleteTcb, "127.0.0.2", second.client.LocalPort(), "127.0.0.3", port, bound));
    EXPECT_TRUE(table->DeleteConnection(clientRow));
    EXPECT_THAT(ConnectionError(second.client), Aborted);
    EXPECT_THAT(ConnectionError(second.server), Aborted);

    EXPECT_THAT(Snapshot(), ElementsAre(listening));

    // Cut once, gone: a second cut finds nothing, and above all not the listener, which the
    // kernel's look-up by addresses falls back to.
    EXPECT_FALSE(table->DeleteConnection(serverRow));
    EXPECT_EQ(table->LastDeleteError(), ENOENT);
    EXPECT_THAT(Snapshot(), ElementsAre(listening));
    const Connection third = Open(listener, device);
    EXPECT_TRUE(third.client.Valid() && third.server.Valid());
}

INSTANTIATE_TEST_SUITE_P(Sockets, LiveTableRows,
                         ::testing::Values(std::pair{nullptr, false}, std::pair{"lo", false},
                                           std::pair{nullptr, true}, std::pair{"lo", true}),
                         [](const auto& info) {
                             return std::string(info.param.first ? "BoundToLo" : "Unbound") +
                                    (info.param.second ? "ByCookie" : "LookedUp");
                         });

TEST_F(LiveTable, ListsAndCutsTheConnectionsOfIpv6Sockets) {
    // IPv4-mapped ends are IPv4 rows, native ones IPv6 rows; the kernel's filter keeps both.
    struct Case {
        const char *listen, *from, *server, *client, *any; // server, client, any: as rows show them
        bool v6only;
    };
    const Case cases[] = {
        {"::ffff:127.0.0.3", "::ffff:127.0.0.2", "127.0.0.3", "127.0.0.2", "0.0.0.0", false},
        {"::1", "::1", "::1", "::1", "::", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.listen);
        const Socket listener = Listen6(c.listen, c.v6only);
        ASSERT_TRUE(listener.Valid());
        const uint16_t port = listener.LocalPort();
        Connection conn;
        conn.client = Connect6(c.from, c.listen, port);
        conn.server = Accept(listener);
        ASSERT_TRUE(conn.client.Valid() && conn.server.Valid());
        const uint16_t clientPort = conn.client.LocalPort();
        const TcpRow listening = Row(TcpListening, c.server, port, c.any, 0);
        const TcpRow server = Row(TcpEstablished, c.server, port, c.client, clientPort);
        const TcpRow client = Row(TcpEstablished, c.client, clientPort, c.server, port);
        EXPECT_THAT(Snapshot(), UnorderedElementsAre(listening, server, client));
        std::vector<TcpRow> walked; // in one walk of the kernel's tables for both families
        EXPECT_TRUE(table->TakeSnapshotIn(walked, sockdiag::kListedStates));
        EXPECT_THAT(walked, UnorderedElementsAre(listening, server, client));
        EXPECT_TRUE(table->TakeSnapshotIn(walked, 1u << sockdiag::LinuxListen)); // states kept
        EXPECT_THAT(walked, ElementsAre(listening));
        std::vector<TcpRow> blocked;
        EXPECT_TRUE(table->TakeBlockedSnapshot(blocked, std::span(&port, 1), {}));
        EXPECT_THAT(blocked, ElementsAre(server));

        EXPECT_TRUE(
            table->DeleteConnection(Row(TcpDeleteTcb, c.server, port, c.client, clientPort)));
        EXPECT_EQ(table->LastDeleteError(), 0);
        EXPECT_THAT(ConnectionError(conn.client), Aborted);
        EXPECT_THAT(Snapshot(), ElementsAre(listening));
    }
}

TEST_F(LiveTable, ListsADualStackListenerAsIpv4AndTheOthersAsIpv6) {
    const Socket dualStack = Listen6("::");
    const Socket v6only = Listen6("::", true);
    const Socket loopback6 = Listen6("::1", true);
    ASSERT_TRUE(dualStack.Valid() && v6only.Valid() && loopback6.Valid());
    EXPECT_THAT(Snapshot(), UnorderedElementsAre(
                                Row(TcpListening, "0.0.0.0", dualStack.LocalPort(), "0.0.0.0", 0),
                                Row(TcpListening, "::", v6only.LocalPort(), "::", 0),
                                Row(TcpListening, "::1", loopback6.LocalPort(), "::", 0)));
}

TEST_F(LiveTable, DeletingAConnectionThatDoesNotExistIsRefused) {
    const Socket listener = Listen("127.0.0.3");
    const Connection c = Open(listener);
    ASSERT_TRUE(c.client.Valid());
    const uint16_t port = listener.LocalPort();
    const uint16_t clientPort = c.client.LocalPort();
    // Every field matters: a row that differs from the connection in one of them names nothing.
    const TcpRow wrong[] = {
        Row(TcpDeleteTcb, "127.0.0.3", port, "127.0.0.2", static_cast<uint16_t>(clientPort + 1)),
        Row(TcpDeleteTcb, "127.0.0.3", static_cast<uint16_t>(port + 1), "127.0.0.2", clientPort),
        Row(TcpDeleteTcb, "127.0.0.3", port, "127.0.0.4", clientPort),
        Row(TcpDeleteTcb, "127.0.0.2", port, "127.0.0.2", clientPort),
    };
    for (const TcpRow& row : wrong) {
        EXPECT_FALSE(table->DeleteConnection(row)) << Describe(row);
        EXPECT_EQ(table->LastDeleteError(), ENOENT) << Describe(row);
    }
    EXPECT_TRUE(Exchange(c.client, c.server));
    EXPECT_TRUE(Exchange(c.server, c.client));
    EXPECT_THAT(Snapshot(), Contains(Row(TcpListening, "127.0.0.3", port, "0.0.0.0", 0)));
}

TEST_F(LiveTable, WithoutCapNetAdminTheCutIsRefusedAndTheConnectionLives) {
    const Socket listener = Listen("127.0.0.3");
    const Connection c = Open(listener);
    ASSERT_TRUE(c.client.Valid() && c.server.Valid());
    const TcpRow row =
        Row(TcpDeleteTcb, "127.0.0.3", listener.LocalPort(), "127.0.0.2", c.client.LocalPort());

    // The child reports: whether it could drop the capability, what its snapshot held, what its
    // delete answered and why.
    struct Report {
        int dropped = 0;
        int snapshot = 0;
        int rows = 0;
        int deleted = 1;
        int error = 0;
    };
    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(channel[0]);
        Report report;
        report.dropped = DropNetAdmin() ? 1 : 0;
        if (report.dropped) {
            NetlinkTcpTable unprivileged;
            std::vector<TcpRow> rows;
            report.snapshot = unprivileged.TakeSnapshot(rows) ? 1 : 0;
            report.rows = static_cast<int>(rows.size());
            report.deleted = unprivileged.DeleteConnection(row) ? 1 : 0;
            report.error = unprivileged.LastDeleteError();
        }
        const bool written = ::write(channel[1], &report, sizeof report) == sizeof report;
        ::_exit(written ? 0 : 1);
    }
    ::close(channel[1]);
    Report report;
    const bool read = ::read(channel[0], &report, sizeof report) == sizeof report;
    ::close(channel[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(read);
    ASSERT_EQ(report.dropped, 1);

    EXPECT_EQ(report.snapshot, 1) << "reading the table needs no privilege";
    EXPECT_EQ(report.rows, 3);
    EXPECT_EQ(report.deleted, 0);
    EXPECT_THAT(report.error, AnyOf(EPERM, EACCES)) << std::strerror(report.error);
    RecordProperty("refused_errno", report.error);

    EXPECT_TRUE(Exchange(c.client, c.server));
    EXPECT_TRUE(Exchange(c.server, c.client));
    EXPECT_THAT(Snapshot(), Contains(Row(TcpEstablished, "127.0.0.3", listener.LocalPort(),
                                         "127.0.0.2", c.client.LocalPort())));
}

TEST_F(LiveTable, ListsThousandsOfConnections) {
    constexpr int kConnections = 2000;
    ASSERT_TRUE(RaiseFileLimit(2 * kConnections + 64)) << "the hard limit of open files is too low";
    const Socket listener = Listen("127.0.0.3");
    const uint16_t port = listener.LocalPort();
    std::vector<Connection> connections;
    connections.reserve(kConnections);
    for (int i = 0; i < kConnections; ++i) {
        connections.push_back(Open(listener));
        ASSERT_TRUE(connections.back().client.Valid() && connections.back().server.Valid())
            << "connection " << i << ": " << std::strerror(errno);
    }

    std::vector<TcpRow> rows = Snapshot();
    ASSERT_EQ(rows.size(), 2u * kConnections + 1);
    std::sort(rows.begin(), rows.end(), [](const TcpRow& a, const TcpRow& b) {
        return std::tie(a.dwLocalAddr, a.dwLocalPort, a.dwRemotePort) <
               std::tie(b.dwLocalAddr, b.dwLocalPort, b.dwRemotePort);
    });
    for (const Connection& c : connections) {
        const uint16_t clientPort = c.client.LocalPort();
        EXPECT_TRUE(
            std::binary_search(rows.begin(), rows.end(),
                               Row(TcpEstablished, "127.0.0.2", clientPort, "127.0.0.3", port),
                               [](const TcpRow& a, const TcpRow& b) {
                                   return std::tie(a.dwLocalAddr, a.dwLocalPort, a.dwRemotePort) <
                                          std::tie(b.dwLocalAddr, b.dwLocalPort, b.dwRemotePort);
                               }))
            << clientPort;
    }
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                            [](const TcpRow& row) { return row.dwState == TcpEstablished; }),
              2 * kConnections);

    // The same table again: the rows come back equal.
    std::vector<TcpRow> again = Snapshot();
    EXPECT_EQ(again.size(), rows.size());
}

} // namespace
} // namespace kt::test

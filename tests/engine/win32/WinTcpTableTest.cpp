#include "engine/win32/WinTcpTable.h"

#include "../../fakes/Fakes.h"
#include "engine/Engine.h"
#include "manager/Manager.h"

#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace kt::win32 {
namespace {

// ---- Real connections on loopback -----------------------------------------------------------

class WinsockSession {
public:
    WinsockSession() {
        WSADATA data{};
        started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockSession() {
        if (started_) {
            WSACleanup();
        }
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    bool Started() const { return started_; }

private:
    bool started_ = false;
};

class Socket {
public:
    Socket() = default;
    explicit Socket(SOCKET handle) : handle_(handle) {}
    Socket(Socket&& other) noexcept : handle_(std::exchange(other.handle_, INVALID_SOCKET)) {}
    Socket& operator=(Socket&& other) noexcept {
        std::swap(handle_, other.handle_);
        return *this;
    }
    ~Socket() {
        if (handle_ != INVALID_SOCKET) {
            closesocket(handle_);
        }
    }
    SOCKET Get() const { return handle_; }
    bool Valid() const { return handle_ != INVALID_SOCKET; }

private:
    SOCKET handle_ = INVALID_SOCKET;
};

sockaddr_in Endpoint(const char* address, uint16_t port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    inet_pton(AF_INET, address, &endpoint.sin_addr);
    return endpoint;
}

uint32_t AddressOf(const char* address) {
    return Endpoint(address, 0).sin_addr.s_addr;
}

uint16_t LocalPort(const Socket& socket) {
    sockaddr_in endpoint{};
    int length = sizeof endpoint;
    if (getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&endpoint), &length) != 0) {
        return 0;
    }
    return ntohs(endpoint.sin_port);
}

Socket BoundSocket(const char* address) {
    Socket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in endpoint = Endpoint(address, 0);
    if (!socket.Valid() ||
        bind(socket.Get(), reinterpret_cast<sockaddr*>(&endpoint), sizeof endpoint) != 0) {
        return Socket();
    }
    return socket;
}

// A listener on 127.0.0.3 and connections to it from 127.0.0.2.
class LoopbackConnections {
public:
    LoopbackConnections() : listener_(BoundSocket("127.0.0.3")) {
        if (listener_.Valid() && listen(listener_.Get(), SOMAXCONN) == 0) {
            listenPort_ = LocalPort(listener_);
        }
    }

    bool Open() {
        if (listenPort_ == 0) {
            return false;
        }
        Socket client = BoundSocket("127.0.0.2");
        sockaddr_in target = Endpoint("127.0.0.3", listenPort_);
        if (!client.Valid() ||
            connect(client.Get(), reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
            return false;
        }
        Socket server(accept(listener_.Get(), nullptr, nullptr));
        if (!server.Valid()) {
            return false;
        }
        clients_.push_back(std::move(client));
        servers_.push_back(std::move(server));
        return true;
    }

    uint16_t ListenPort() const { return listenPort_; }
    const Socket& Client(size_t i) const { return clients_[i]; }
    const Socket& Server(size_t i) const { return servers_[i]; }

private:
    Socket listener_;
    uint16_t listenPort_ = 0;
    std::vector<Socket> clients_;
    std::vector<Socket> servers_;
};

bool HasRow(const std::vector<TcpRow>& rows, uint32_t state, const char* localAddress,
            uint16_t localPort, const char* remoteAddress, uint16_t remotePort) {
    return std::any_of(rows.begin(), rows.end(), [&](const TcpRow& row) {
        return row.dwState == state && row.dwLocalAddr == AddressOf(localAddress) &&
               PortFromField(row.dwLocalPort) == localPort &&
               row.dwRemoteAddr == AddressOf(remoteAddress) &&
               PortFromField(row.dwRemotePort) == remotePort;
    });
}

bool DataFlows(const Socket& from, const Socket& to) {
    const char sent[] = "ping";
    if (send(from.Get(), sent, sizeof sent, 0) != static_cast<int>(sizeof sent)) {
        return false;
    }
    char received[sizeof sent] = {};
    int total = 0;
    while (total < static_cast<int>(sizeof received)) {
        const int got = recv(to.Get(), received + total, sizeof received - total, 0);
        if (got <= 0) {
            return false;
        }
        total += got;
    }
    return std::memcmp(sent, received, sizeof sent) == 0;
}

class WinTcpTableOnLoopback : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(session_.Started()); }
    WinsockSession session_;
};

TEST_F(WinTcpTableOnLoopback, ListsBothEndsOfAnOwnConnection) {
    LoopbackConnections connections;
    ASSERT_TRUE(connections.Open());
    const uint16_t serverPort = connections.ListenPort();
    const uint16_t clientPort = LocalPort(connections.Client(0));
    ASSERT_NE(clientPort, 0);

    WinTcpTable table;
    std::vector<TcpRow> rows;
    ASSERT_TRUE(table.TakeSnapshot(rows));
    EXPECT_TRUE(
        HasRow(rows, MIB_TCP_STATE_ESTAB, "127.0.0.2", clientPort, "127.0.0.3", serverPort));
    EXPECT_TRUE(
        HasRow(rows, MIB_TCP_STATE_ESTAB, "127.0.0.3", serverPort, "127.0.0.2", clientPort));
}

TEST_F(WinTcpTableOnLoopback, TakesTablesBeyondOneHundredAndOneRowsAndReusesItsBuffer) {
    constexpr size_t Pairs = 60; // 120 established rows of our own, plus the listener
    LoopbackConnections connections;
    for (size_t i = 0; i < Pairs; ++i) {
        ASSERT_TRUE(connections.Open()) << "connection " << i;
    }
    const uint32_t server = AddressOf("127.0.0.3");
    const uint16_t serverPort = connections.ListenPort();
    auto ownRows = [&](const std::vector<TcpRow>& rows) {
        return std::count_if(rows.begin(), rows.end(), [&](const TcpRow& row) {
            return row.dwState == MIB_TCP_STATE_ESTAB &&
                   ((row.dwLocalAddr == server && PortFromField(row.dwLocalPort) == serverPort) ||
                    (row.dwRemoteAddr == server && PortFromField(row.dwRemotePort) == serverPort));
        });
    };

    // Starting with room for a single row makes the table grow to what the system asks for.
    WinTcpTable table(SystemIpHelper(), 1);
    std::vector<TcpRow> rows;
    ASSERT_TRUE(table.TakeSnapshot(rows));
    EXPECT_GT(rows.size(), 101u);
    EXPECT_EQ(ownRows(rows), static_cast<std::ptrdiff_t>(2 * Pairs));
    const size_t grown = table.BufferSize();
    EXPECT_GE(grown, offsetof(MIB_TCPTABLE, table) + rows.size() * sizeof(MIB_TCPROW));

    ASSERT_TRUE(table.TakeSnapshot(rows));
    EXPECT_EQ(ownRows(rows), static_cast<std::ptrdiff_t>(2 * Pairs));
    EXPECT_EQ(table.BufferSize(), grown) << "a steady table needs no new buffer";
}

TEST_F(WinTcpTableOnLoopback, DeleteAnswersWhatHappenedToTheConnection) {
    LoopbackConnections connections;
    ASSERT_TRUE(connections.Open());
    const uint16_t serverPort = connections.ListenPort();
    const uint16_t clientPort = LocalPort(connections.Client(0));
    int reads = 0;
    IpHelperCalls calls = SystemIpHelper();
    calls.GetTcpTable = [&reads, system = calls.GetTcpTable](auto... arguments) {
        return ++reads, system(arguments...);
    };
    WinTcpTable table(calls);

    // As the engine asks: the judged row with DELETE_TCB written into it.
    TcpRow own{TcpDeleteTcb, AddressOf("127.0.0.2"), PortToField(clientPort),
               AddressOf("127.0.0.3"), PortToField(serverPort)};
    const bool deleted = table.DeleteConnection(own);
    EXPECT_EQ(reads, 0);
    std::vector<TcpRow> rows;
    ASSERT_TRUE(table.TakeSnapshot(rows));
    const bool listed =
        HasRow(rows, MIB_TCP_STATE_ESTAB, "127.0.0.2", clientPort, "127.0.0.3", serverPort);
    if (listed) {
        // Refused, or accepted and ignored as under Wine: it goes on, and is cut again next tick.
        EXPECT_TRUE(DataFlows(connections.Client(0), connections.Server(0)));
        EXPECT_TRUE(DataFlows(connections.Server(0), connections.Client(0)));
    } else {
        EXPECT_TRUE(deleted) << "gone although the system refused";
    }
}

TEST_F(WinTcpTableOnLoopback, TheEngineGoesOnWhenTheSystemRefusesTheCut) {
    LoopbackConnections connections;
    ASSERT_TRUE(connections.Open());
    kt::testing::FakeHost host;
    kt::testing::MemoryStore store;
    Manager manager(store, nullptr);
    WinTcpTable table;
    Engine engine(table, host, manager);
    engine.BuildStateNames();
    manager.oConnections = &engine;
    manager.oBlockedLocalPorts.AddItem(int32_t{connections.ListenPort()});
    for (int tick = 0; tick < 5; ++tick) {
        engine.PollConnections();
    }
    EXPECT_TRUE(host.messages.empty());
    EXPECT_GE(host.doEventsCount, 1); // a cut was tried
    std::vector<TcpRow> rows;
    ASSERT_TRUE(table.TakeSnapshot(rows));
    if (HasRow(rows, TcpEstablished, "127.0.0.3", connections.ListenPort(), "127.0.0.2",
               LocalPort(connections.Client(0)))) {
        // Refused (as under Wine): tried again on every tick, and the connection still works.
        EXPECT_EQ(host.doEventsCount, 5);
        EXPECT_TRUE(DataFlows(connections.Client(0), connections.Server(0)));
    }
    const std::string line = std::to_string(connections.ListenPort()) + " <--> 127.0.0.2:";
    bool shown = false;
    for (int32_t i = 0; i < manager.oCurrentConnections.GetItemCount(); ++i) {
        shown = shown || manager.oCurrentConnections.TextAt(i).substr(0, line.size()) == line;
    }
    EXPECT_TRUE(shown);
}

// ---- Calls that fail or race ----------------------------------------------------------------

// A table of the given rows, answered the way GetTcpTable answers.
DWORD FillTable(const std::vector<MIB_TCPROW>& source, PMIB_TCPTABLE table, PULONG size) {
    const ULONG needed =
        static_cast<ULONG>(offsetof(MIB_TCPTABLE, table) + source.size() * sizeof(MIB_TCPROW));
    if (*size < needed) {
        *size = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    table->dwNumEntries = static_cast<DWORD>(source.size());
    std::copy(source.begin(), source.end(), table->table);
    return NO_ERROR;
}

std::vector<MIB_TCPROW> MakeRows(size_t count) {
    std::vector<MIB_TCPROW> rows(count);
    for (size_t i = 0; i < count; ++i) {
        rows[i].dwState = static_cast<DWORD>(1 + i % 12);
        rows[i].dwLocalAddr = static_cast<DWORD>(0x0100007F + (i << 24));
        rows[i].dwLocalPort = PortToField(static_cast<uint16_t>(1000 + i));
        rows[i].dwRemoteAddr = static_cast<DWORD>(0x0300007F);
        rows[i].dwRemotePort = PortToField(static_cast<uint16_t>(40000 + i));
    }
    return rows;
}

const std::vector<TcpRow> Previous = {{5, 1, 2, 3, 4}, {2, 6, 7, 8, 9}};

TEST(WinTcpTableCalls, CopiesEveryRowAsTheSystemWroteIt) {
    const auto source = MakeRows(3);
    IpHelperCalls calls{[&](PMIB_TCPTABLE table, PULONG size, BOOL order) {
                            EXPECT_FALSE(order) << "the table is asked for unsorted";
                            return FillTable(source, table, size);
                        },
                        nullptr};
    WinTcpTable table(calls);
    std::vector<TcpRow> rows = Previous;
    ASSERT_TRUE(table.TakeSnapshot(rows));
    ASSERT_EQ(rows.size(), source.size());
    for (size_t i = 0; i < source.size(); ++i) {
        EXPECT_EQ(rows[i], (TcpRow{source[i].dwState, source[i].dwLocalAddr, source[i].dwLocalPort,
                                   source[i].dwRemoteAddr, source[i].dwRemotePort}));
    }
}

TEST(WinTcpTableCalls, GrowsWhenTheTableGrowsBetweenSizeQueryAndFetch) {
    // Every answer asks for more than the buffer the call before asked for.
    size_t rowsNow = 150;
    int callCount = 0;
    IpHelperCalls calls{[&](PMIB_TCPTABLE table, PULONG size, BOOL) {
                            ++callCount;
                            const auto source = MakeRows(rowsNow);
                            const DWORD result = FillTable(source, table, size);
                            rowsNow += 30;
                            return result;
                        },
                        nullptr};
    WinTcpTable table(calls, 1);
    std::vector<TcpRow> rows;
    ASSERT_TRUE(table.TakeSnapshot(rows));
    EXPECT_EQ(callCount, 2) << "the spare room absorbs the growth";
    EXPECT_EQ(rows.size(), 180u);
    EXPECT_EQ(PortFromField(rows.back().dwLocalPort), 1000 + 179);
}

TEST(WinTcpTableCalls, GivesUpOnATableThatKeepsOutgrowingTheBuffer) {
    int callCount = 0;
    IpHelperCalls calls{[&](PMIB_TCPTABLE, PULONG size, BOOL) {
                            ++callCount;
                            *size = static_cast<ULONG>(*size * 4 + 4096);
                            return static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
                        },
                        nullptr};
    WinTcpTable table(calls);
    std::vector<TcpRow> rows = Previous;
    EXPECT_FALSE(table.TakeSnapshot(rows));
    EXPECT_EQ(callCount, WinTcpTable::MaxAttempts);
    EXPECT_EQ(rows, Previous) << "a failed snapshot leaves the previous rows";
}

TEST(WinTcpTableCalls, LeavesThePreviousRowsWhenTheCallFails) {
    for (DWORD error :
         {static_cast<DWORD>(ERROR_NOT_SUPPORTED), static_cast<DWORD>(ERROR_INVALID_PARAMETER),
          static_cast<DWORD>(ERROR_ACCESS_DENIED)}) {
        IpHelperCalls calls{[&](PMIB_TCPTABLE, PULONG, BOOL) { return error; }, nullptr};
        WinTcpTable table(calls);
        std::vector<TcpRow> rows = Previous;
        EXPECT_FALSE(table.TakeSnapshot(rows)) << error;
        EXPECT_EQ(rows, Previous) << error;
    }
}

TEST(WinTcpTableCalls, DeleteWritesDeleteTcbIntoAnOtherwiseUnchangedRow) {
    std::vector<MIB_TCPROW> passed;
    DWORD answer = NO_ERROR;
    int reads = 0;
    IpHelperCalls calls{[&reads](PMIB_TCPTABLE table, PULONG size, BOOL) {
                            ++reads;
                            return FillTable({}, table, size);
                        },
                        [&](PMIB_TCPROW row) {
                            passed.push_back(*row);
                            return answer;
                        }};
    WinTcpTable table(calls);
    const TcpRow row{MIB_TCP_STATE_ESTAB, 0x0200007F, PortToField(50000), 0x0300007F,
                     PortToField(8080)};
    EXPECT_TRUE(table.DeleteConnection(row));
    ASSERT_EQ(passed.size(), 1u);
    EXPECT_EQ(passed[0].dwState, 12u);
    EXPECT_EQ(passed[0].dwLocalAddr, row.dwLocalAddr);
    EXPECT_EQ(passed[0].dwLocalPort, row.dwLocalPort);
    EXPECT_EQ(passed[0].dwRemoteAddr, row.dwRemoteAddr);
    EXPECT_EQ(passed[0].dwRemotePort, row.dwRemotePort);

    for (DWORD refusal : {static_cast<DWORD>(ERROR_ACCESS_DENIED),
                          static_cast<DWORD>(ERROR_NOT_SUPPORTED), static_cast<DWORD>(317)}) {
        answer = refusal;
        EXPECT_FALSE(table.DeleteConnection(row)) << refusal;
        EXPECT_EQ(table.LastDeleteError(), refusal);
    }
    EXPECT_EQ(reads, 0) << "whether a cut took shows in the engine's next snapshot";
}

} // namespace
} // namespace kt::win32

#include "../../TimeScale.h"
#include "../../fakes/Fakes.h"
#include "Loopback.h"
#include "engine/Engine.h"
#include "engine/linux/EventTcpTable.h"
#include "engine/linux/GuardedTable.h"
#include "engine/linux/KernelGuard.h"
#include "manager/Manager.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <fcntl.h>
#include <future>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace kt::test {
namespace {

using ::testing::AnyOf;
using ::testing::Gt;

const auto Aborted = AnyOf(ECONNRESET, ECONNABORTED, EPIPE);
// Below ip_local_port_range: on loopback both ends are judged, and no ephemeral port may collide.
constexpr uint16_t kPorts[] = {21001, 21002, 21003};

struct Connection {
    Socket client;
    Socket server;
};

Connection Open(const Socket& listener, const char* from = "127.0.0.2") {
    Connection c;
    c.client = Connect(from, "127.0.0.3", listener.LocalPort());
    c.server = Accept(listener);
    return c;
}

void Sort(std::vector<TcpRow>& rows) {
    std::sort(rows.begin(), rows.end(), [](const TcpRow& a, const TcpRow& b) {
        return std::tie(a.dwLocalAddr, a.dwLocalPort, a.dwRemoteAddr, a.dwRemotePort, a.dwState) <
               std::tie(b.dwLocalAddr, b.dwLocalPort, b.dwRemoteAddr, b.dwRemotePort, b.dwState);
    });
}

// Counters move after the kernel has answered a cut, which its peer may see first.
template <typename Condition> bool Eventually(Condition condition) {
    for (int i = 0; i < Scaled(200) && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

bool Alive(const Connection& c) {
    return Exchange(c.client, c.server) && Exchange(c.server, c.client);
}

class KernelGuardLive : public ::testing::TestWithParam<GuardAttachPoint> {
protected:
    void SetUp() override { KT_ENTER_OWN_NETWORK_NAMESPACE(); }

    std::unique_ptr<KernelGuard> Start(const GuardRules& rules, KernelGuardOptions options = {}) {
        options.attachPoint = GetParam();
        std::string whyNot;
        auto guard = KernelGuard::Start(rules, whyNot, options);
        EXPECT_TRUE(guard) << whyNot;
        return guard;
    }
};

TEST_P(KernelGuardLive, CutsABlockedConnectionAlone) {
    const Socket listener = Listen("127.0.0.3", kPorts[0]);
    const auto guard = Start({{}, {kPorts[0]}, {}});
    ASSERT_TRUE(guard);
    const Connection c = Open(listener);
    EXPECT_THAT(ConnectionError(c.client), Aborted);
    EXPECT_TRUE(Eventually([&] { return guard->Count().cuts == 1; }));
    EXPECT_TRUE(guard->Sound()) << guard->WhyNotSound();
}

TEST_P(KernelGuardLive, CutsOpenConnectionsAtStartAndAfterARuleChange) {
    const Socket first = Listen("127.0.0.3", kPorts[0]);
    const Socket second = Listen("127.0.0.3", kPorts[1]);
    const Socket allowed = Listen("127.0.0.3", kPorts[2]);
    const Connection a = Open(first), b = Open(second), c = Open(allowed, "127.0.0.4");
    const auto guard = Start({{kPorts[0]}, {}, {}});
    ASSERT_TRUE(guard);
    EXPECT_THAT(ConnectionError(a.server, 0), Aborted); // cut before Start answered
    EXPECT_TRUE(Alive(b));
    std::string whyNot;
    ASSERT_TRUE(
        guard->SetRules({{kPorts[1], kPorts[2]}, {}, {MappedAddress(Ipv4("127.0.0.4"))}}, whyNot));
    ASSERT_TRUE(guard->SettleRules(std::chrono::seconds(10)));
    EXPECT_THAT(ConnectionError(b.client), Aborted);
    EXPECT_TRUE(Alive(c));
    EXPECT_TRUE(Eventually([&] { return guard->Count().passes == 2; }));
}

// The guard is held until the connection is gone; a destroy by addresses alone would then have
// closed the listener of the blocked port.
TEST_P(KernelGuardLive, ACutOfAConnectionAlreadyGoneSparesTheListener) {
    const Socket listener = Listen("127.0.0.3", kPorts[0]);
    std::promise<void> held, released;
    auto goOn = released.get_future().share();
    KernelGuardOptions options;
    options.onMatchesWake = [&, once = true]() mutable {
        if (std::exchange(once, false)) {
            held.set_value();
            goOn.wait();
        }
    };
    const auto guard = Start({{kPorts[0]}, {}, {}}, options);
    ASSERT_TRUE(guard);
    Connection c = Open(listener);
    held.get_future().wait();
    Abort(c.client);
    Abort(c.server);
    released.set_value();
    EXPECT_TRUE(Eventually([&] { return guard->Count().alreadyGone == 1; }));
    int listening = 0;
    socklen_t length = sizeof listening;
    ::getsockopt(listener.Fd(), SOL_SOCKET, SO_ACCEPTCONN, &listening, &length);
    EXPECT_EQ(listening, 1);
    EXPECT_TRUE(guard->Sound()) << guard->WhyNotSound();
}

// More matches than the smallest ring holds, while the guard is held: the lost ones are found by
// the full pass that the loss brings.
TEST_P(KernelGuardLive, LostMatchesBringAFullPass) {
    const Socket listener = Listen("127.0.0.3", kPorts[0]);
    std::promise<void> held, released;
    auto goOn = released.get_future().share();
    KernelGuardOptions options;
    options.matchRingBytes = 4096;
    options.onMatchesWake = [&, once = true]() mutable {
        if (std::exchange(once, false)) {
            held.set_value();
            goOn.wait();
        }
    };
    ASSERT_TRUE(RaiseFileLimit(1024));
    const auto guard = Start({{}, {kPorts[0]}, {}}, options);
    ASSERT_TRUE(guard);
    std::vector<Connection> connections;
    connections.push_back(Open(listener));
    held.get_future().wait();
    for (int i = 0; i < 300; ++i) {
        connections.push_back(Open(listener));
    }
    released.set_value();
    for (const Connection& c : connections) {
        EXPECT_THAT(ConnectionError(c.client), Aborted);
    }
    EXPECT_THAT(guard->Count().lostMatches, Gt(0u));
    EXPECT_TRUE(Eventually([&] { return guard->Count().passes == 2; }));
}

// Random rules and one connection for every pair of client address, server address and port:
// the guard alone cuts exactly the connections the engine judges blocked at one end or the other.
TEST_P(KernelGuardLive, CutsWhatTheEngineJudgesBlocked) {
    testing::FakeHost host;
    testing::MemoryStore store;
    NetlinkTcpTable table;
    Manager manager(store, nullptr);
    Engine engine(table, host, manager);
    // "127.0.0.05" is not the plain form: the engine never matches it, nor may the guard.
    const char* const addresses[] = {"127.0.0.2", "127.0.0.3", "127.0.0.5", "127.0.0.05"};
    const auto guard = Start({});
    ASSERT_TRUE(guard);
    std::mt19937 random(GTEST_FLAG_GET(random_seed));
    const auto coin = [&] { return random() % 2 == 0; };
    for (int round = 0; round < 12; ++round) {
        manager.oAllowedIP.Reset();
        manager.oBlockedLocalPorts.Reset();
        manager.oBlockedRemotePorts.Reset();
        for (const char* address : addresses) {
            if (coin()) {
                manager.oAllowedIP.AddItem(address);
            }
        }
        for (const uint16_t port : kPorts) {
            if (coin()) {
                manager.oBlockedLocalPorts.AddItem(int32_t{port});
            }
            if (coin()) {
                manager.oBlockedRemotePorts.AddItem(int32_t{port});
            }
        }
        std::string whyNot;
        ASSERT_TRUE(guard->SetRules(MakeGuardRules(manager.oAllowedIP, manager.oBlockedLocalPorts,
                                                   manager.oBlockedRemotePorts),
                                    whyNot));
        ASSERT_TRUE(guard->SettleRules(std::chrono::seconds(10)));
        const auto blocks = [&](const char* remote, const Socket& local, uint16_t remotePort) {
            return !engine.IsAllowedAddress(remote) &&
                   (Engine::IsPortInList(local.LocalPort(), manager.oBlockedLocalPorts) ||
                    Engine::IsPortInList(remotePort, manager.oBlockedRemotePorts));
        };
        for (const char* client : {"127.0.0.2", "127.0.0.5"}) {
            for (const uint16_t port : kPorts) {
                const Socket listener = Listen("127.0.0.3", port);
                Connection c = Open(listener, client);
                const bool cut = blocks("127.0.0.3", c.client, port) ||
                                 blocks(client, c.server, c.client.LocalPort());
                SCOPED_TRACE(std::string(client) + " to port " + std::to_string(port) +
                             " in round " + std::to_string(round));
                EXPECT_EQ(cut, ConnectionError(c.client, cut ? 2000 : 50) != 0);
                Abort(c.client);
                Abort(c.server);
            }
        }
    }
    EXPECT_TRUE(guard->Sound()) << guard->WhyNotSound();
}

// A burst of connections opened and closed in every way, unread until the end: the table kept
// from the reports equals a dump (with a ring too small for the burst, by the dump it brings),
// and so does a copy kept from its change lists alone.
TEST_P(KernelGuardLive, TheEventTableListsWhatADumpLists) {
    for (const uint32_t ringBytes : {uint32_t{1} << 20, uint32_t{4096}}) {
        SCOPED_TRACE(ringBytes);
        KernelGuardOptions options;
        options.changeRingBytes = ringBytes;
        const auto guard = Start({}, options);
        ASSERT_TRUE(guard);
        std::string whyNot;
        const auto events = EventTcpTable::Open(*guard, whyNot);
        ASSERT_TRUE(events) << whyNot;
        std::vector<TcpRow> listed;
        std::vector<int32_t> changed;
        events->TakeChanges(listed, changed);
        const Socket listener = Listen("127.0.0.3", kPorts[0]);
        std::vector<Connection> open;
        for (int i = 0; i < 150; ++i) {
            Connection c = Open(listener);
            if (ringBytes > 4096) { // read on the way, as the program does
                events->TakeChanges(listed, changed);
            }
            if (i % 3 == 0) {
                Abort(i % 2 == 0 ? c.client : c.server);
            } else if (i % 3 == 1) {
                c = Connection(); // client first: its side goes to TIME_WAIT
            } else {
                open.push_back(std::move(c));
            }
        }
        for (size_t k = 0; k < open.size(); k += 2) { // older ones go: later rows take their places
            Abort(open[k].client);
        }
        NetlinkTcpTable netlink;
        std::vector<TcpRow> kept, dumped, copy;
        // Until the last closes have settled; a resync, which would hide a wrong report, is
        // counted below.
        for (int attempt = 0; attempt < Scaled(100); ++attempt) {
            ASSERT_TRUE(events->TakeSnapshot(kept) && netlink.TakeSnapshot(dumped));
            events->TakeChanges(listed, changed);
            copy = listed;
            Sort(kept);
            Sort(dumped);
            Sort(copy);
            if (kept == dumped && copy == dumped) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(kept, dumped);
        EXPECT_EQ(copy, dumped);
        // Reports the kernel skipped (a softirq inside the program, under load) bring a dump too.
        EXPECT_EQ(events->Dumps() > 1, ringBytes == 4096 || guard->SkippedChanges() > 0)
            << "set right by a dump, not the reports";
    }
}

// A connection request comes and goes without a report (the listener holds it until data arrive;
// the client's reset ends it): the dump of the unreported sockets alone, no whole one, shows it
// and takes it away again.
TEST_P(KernelGuardLive, TheDumpOfUnreportedSocketsShowsARequestComeAndGo) {
    const auto guard = Start({});
    ASSERT_TRUE(guard);
    std::string whyNot;
    const auto events = EventTcpTable::Open(*guard, whyNot, std::chrono::milliseconds(0));
    ASSERT_TRUE(events) << whyNot;
    const Socket listener = Listen("127.0.0.3", kPorts[0]);
    const int deferSeconds = 30;
    ASSERT_EQ(::setsockopt(listener.Fd(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds,
                           sizeof deferSeconds),
              0);
    Socket client = Connect("127.0.0.2", "127.0.0.3", kPorts[0]);
    NetlinkTcpTable netlink;
    std::vector<TcpRow> kept, dumped, listed, copy;
    std::vector<int32_t> changed;
    events->TakeChanges(listed, changed);
    for (const bool requested : {true, false}) {
        ASSERT_TRUE(Eventually([&] {
            return netlink.TakeSnapshot(dumped) &&
                   requested == std::any_of(dumped.begin(), dumped.end(), [](const TcpRow& r) {
                       return r.dwState == TcpSynReceived;
                   });
        }));
        ASSERT_TRUE(events->TakeSnapshot(kept)); // within kWholeDumpEvery looks: no whole dump
        // and the rows it changed are named: a reader need not take the whole table
        EXPECT_EQ(events->TakeChanges(listed, changed), TcpTable::Changes::Listed);
        copy = listed;
        Sort(kept);
        Sort(dumped);
        Sort(copy);
        EXPECT_EQ(kept, dumped) << "request " << requested;
        EXPECT_EQ(copy, dumped) << "request " << requested;
        Abort(client);
    }
    EXPECT_TRUE(events->Dumps() == 1 || guard->LostChanges() > 0) << "set right by a whole dump";
}

// What an application reads from a socket until its connection ends, upTo bytes arrive or waitMs
// pass without a byte.
size_t BytesRead(const Socket& socket, int waitMs, size_t upTo = SIZE_MAX) {
    size_t total = 0;
    std::array<char, 4096> buffer{};
    pollfd wait{socket.Fd(), POLLIN, 0};
    while (total < upTo && ::poll(&wait, 1, waitMs) == 1) {
        const ssize_t n = ::recv(socket.Fd(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
        total += static_cast<size_t>(n);
    }
    return total;
}

bool Send1KiB(const Socket& socket) {
    const std::array<char, 1024> bytes{};
    return ::send(socket.Fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == 1024;
}

// A blocked connection carries no byte to either application, even when the first bytes are on
// their way before the guard has judged it: written the moment connect() or accept() returns, or
// carried by the handshake's last ACK (the client delays it, then sends its data with it).
TEST_P(KernelGuardLive, ABlockedConnectionCarriesNoByte) {
    if (GetParam() == GuardAttachPoint::Raw) {
        const auto guard = Start({});
        ASSERT_TRUE(guard);
        EXPECT_NE(guard->GateMissing(), ""); // and the program says so
        return;
    }
    struct Case {
        const char* name;
        GuardRules rules;
        bool serverWrites;
        bool ackCarriesData;
    };
    const Case cases[] = {
        {"blocked local port, the client writes", {{kPorts[0]}, {}, {}}, false, false},
        {"blocked remote port, the server writes", {{}, {kPorts[0]}, {}}, true, false},
        {"blocked local port, data on the last ACK", {{kPorts[0]}, {}, {}}, false, true},
    };
    constexpr int kConnections = 24;
    ASSERT_TRUE(RaiseFileLimit(1024));
    const Socket blocked = Listen("127.0.0.3", kPorts[0]);
    const Socket open = Listen("127.0.0.3", kPorts[1]);
    for (const Case& c : cases) {
        const auto guard = Start(c.rules);
        ASSERT_TRUE(guard);
        ASSERT_EQ(guard->GateMissing(), "") << c.name;
        std::vector<Socket> clients, servers;
        for (int i = 0; i < kConnections; ++i) {
            Socket client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            const int off = 0;
            if (c.ackCarriesData) {
                ::setsockopt(client.Fd(), IPPROTO_TCP, TCP_QUICKACK, &off, sizeof off);
            }
            sockaddr_in to{AF_INET, htons(kPorts[0]), {Ipv4("127.0.0.3")}, {}};
            ASSERT_EQ(::connect(client.Fd(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
            if (!c.serverWrites) {
                Send1KiB(client);
            }
            clients.push_back(std::move(client));
        }
        pollfd ready{blocked.Fd(), POLLIN, 0};
        while (servers.size() < clients.size() && ::poll(&ready, 1, 3000) == 1) {
            servers.push_back(Accept(blocked));
            if (c.serverWrites) {
                Send1KiB(servers.back());
            }
        }
        size_t read = 0;
        for (const Socket& reader : c.serverWrites ? clients : servers) {
            read += BytesRead(reader, 2000);
        }
        EXPECT_EQ(read, 0u) << c.name;
        EXPECT_GT(guard->Count().cuts, 0u) << c.name;
        const Connection spared = Open(open);
        EXPECT_TRUE(Send1KiB(spared.client) && Send1KiB(spared.server)) << c.name;
        EXPECT_EQ(BytesRead(spared.server, 2000, 1024) + BytesRead(spared.client, 2000, 1024),
                  2048u)
            << c.name;
    }
}

// Sockets bound to an interface are found only by a look-up that names it: a listener on a
// blocked local port and a client to a blocked remote port, each bound alone.
TEST_P(KernelGuardLive, CutsSocketsBoundToAnInterface) {
    const auto guard = Start({{kPorts[0]}, {kPorts[1]}, {}});
    ASSERT_TRUE(guard);
    const Socket boundListener = Listen("127.0.0.3", kPorts[0], "lo");
    const Socket listener = Listen("127.0.0.3", kPorts[1]);
    const Socket toBound = Connect("127.0.0.2", "127.0.0.3", kPorts[0]);
    const Socket fromBound = Connect("127.0.0.2", "127.0.0.3", kPorts[1], "lo");
    const Socket accepted[] = {Accept(boundListener), Accept(listener)};
    EXPECT_THAT(ConnectionError(toBound), Aborted);
    EXPECT_THAT(ConnectionError(fromBound), Aborted);
    EXPECT_TRUE(Eventually([&] { return guard->Count().cuts == 2; }));
    EXPECT_EQ(guard->Count().alreadyGone, 0u);
    EXPECT_TRUE(guard->Sound()) << guard->WhyNotSound();
}

// IPv6 connections are judged by the same rules, and a dual-stack socket's IPv4-mapped peer is
// judged as its plain IPv4 address.
TEST_P(KernelGuardLive, JudgesIpv6AndMappedPeersByTheSameRules) {
    struct Case {
        const char* name;
        const char* allowed; // as the list stores it
        const char* listen;  // an IPv6 listener, dual-stack
        bool ipv4Client;     // a plain IPv4 client from 127.0.0.2 to 127.0.0.3
        bool cut;
    };
    const Case cases[] = {
        {"IPv6, nothing allowed", nullptr, "::1", false, true},
        {"IPv6, its peer allowed", "::1", "::1", false, false},
        {"IPv6, another peer allowed", "::2", "::1", false, true},
        {"mapped peer, its IPv4 form allowed", "127.0.0.2", "::", true, false},
        {"mapped peer, another address allowed", "127.0.0.4", "::", true, true},
    };
    const auto guard = Start({});
    ASSERT_TRUE(guard);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Socket listener = Listen6(c.listen);
        ASSERT_TRUE(listener.Valid());
        List allowed, local, remote;
        allowed.InitStringList();
        local.InitLongList();
        remote.InitLongList();
        if (c.allowed != nullptr) {
            allowed.AddItem(c.allowed);
        }
        local.AddItem(int32_t{listener.LocalPort()});
        std::string whyNot;
        ASSERT_TRUE(guard->SetRules(MakeGuardRules(allowed, local, remote), whyNot)) << whyNot;
        ASSERT_TRUE(guard->SettleRules(std::chrono::seconds(10)));
        Connection conn;
        conn.client = c.ipv4Client ? Connect("127.0.0.2", "127.0.0.3", listener.LocalPort())
                                   : Connect6("::1", "::1", listener.LocalPort());
        conn.server = Accept(listener);
        EXPECT_EQ(c.cut, ConnectionError(conn.server, c.cut ? 2000 : 100) != 0);
        EXPECT_EQ(!c.cut, Alive(conn));
    }
    EXPECT_TRUE(guard->Sound()) << guard->WhyNotSound();
}

INSTANTIATE_TEST_SUITE_P(AttachPoints, KernelGuardLive,
                         ::testing::Values(GuardAttachPoint::Typed, GuardAttachPoint::Raw),
                         [](const auto& info) {
                             return info.param == GuardAttachPoint::Typed ? "Typed" : "Raw";
                         });

TEST(KernelGuardRights, StartRefusesWithoutTheRightsItNeeds) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: capabilities are dropped from it";
    }
    const std::initializer_list<int> missing[] = {{CAP_NET_ADMIN},
                                                  {CAP_SYS_ADMIN, CAP_BPF, CAP_PERFMON}};
    for (const auto& capabilities : missing) {
        EXPECT_EQ(RunWithout(capabilities,
                             [] {
                                 std::string whyNot;
                                 const auto guard = KernelGuard::Start({}, whyNot);
                                 return !guard && whyNot.find("right") != std::string::npos &&
                                                whyNot.find("libbpf") == std::string::npos &&
                                                whyNot.find("RLIMIT") == std::string::npos
                                            ? 0
                                            : 1;
                             }),
                  0)
            << *capabilities.begin();
    }
}

// Once its owner stops the guard, the table is netlink's and no rules are taken any more; until
// then it is kept from the guard's reports.
TEST(KernelGuardRights, AStoppedGuardLeavesTheTableToNetlinkAndTakesNoRules) {
    KT_ENTER_OWN_NETWORK_NAMESPACE();
    std::string why;
    GuardedTable table({}, why);
    ASSERT_EQ(why, "");
    EXPECT_TRUE(table.SetRules({{kPorts[0]}, {}, {}}, why)) << why;
    EXPECT_TRUE(table.Sound(why)) << why;
    std::vector<TcpRow> rows;
    std::vector<int32_t> changed;
    EXPECT_EQ(table.TakeChanges(rows, changed), TcpTable::Changes::Whole);
    table.Stop();
    EXPECT_EQ(table.TakeChanges(rows, changed), TcpTable::Changes::Unsupported); // netlink's now
    EXPECT_EQ(table.WakeHandle(), -1); // the reports never woke anyone: no handle to let go of
    EXPECT_FALSE(table.SetRules({}, why));
    EXPECT_EQ(why, "the kernel guard is not running");
    EXPECT_FALSE(table.TakeRefusal(why));
}

// Bounded to 20 s: 10,000 idle connections, 2,000 short blocked connections a second (each
// living 20 to 100 ms) and a tenth as many unblocked ones: every blocked one is cut, no other.
// The guard alone: no engine runs.
TEST(KernelGuardLoad, KeepsUpWithTwoThousandBlockedConnectionsASecond) {
    using Clock = std::chrono::steady_clock;
    using std::chrono::milliseconds;
    KT_ENTER_OWN_NETWORK_NAMESPACE();
    ASSERT_TRUE(RaiseFileLimit(19000));
    const Socket idleListener = Listen("127.0.0.3");
    const Socket blocked = Listen("127.0.0.3", kPorts[0]);
    const Socket open = Listen("127.0.0.3", kPorts[1]);
    std::vector<Connection> idle(5000);
    for (Connection& c : idle) {
        c = Open(idleListener);
    }
    std::string whyNot;
    const auto guard = KernelGuard::Start({{}, {kPorts[0]}, {}}, whyNot);
    ASSERT_TRUE(guard) << whyNot;
    struct Short {
        Socket socket;
        Clock::time_point dies;
        bool blocked;
    };
    std::deque<Short> live;
    std::deque<std::pair<Clock::time_point, Socket>> accepted;
    size_t blockedSeen = 0, blockedCut = 0, otherCut = 0;
    std::minstd_rand random(7);
    const Clock::time_point end = Clock::now() + std::chrono::seconds(20);
    for (Clock::time_point next = Clock::now(), now = next; now < end || !live.empty();
         now = Clock::now()) {
        for (; now < end && next <= now; next += std::chrono::microseconds(500)) {
            const auto dies = now + milliseconds(20 + random() % 81);
            live.push_back({Connect("127.0.0.2", "127.0.0.3", kPorts[0]), dies, true});
            if (random() % 10 == 0) {
                live.push_back({Connect("127.0.0.2", "127.0.0.3", kPorts[1]), dies, false});
            }
        }
        // Server ends are kept past their client's life: a close would end the client first.
        for (const Socket* listener : {&blocked, &open}) {
            for (pollfd p{listener->Fd(), POLLIN, 0}; ::poll(&p, 1, 0) == 1;) {
                accepted.emplace_back(now, Accept(*listener));
            }
        }
        while (!accepted.empty() && now - accepted.front().first > milliseconds(200)) {
            accepted.pop_front();
        }
        for (auto it = live.begin(); it != live.end();) {
            if (now < it->dies) {
                ++it;
                continue;
            }
            // A connect that failed was cut before it returned. A blocked one still open at its
            // end gets a little longer: a busy machine may have kept the guard's thread waiting.
            const bool aborted =
                !it->socket.Valid() || ConnectionError(it->socket, it->blocked ? 100 : 0) != 0;
            blockedSeen += it->blocked ? 1 : 0;
            (it->blocked ? blockedCut : otherCut) += aborted ? 1 : 0;
            it = live.erase(it);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    EXPECT_GT(blockedSeen, 10000u);
    EXPECT_EQ(blockedCut, blockedSeen);
    EXPECT_EQ(otherCut, 0u);
    EXPECT_TRUE(guard->Sound()) << guard->WhyNotSound();
}

// The owner of a blocked connection holds its socket (a send() waits on a page fault): that
// cut waits, and is named once, but the guard goes on cutting, and ends at once.
TEST(KernelGuardLoad, AStuckCutHoldsUpNoOtherCut) {
    KT_ENTER_OWN_NETWORK_NAMESPACE();
    if (KernelSerializesSockDiag()) {
        GTEST_SKIP() << "before Linux 6.9 a destroy waiting for its socket holds up all others";
    }
    const Socket listener = Listen("127.0.0.3", kPorts[0]);
    const Connection held = Open(listener);
    StuckSender owner(held.client);
    ASSERT_TRUE(owner.Stuck()) << "no send() waits on a userfaultfd page";
    std::atomic<int> named{0};
    KernelGuardOptions options;
    options.onSlowCut = [&](const CutRecord&, SlowCause) { named.fetch_add(1); };
    std::string whyNot;
    auto guard = KernelGuard::Start({{}, {kPorts[0]}, {}}, whyNot, options);
    ASSERT_TRUE(guard) << whyNot;
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const Connection c = Open(listener);
        EXPECT_THAT(ConnectionError(c.client), Aborted);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    }
    EXPECT_TRUE(Eventually([&] { return named.load() == 1; }));
    EXPECT_EQ(ConnectionError(held.server, 0), 0); // its cut still waits
    const auto end = std::chrono::steady_clock::now();
    guard.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - end, std::chrono::milliseconds(500));
    EXPECT_EQ(named.load(), 1);
}

} // namespace
} // namespace kt::test

// The gate holds back exactly the bytes of blocked connections, on the real kernel, in each test's
// own network namespace.
#include "../../TimeScale.h"
#include "Loopback.h"
#include "engine/linux/KernelGuard.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/tcp.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace kt::test {
namespace {

using ::testing::AnyOf;

const auto Aborted = AnyOf(ECONNRESET, ECONNABORTED, EPIPE);
// Below ip_local_port_range: on loopback both ends are judged, and no ephemeral port may collide.
constexpr uint16_t kPorts[] = {21001, 21002};

struct Connection {
    Socket client;
    Socket server;
};

bool Alive(const Connection& c) {
    return Exchange(c.client, c.server) && Exchange(c.server, c.client);
}

// Holds the guard's thread where a hook of it runs, the first time, until released (at the latest
// when the hold goes): nothing is cut meanwhile, so what holds bytes back is the kernel's alone.
class Hold {
public:
    std::function<void()> Hook() {
        return [state = state_] {
            if (!state->once.exchange(true)) {
                state->held.set_value();
                state->go.wait();
            }
        };
    }
    void WaitHeld() { state_->held.get_future().wait(); }
    void Release() {
        if (!std::exchange(released_, true)) {
            release_.set_value();
        }
    }
    ~Hold() { Release(); }

private:
    struct State {
        std::atomic<bool> once{false};
        std::promise<void> held;
        std::shared_future<void> go;
    };
    std::promise<void> release_;
    std::shared_ptr<State> state_ = [this] {
        auto state = std::make_shared<State>();
        state->go = release_.get_future().share();
        return state;
    }();
    bool released_ = false;
};

class GatedKernelGuardLive : public ::testing::Test {
protected:
    void SetUp() override { KT_ENTER_OWN_NETWORK_NAMESPACE(); }

    static std::unique_ptr<KernelGuard> Start(const GuardRules& rules,
                                              KernelGuardOptions options = {}) {
        options.attachPoint = GuardAttachPoint::Typed; // the gate needs socket storage
        std::string whyNot;
        auto guard = KernelGuard::Start(rules, whyNot, options);
        EXPECT_TRUE(guard) << whyNot;
        EXPECT_TRUE(guard && guard->GateMissing().empty()) << guard->GateMissing();
        return guard;
    }
};

sockaddr_in To(uint16_t port) {
    return {AF_INET, htons(port), {Ipv4("127.0.0.3")}, {}};
}

// A socket judged blocked, then connected again to a port nothing blocks, carries its bytes both
// ways: after its cut, and after connect(AF_UNSPEC) while its cut still waits.
TEST_F(GatedKernelGuardLive, ASocketConnectedAgainIsJudgedAgain) {
    const Socket blocked = Listen("127.0.0.3", kPorts[0]);
    const Socket open = Listen("127.0.0.3", kPorts[1]);
    for (const bool disconnect : {false, true}) {
        SCOPED_TRACE(disconnect ? "connect(AF_UNSPEC) before the cut" : "after the cut");
        std::unique_ptr<KernelGuard> guard;
        Hold hold;
        KernelGuardOptions options;
        if (disconnect) {
            options.onMatchesWake = hold.Hook();
        }
        guard = Start({{}, {kPorts[0]}, {}}, options);
        ASSERT_TRUE(guard);
        // Not blocking: a connect() that waits is answered the cut, and the socket stays the
        // application's to connect again.
        Connection c{Socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)), {}};
        sockaddr_in address = To(kPorts[0]);
        ::connect(c.client.Fd(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        if (disconnect) {
            hold.WaitHeld(); // judged blocked and reported, not cut
            const sockaddr unspecified{AF_UNSPEC, {}};
            ASSERT_EQ(::connect(c.client.Fd(), &unspecified, sizeof unspecified), 0);
        } else {
            pollfd cut{c.client.Fd(), POLLIN, 0};
            ASSERT_EQ(::poll(&cut, 1, Scaled(2000)), 1);
        }
        ::fcntl(c.client.Fd(), F_SETFL, 0);
        address = To(kPorts[1]);
        // The first connect() after a cut answers the cut.
        if (::connect(c.client.Fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            EXPECT_THAT(errno, Aborted);
            ASSERT_EQ(
                ::connect(c.client.Fd(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
                << errno;
        }
        c.server = Accept(open);
        EXPECT_TRUE(Alive(c));
        hold.Release();
        // A cut still waiting finds its connection gone and leaves the new one be.
        const auto settled = [&] {
            const auto count = guard->Count();
            return count.cuts + count.alreadyGone >= 1;
        };
        for (int i = 0; i < Scaled(200) && !settled(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(settled());
        EXPECT_TRUE(Alive(c));
        EXPECT_TRUE(guard->Sound()) << guard->WhyNotSound();
    }
}

bool SetOption(const Socket& socket, int level, int name, int value) {
    return ::setsockopt(socket.Fd(), level, name, &value, sizeof value) == 0;
}

// An IPv6 extension header with nothing in it but padding.
bool AddExtensionHeader(const Socket& socket, int header) {
    const std::array<uint8_t, 8> padding{0, 0, 1, 4, 0, 0, 0, 0}; // next, length, PadN of 4
    return ::setsockopt(socket.Fd(), IPPROTO_IPV6, header, padding.data(), padding.size()) == 0;
}

// What an application reads until its connection ends, upTo bytes arrive or waitMs pass silent.
size_t BytesRead(const Socket& socket, int waitMs, size_t upTo = SIZE_MAX) {
    size_t total = 0;
    std::array<char, 4096> buffer{};
    pollfd wait{socket.Fd(), POLLIN, 0};
    while (total < upTo && ::poll(&wait, 1, Scaled(waitMs)) == 1) {
        const ssize_t n = ::recv(socket.Fd(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
        total += static_cast<size_t>(n);
    }
    return total;
}

// Data in a Fast Open SYN or on the handshake's last ACK, behind an IPv6 extension header: not
// read on a blocked port; and a connection whose every packet carries one, on a port nothing
// blocks, carries its bytes.
TEST_F(GatedKernelGuardLive, IPv6ExtensionHeadersAreReadPast) {
    struct Case {
        const char* name;
        int header;
        bool fastOpen;
        bool blocked;
    };
    const Case cases[] = {
        {"Fast Open, destination options, blocked", IPV6_DSTOPTS, true, true},
        {"last ACK, destination options, blocked", IPV6_DSTOPTS, false, true},
        {"Fast Open, hop-by-hop, blocked", IPV6_HOPOPTS, true, true},
        {"hop-by-hop on every packet, not blocked", IPV6_HOPOPTS, false, false},
    };
    // Fast Open without cookies, both ends: every SYN carries its data.
    std::ofstream("/proc/sys/net/ipv4/tcp_fastopen") << 0x207;
    constexpr int kConnections = 8;
    const std::array<char, 1024> bytes{};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Socket listener = Listen6("::1", true);
        ASSERT_TRUE(SetOption(listener, IPPROTO_TCP, TCP_FASTOPEN, 16));
        const uint16_t port = listener.LocalPort();
        const auto guard = Start({{c.blocked ? port : kPorts[1]}, {}, {}});
        ASSERT_TRUE(guard);
        std::vector<Socket> clients;
        for (int i = 0; i < kConnections; ++i) {
            // A Fast Open sendto() that may block waits for the handshake.
            Socket client(::socket(
                AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | (c.fastOpen ? SOCK_NONBLOCK : 0), 0));
            ASSERT_TRUE(AddExtensionHeader(client, c.header));
            ASSERT_TRUE(c.fastOpen || SetOption(client, IPPROTO_TCP, TCP_QUICKACK, 0));
            sockaddr_in6 to{AF_INET6, htons(port), 0, in6addr_loopback, 0};
            const auto* address = reinterpret_cast<const sockaddr*>(&to);
            if (c.fastOpen) {
                ASSERT_EQ(::sendto(client.Fd(), bytes.data(), bytes.size(),
                                   MSG_FASTOPEN | MSG_NOSIGNAL, address, sizeof to),
                          static_cast<ssize_t>(bytes.size()));
            } else {
                ASSERT_EQ(::connect(client.Fd(), address, sizeof to), 0);
                ::send(client.Fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            }
            clients.push_back(std::move(client));
        }
        // A blocked Fast Open client tries its SYN again and again, dropped while it carries data:
        // what was not accepted by then has given its application nothing.
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(Scaled(c.blocked ? 1500 : 3000));
        std::vector<Socket> servers;
        pollfd ready{listener.Fd(), POLLIN, 0};
        while (servers.size() < clients.size() && std::chrono::steady_clock::now() < until &&
               ::poll(&ready, 1, 100) >= 0) {
            if ((ready.revents & POLLIN) == 0) {
                continue;
            }
            servers.push_back(Accept(listener));
            if (!c.blocked) {
                ASSERT_TRUE(AddExtensionHeader(servers.back(), c.header));
                ::send(servers.back().Fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            }
        }
        // Blocked: whatever got through has arrived by then.
        std::this_thread::sleep_for(std::chrono::milliseconds(Scaled(300)));
        size_t read = 0, back = 0;
        for (size_t i = 0; i < servers.size(); ++i) {
            read += BytesRead(servers[i], c.blocked ? 0 : 1000, bytes.size());
            back += c.blocked ? 0 : BytesRead(clients[i], 1000, bytes.size());
        }
        EXPECT_EQ(read, c.blocked ? 0 : kConnections * bytes.size());
        EXPECT_EQ(back, c.blocked ? 0 : kConnections * bytes.size());
        if (!c.blocked) {
            EXPECT_EQ(guard->Count().cuts, 0u);
        }
    }
}

uint64_t BytesReceived(const Socket& socket) {
    tcp_info info{};
    socklen_t length = sizeof info;
    ::getsockopt(socket.Fd(), IPPROTO_TCP, TCP_INFO, &info, &length);
    return info.tcpi_bytes_received;
}

// A connection that is writing all the time carries no byte once rules that block it are in
// force, whether it was open before the guard started or was judged and spared before the
// change; its cut waits meanwhile (the guard's thread is held).
TEST_F(GatedKernelGuardLive, ABlockedConnectionCarriesNoByteFromTheRulesOn) {
    const Socket listener = Listen("127.0.0.3", kPorts[0]);
    for (const bool openBeforeStart : {true, false}) {
        SCOPED_TRACE(openBeforeStart ? "open before start" : "newly blocked by a change");
        std::unique_ptr<KernelGuard> guard;
        Hold hold;
        Connection c;
        if (openBeforeStart) {
            c = {Connect("127.0.0.2", "127.0.0.3", kPorts[0]), Accept(listener)};
        }
        KernelGuardOptions options;
        options.onWake = hold.Hook();
        guard = Start({}, options);
        ASSERT_TRUE(guard);
        if (!openBeforeStart) {
            c = {Connect("127.0.0.2", "127.0.0.3", kPorts[0]), Accept(listener)};
            ASSERT_TRUE(Alive(c));
        }
        std::jthread writer([&](const std::stop_token& stop) {
            const std::array<char, 4096> bytes{};
            while (!stop.stop_requested()) {
                if (::send(c.client.Fd(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL) <
                    0) {
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                }
            }
        });
        std::jthread reader([&] { BytesRead(c.server, 3000); });
        for (int i = 0; i < Scaled(200) && BytesReceived(c.server) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_GT(BytesReceived(c.server), 0u);
        std::string why;
        ASSERT_TRUE(guard->SetRules({{kPorts[0]}, {}, {}}, why)) << why;
        ASSERT_TRUE(guard->SettleRules(std::chrono::seconds(10)));
        // Packets judged before the switch land within microseconds.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const uint64_t inForce = BytesReceived(c.server);
        std::this_thread::sleep_for(std::chrono::milliseconds(Scaled(200)));
        EXPECT_EQ(BytesReceived(c.server), inForce);
        writer.request_stop();
        hold.Release();
        EXPECT_THAT(ConnectionError(c.client), Aborted);
    }
}

// The connections of a port whose cuts wait (the guard's thread is held) carry their bytes as
// soon as the port is unblocked, and their cuts, when their turn comes, spare them.
TEST_F(GatedKernelGuardLive, APortUnblockedWhileItsCutsWaitLeavesItsConnectionsAlive) {
    const Socket listener = Listen("127.0.0.3", kPorts[0]);
    std::unique_ptr<KernelGuard> guard;
    Hold hold;
    KernelGuardOptions options;
    options.onMatchesWake = hold.Hook();
    guard = Start({{kPorts[0]}, {}, {}}, options);
    ASSERT_TRUE(guard);
    std::vector<Connection> waiting;
    for (int i = 0; i < 3; ++i) {
        waiting.push_back({Connect("127.0.0.2", "127.0.0.3", kPorts[0]), Accept(listener)});
    }
    hold.WaitHeld();
    std::string why;
    ASSERT_TRUE(guard->SetRules({}, why)) << why;
    ASSERT_TRUE(guard->SettleRules(std::chrono::seconds(10)));
    for (const Connection& c : waiting) {
        EXPECT_TRUE(Alive(c));
    }
    hold.Release();
    for (int i = 0; i < Scaled(200) && guard->Count().spared < waiting.size(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GE(guard->Count().spared, waiting.size()); // a child may be reported twice
    EXPECT_EQ(guard->Count().cuts, 0u);
    for (const Connection& c : waiting) {
        EXPECT_TRUE(Alive(c));
    }
}

// An MPTCP connection to a blocked port: the guard sees the MPTCP socket itself, and no byte of
// it reaches the server, whose subflow is cut.
TEST_F(GatedKernelGuardLive, AnMptcpConnectionToABlockedPortCarriesNoByte) {
    constexpr int kMptcp = 262; // IPPROTO_MPTCP
    Socket listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, kMptcp));
    if (!listener.Valid()) {
        GTEST_SKIP() << "no MPTCP in this kernel";
    }
    sockaddr_in at = To(kPorts[0]);
    ASSERT_EQ(::bind(listener.Fd(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(listener.Fd(), 16), 0);
    const auto guard = Start({{kPorts[0]}, {}, {}});
    ASSERT_TRUE(guard);
    Connection c{Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, kMptcp)), {}};
    ASSERT_EQ(::connect(c.client.Fd(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    c.server = Accept(listener);
    const std::array<char, 1024> bytes{};
    ::send(c.client.Fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    EXPECT_EQ(BytesRead(c.server, 300), 0u);
    for (int i = 0; i < Scaled(200) && guard->Count().mptcp == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GE(guard->Count().mptcp, 1u);
    EXPECT_GE(guard->Count().cuts, 1u); // its subflow
    EXPECT_TRUE(guard->Sound()) << guard->WhyNotSound();
}

} // namespace
} // namespace kt::test

// What the gate must never let through to an application.
//
// Ipv6Headers: 1,000 tries, in batches of 100 at once, of a client sending 1 KiB to a blocked
// port behind an IPv6 Destination Options or Hop-by-Hop header, in a Fast Open SYN or on the
// handshake's last ACK, over loopback and over a veth pair to a second network namespace (which
// stands for a remote host and is not guarded); bytes_read is what the server application read
// from what it accepted within 500 ms of a batch.
// RulesInForce: 100 connections open before the guard starts (it starts with no rules, then takes
// them, as the service does: its start line follows), or judged and spared and then blocked by a
// change, their clients writing all the time; bytes the servers' kernel took in from the moment
// the rules were in force (the rule change returned), in the first millisecond and after it.
// LastAck: 100,000 tries of data on the handshake's last ACK to a blocked port, 500 at a time,
// beside a bulk loopback transfer; with the gate counting what it lets pass, by path.
// Needs root; everything runs in network namespaces of its own.

#include "GateBench.h"
#include "VethPair.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <deque>
#include <fstream>
#include <linux/tcp.h>
#include <thread>

namespace {

using namespace kt;
using namespace kt::bench;
using std::chrono::milliseconds;

constexpr uint16_t kBlocked = 21001; // below ip_local_port_range
constexpr size_t kPayload = 1024;

bool SetOption(int fd, int level, int name, int value) {
    return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
}

// An IPv6 extension header with nothing in it but padding.
bool AddExtensionHeader(int fd, int header) {
    const std::array<uint8_t, 8> padding{0, 0, 1, 4, 0, 0, 0, 0}; // next, length, PadN of 4
    return ::setsockopt(fd, IPPROTO_IPV6, header, padding.data(), padding.size()) == 0;
}

// One blocked try's client: its 1 KiB goes in the SYN (Fast Open) or on the last ACK.
test::Socket Try(const sockaddr_in6& to, int header, bool fastOpen) {
    const std::array<char, kPayload> bytes{};
    test::Socket c(
        ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | (fastOpen ? SOCK_NONBLOCK : 0), 0));
    AddExtensionHeader(c.Fd(), header);
    const auto* address = reinterpret_cast<const sockaddr*>(&to);
    if (fastOpen) {
        ::sendto(c.Fd(), bytes.data(), bytes.size(), MSG_FASTOPEN | MSG_NOSIGNAL, address,
                 sizeof to);
    } else {
        SetOption(c.Fd(), IPPROTO_TCP, TCP_QUICKACK, 0);
        SetTimeouts(c.Fd(), milliseconds(2000));
        if (::connect(c.Fd(), address, sizeof to) == 0) {
            ::send(c.Fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
    }
    return c;
}

void Ipv6Headers(benchmark::State& state, int header, bool fastOpen, bool veth) {
    if (!EnterOwnNamespace(state)) {
        return;
    }
    const UniqueFd guarded = ThisNetworkNamespace();
    UniqueFd peer;
    std::unique_ptr<VethPair> pair;
    std::string whyNot;
    if (veth) {
        peer = NewNetworkNamespace(whyNot);
        pair = peer.Valid()
                   ? VethPair::Create(peer, "10.77.0.1", "10.77.0.2", whyNot, "fd77::1", "fd77::2")
                   : nullptr;
        if (!pair) {
            state.SkipWithError(whyNot.c_str());
            return;
        }
    }
    // Fast Open without cookies, both ends: every SYN carries its data.
    for (const UniqueFd* ns : std::array<const UniqueFd*, 2>{&guarded, &peer}) {
        RunIn(*ns, [] {
            std::ofstream("/proc/sys/net/ipv4/tcp_fastopen") << 0x207;
            return true;
        });
    }
    const char* server = veth ? "fd77::1" : "::1";
    test::Socket listener(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 at{AF_INET6, htons(kBlocked), 0, {}, 0};
    ::inet_pton(AF_INET6, server, &at.sin6_addr);
    // A fresh address may still be settling in.
    bool bound = false;
    for (int i = 0; i < 200 && !bound; ++i) {
        bound = ::bind(listener.Fd(), reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
        if (!bound) {
            std::this_thread::sleep_for(milliseconds(10));
        }
    }
    if (!bound || ::listen(listener.Fd(), 4096) != 0 ||
        !SetOption(listener.Fd(), IPPROTO_TCP, TCP_FASTOPEN, 4096)) {
        state.SkipWithError("no listener on the blocked port");
        return;
    }
    KernelGuardOptions options;
    options.countGatePasses = true;
    const auto guard = StartGated(state, {{kBlocked}, {}, {}}, options);
    if (!guard) {
        return;
    }
    uint64_t tries = 0, accepted = 0, read = 0, withData = 0;
    for (auto _ : state) {
        for (int batch = 0; batch < 10; ++batch) {
            std::vector<test::Socket> clients;
            const auto makeBatch = [&] {
                for (int i = 0; i < 100; ++i) {
                    clients.push_back(Try(at, header, fastOpen));
                }
                return true;
            };
            if (veth) {
                RunIn(peer, makeBatch);
            } else {
                makeBatch();
            }
            tries += clients.size();
            std::vector<test::Socket> servers;
            for (const auto end = Clock::now() + milliseconds(500); Clock::now() < end;) {
                AcceptWaiting(listener, servers);
                std::this_thread::sleep_for(milliseconds(5));
            }
            accepted += servers.size();
            for (const test::Socket& s : servers) {
                const size_t got = ReadWaiting(s.Fd());
                read += got;
                withData += got > 0 ? 1 : 0;
            }
        }
    }
    state.counters["tries"] = static_cast<double>(tries);
    state.counters["accepted"] = static_cast<double>(accepted);
    state.counters["bytes_read"] = static_cast<double>(read);
    state.counters["conns_with_data"] = static_cast<double>(withData);
    CountGatePasses(state, *guard);
}

uint64_t BytesReceived(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length);
    return info.tcpi_bytes_received;
}

uint64_t Received(const std::vector<test::Socket>& servers) {
    uint64_t total = 0;
    for (const test::Socket& s : servers) {
        total += BytesReceived(s.Fd());
    }
    return total;
}

void RulesInForce(benchmark::State& state, bool openBeforeStart) {
    if (!EnterOwnNamespace(state)) {
        return;
    }
    const test::Socket listener = test::Listen("127.0.0.3", kBlocked);
    std::vector<test::Socket> clients, servers;
    const auto open = [&] {
        for (int i = 0; i < 100; ++i) {
            clients.push_back(test::Connect("127.0.0.2", "127.0.0.3", kBlocked));
            servers.push_back(test::Accept(listener));
        }
    };
    if (openBeforeStart) {
        open();
    }
    const auto guard = StartGated(state, {});
    if (!guard) {
        return;
    }
    if (!openBeforeStart) {
        open();
    }
    uint64_t before = 0, firstMs = 0, after = 0, cut = 0;
    for (auto _ : state) {
        std::jthread writer([&](const std::stop_token& stop) {
            const std::array<char, 4096> bytes{};
            while (!stop.stop_requested()) {
                bool any = false;
                for (const test::Socket& c : clients) {
                    any = ::send(c.Fd(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >
                              0 ||
                          any;
                }
                if (!any) {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
            }
        });
        std::jthread reader([&](const std::stop_token& stop) {
            while (!stop.stop_requested()) {
                for (const test::Socket& s : servers) {
                    ReadWaiting(s.Fd());
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        std::this_thread::sleep_for(milliseconds(300));
        std::string why;
        guard->SetRules({{kBlocked}, {}, {}}, why);
        // From here on the rules are in force: the service prints its start line now.
        const uint64_t inForce = Received(servers);
        std::this_thread::sleep_for(milliseconds(1));
        const uint64_t oneMs = Received(servers);
        std::this_thread::sleep_for(milliseconds(1000));
        before = inForce;
        firstMs = oneMs - inForce;
        after = Received(servers) - oneMs;
        for (const test::Socket& c : clients) {
            pollfd gone{c.Fd(), POLLIN, 0};
            cut += ::poll(&gone, 1, 0) == 1 ? 1 : 0;
        }
    }
    state.counters["connections"] = static_cast<double>(servers.size());
    state.counters["bytes_before"] = static_cast<double>(before);
    state.counters["bytes_first_ms"] = static_cast<double>(firstMs);
    state.counters["bytes_after_first_ms"] = static_cast<double>(after);
    state.counters["cut_within_1s"] = static_cast<double>(cut);
}

void LastAck(benchmark::State& state) {
    if (!EnterOwnNamespace(state, 16384)) {
        return;
    }
    const test::Socket listener = test::Listen("127.0.0.3", kBlocked);
    KernelGuardOptions options;
    options.countGatePasses = true;
    const auto guard = StartGated(state, {{kBlocked}, {}, {}}, options);
    if (!guard) {
        return;
    }
    const test::Socket bulkListener = test::Listen("127.0.0.3");
    uint64_t tries = 0, accepted = 0, read = 0, withData = 0;
    for (auto _ : state) {
        std::jthread bulk([&](const std::stop_token& stop) {
            const test::Socket writer =
                test::Connect("127.0.0.2", "127.0.0.3", bulkListener.LocalPort());
            const test::Socket reader = test::Accept(bulkListener);
            std::vector<char> buffer(128 * 1024);
            SetBlocking(writer.Fd(), false);
            SetBlocking(reader.Fd(), false);
            while (!stop.stop_requested()) {
                ::send(writer.Fd(), buffer.data(), buffer.size(), MSG_NOSIGNAL);
                ::recv(reader.Fd(), buffer.data(), buffer.size(), 0);
            }
        });
        std::deque<std::pair<Clock::time_point, test::Socket>> live;
        std::vector<test::Socket> servers;
        const std::array<char, kPayload> bytes{};
        while (tries < 100000 || !live.empty()) {
            const auto now = Clock::now();
            while (!live.empty() && (now - live.front().first > milliseconds(200) ||
                                     (tries >= 100000 && live.size() > 0))) {
                live.pop_front();
            }
            for (; tries < 100000 && live.size() < 500; ++tries) {
                test::Socket c(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
                SetOption(c.Fd(), IPPROTO_TCP, TCP_QUICKACK, 0);
                const sockaddr_in to{AF_INET, htons(kBlocked), {test::Ipv4("127.0.0.3")}, {}};
                if (::connect(c.Fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
                    ::send(c.Fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                }
                live.emplace_back(Clock::now(), std::move(c));
            }
            AcceptWaiting(listener, servers);
            for (const test::Socket& s : servers) {
                const size_t got = ReadWaiting(s.Fd());
                read += got;
                withData += got > 0 ? 1 : 0;
            }
            accepted += servers.size();
            servers.clear();
            std::this_thread::sleep_for(milliseconds(1));
        }
    }
    state.counters["tries"] = static_cast<double>(tries);
    state.counters["accepted"] = static_cast<double>(accepted);
    state.counters["bytes_read"] = static_cast<double>(read);
    state.counters["conns_with_data"] = static_cast<double>(withData);
    state.counters["cuts"] = static_cast<double>(guard->Count().cuts);
    CountGatePasses(state, *guard);
}

const bool kRegistered = [] {
    for (const bool veth : {false, true}) {
        for (const auto& [header, headerName] : {std::pair{IPV6_DSTOPTS, "destination_options"},
                                                 std::pair{IPV6_HOPOPTS, "hop_by_hop"}}) {
            for (const bool fastOpen : {true, false}) {
                const std::string name = std::string("BytesThrough/ipv6/") +
                                         (veth ? "veth/" : "loopback/") + headerName +
                                         (fastOpen ? "/fast_open_syn" : "/last_ack");
                benchmark::RegisterBenchmark(name.c_str(), Ipv6Headers, header, fastOpen, veth)
                    ->Iterations(1)
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
    benchmark::RegisterBenchmark("BytesThrough/open_before_start", RulesInForce, true)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BytesThrough/newly_blocked_by_a_change", RulesInForce, false)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BytesThrough/last_ack_100000_under_load", LastAck)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    return true;
}();

} // namespace

BENCHMARK_MAIN();

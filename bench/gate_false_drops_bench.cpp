// What the gate must never hold back, and what it costs.
//
// Echoes: 10,000 unblocked connections, one after the other, each sending 64 KiB that the server
// sends back and the client checks, beside 2,000 blocked connections a second and a rule switch
// every 10 ms that blocks and unblocks a port none of the echoes uses; echo_failed counts the
// ones that did not come back whole within 2 s.
// Reused: 1,000 sockets each connected to a blocked port, then, after their cut or after
// connect(AF_UNSPEC) before it, connected to an unblocked port for a 1 KiB echo; last_errno is
// the error of the last echo that failed.
// UnblockedWhileCutsWait: 20 connections of a blocked port whose cuts wait (the guard's thread is
// held); the port is unblocked: how long until all 20 have carried 1 KiB each way, and whether
// their cuts spare them when their turn comes. 20 rounds.
// PerPacket: the gate's own run time per packet, as the kernel measures it, for sockets whose
// kept judgement holds, and for sockets judged afresh (the rules switch before every packet).
// Needs root; everything runs in network namespaces of its own.

#include "GateBench.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <netinet/tcp.h>
#include <random>
#include <thread>

namespace {

using namespace kt;
using namespace kt::bench;
using std::chrono::milliseconds;

constexpr uint16_t kBlocked = 21001; // below ip_local_port_range
constexpr uint16_t kSwitched = 21002;
constexpr uint16_t kOpen = 21003;
constexpr auto kBound = milliseconds(2000);

sockaddr_in To(uint16_t port) {
    return {AF_INET, htons(port), {test::Ipv4("127.0.0.3")}, {}};
}

// Connects a socket (blocking) and answers whether it is connected: the first connect() after a
// cut answers the cut, the second connects.
bool ConnectAgain(int fd, uint16_t port) {
    const sockaddr_in to = To(port);
    const auto* address = reinterpret_cast<const sockaddr*>(&to);
    return ::connect(fd, address, sizeof to) == 0 || ::connect(fd, address, sizeof to) == 0;
}

// Accepts and echoes each connection's bytes back until the stop; one thread.
void EchoServer(const test::Socket& listener, size_t size, const std::stop_token& stop) {
    std::vector<char> buffer(size);
    while (!stop.stop_requested()) {
        pollfd ready{listener.Fd(), POLLIN, 0};
        if (::poll(&ready, 1, 50) != 1) {
            continue;
        }
        const test::Socket c = test::Accept(listener);
        SetTimeouts(c.Fd(), kBound);
        if (ReceiveAll(c.Fd(), buffer.data(), size)) {
            SendAll(c.Fd(), buffer.data(), size);
        }
    }
}

// Accepts and drops what comes to a listener until the stop.
void Sink(const test::Socket& listener, const std::stop_token& stop) {
    std::vector<test::Socket> accepted;
    while (!stop.stop_requested()) {
        AcceptWaiting(listener, accepted);
        if (accepted.size() > 512) {
            accepted.erase(accepted.begin(), accepted.begin() + 256);
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
}

bool Echo(int fd, size_t size, uint32_t seed) {
    std::vector<char> sent(size), got(size);
    std::minstd_rand random(seed);
    std::generate(sent.begin(), sent.end(), [&] { return static_cast<char>(random()); });
    return SendAll(fd, sent.data(), size) && ReceiveAll(fd, got.data(), size) && sent == got;
}

void Echoes(benchmark::State& state) {
    if (!EnterOwnNamespace(state)) {
        return;
    }
    const test::Socket blocked = test::Listen("127.0.0.3", kBlocked);
    const test::Socket open = test::Listen("127.0.0.3", kOpen);
    const GuardRules one{{}, {kBlocked}, {}};
    const GuardRules two{{kSwitched}, {kBlocked, kSwitched}, {}};
    const auto guard = StartGated(state, one);
    if (!guard) {
        return;
    }
    constexpr size_t kEcho = 64 * 1024;
    uint64_t echoes = 0, failed = 0, blockedOpened = 0, switches = 0;
    for (auto _ : state) {
        std::jthread server([&](const std::stop_token& stop) { EchoServer(open, kEcho, stop); });
        std::jthread sink([&](const std::stop_token& stop) { Sink(blocked, stop); });
        std::jthread load([&](const std::stop_token& stop) {
            std::vector<test::Socket> live;
            for (auto next = Clock::now(); !stop.stop_requested();
                 next += std::chrono::microseconds(500)) {
                std::this_thread::sleep_until(next);
                test::Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
                const sockaddr_in to = To(kBlocked);
                ::connect(s.Fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
                live.push_back(std::move(s));
                ++blockedOpened;
                if (live.size() > 100) { // each lives about 50 ms
                    live.erase(live.begin());
                }
            }
        });
        std::jthread switcher([&](const std::stop_token& stop) {
            std::string why;
            for (bool second = true; !stop.stop_requested(); second = !second, ++switches) {
                guard->SetRules(second ? two : one, why);
                std::this_thread::sleep_for(milliseconds(10));
            }
        });
        for (uint32_t i = 0; i < 10000; ++i) {
            const test::Socket c = test::Connect("127.0.0.2", "127.0.0.3", kOpen);
            SetTimeouts(c.Fd(), kBound);
            ++echoes;
            failed += c.Valid() && Echo(c.Fd(), kEcho, i) ? 0 : 1;
        }
    }
    state.counters["echoes"] = static_cast<double>(echoes);
    state.counters["echo_failed"] = static_cast<double>(failed);
    state.counters["blocked_opened"] = static_cast<double>(blockedOpened);
    state.counters["cuts"] = static_cast<double>(guard->Count().cuts);
    state.counters["switches"] = static_cast<double>(switches);
    state.counters["sound"] = guard->Sound() ? 1 : 0;
}

void Reused(benchmark::State& state, bool disconnect) {
    if (!EnterOwnNamespace(state)) {
        return;
    }
    const test::Socket blocked = test::Listen("127.0.0.3", kBlocked);
    const test::Socket open = test::Listen("127.0.0.3", kOpen);
    const auto guard = StartGated(state, {{}, {kBlocked}, {}});
    if (!guard) {
        return;
    }
    constexpr size_t kEcho = 1024;
    uint64_t reused = 0, failed = 0, notCut = 0, connectFailed = 0;
    int lastError = 0;
    for (auto _ : state) {
        std::jthread server([&](const std::stop_token& stop) { EchoServer(open, kEcho, stop); });
        std::jthread sink([&](const std::stop_token& stop) { Sink(blocked, stop); });
        for (uint32_t i = 0; i < 1000; ++i) {
            const test::Socket c(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            const sockaddr_in to = To(kBlocked);
            ::connect(c.Fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
            pollfd wait{c.Fd(), static_cast<short>(disconnect ? POLLOUT : POLLIN), 0};
            if (::poll(&wait, 1, static_cast<int>(kBound.count())) != 1) {
                ++notCut;
            }
            if (disconnect) {
                const sockaddr unspecified{AF_UNSPEC, {}};
                ::connect(c.Fd(), &unspecified, sizeof unspecified);
            }
            SetBlocking(c.Fd(), true);
            SetTimeouts(c.Fd(), kBound);
            ++reused;
            if (!ConnectAgain(c.Fd(), kOpen)) {
                ++connectFailed;
                lastError = errno;
            } else if (!Echo(c.Fd(), kEcho, i)) {
                ++failed;
                lastError = errno;
            }
        }
    }
    state.counters["connect_failed"] = static_cast<double>(connectFailed);
    state.counters["last_errno"] = lastError;
    state.counters["reused"] = static_cast<double>(reused);
    state.counters["echo_failed"] = static_cast<double>(failed);
    state.counters["not_cut_in_time"] = static_cast<double>(notCut);
    state.counters["cuts"] = static_cast<double>(guard->Count().cuts);
    state.counters["cut_found_gone"] = static_cast<double>(guard->Count().alreadyGone);
}

void UnblockedWhileCutsWait(benchmark::State& state) {
    if (!EnterOwnNamespace(state)) {
        return;
    }
    const test::Socket listener = test::Listen("127.0.0.3", kBlocked);
    constexpr int kWaiting = 20;
    double worstMs = 0;
    uint64_t carried = 0, spared = 0, cuts = 0, aliveAfter = 0;
    for (auto _ : state) {
        for (int round = 0; round < 20; ++round) {
            std::promise<void> held, release;
            auto go = release.get_future().share();
            KernelGuardOptions options;
            options.onMatchesWake = [&, once = true]() mutable {
                if (std::exchange(once, false)) {
                    held.set_value();
                    go.wait();
                }
            };
            auto guard = StartGated(state, {{kBlocked}, {}, {}}, options);
            if (!guard) {
                return;
            }
            std::vector<std::pair<test::Socket, test::Socket>> waiting;
            for (int i = 0; i < kWaiting; ++i) {
                test::Socket client = test::Connect("127.0.0.2", "127.0.0.3", kBlocked);
                test::Socket server = test::Accept(listener);
                SetTimeouts(client.Fd(), kBound);
                SetTimeouts(server.Fd(), kBound);
                waiting.emplace_back(std::move(client), std::move(server));
            }
            held.get_future().wait();
            std::string why;
            const auto unblocked = Clock::now();
            guard->SetRules({}, why);
            std::array<char, 1024> bytes{};
            for (const auto& [client, server] : waiting) {
                carried += SendAll(client.Fd(), bytes.data(), bytes.size()) &&
                                   ReceiveAll(server.Fd(), bytes.data(), bytes.size()) &&
                                   SendAll(server.Fd(), bytes.data(), bytes.size()) &&
                                   ReceiveAll(client.Fd(), bytes.data(), bytes.size())
                               ? 1
                               : 0;
            }
            worstMs = std::max(
                worstMs,
                std::chrono::duration<double, std::milli>(Clock::now() - unblocked).count());
            release.set_value();
            std::this_thread::sleep_for(milliseconds(100));
            for (const auto& [client, server] : waiting) {
                aliveAfter +=
                    test::Exchange(client, server) && test::Exchange(server, client) ? 1 : 0;
            }
            spared += guard->Count().spared;
            cuts += guard->Count().cuts;
        }
    }
    state.counters["connections"] = 20.0 * kWaiting;
    state.counters["carried_after_unblock"] = static_cast<double>(carried);
    state.counters["all_carried_worst_ms"] = worstMs;
    state.counters["alive_after_their_turn"] = static_cast<double>(aliveAfter);
    state.counters["cuts_spared"] = static_cast<double>(spared);
    state.counters["cuts"] = static_cast<double>(cuts);
}

// One byte back and forth; afresh switches the rules (to the same ones) before every send, so
// that every packet of both sockets finds its kept judgement stale.
void PerPacket(benchmark::State& state, bool afresh) {
    if (!EnterOwnNamespace(state)) {
        return;
    }
    KernelGuardOptions options;
    options.timeGate = true;
    const GuardRules rules{{kBlocked}, {}, {}};
    const auto guard = StartGated(state, rules, options);
    if (!guard) {
        return;
    }
    const test::Socket listener = test::Listen("127.0.0.3", kOpen);
    const test::Socket client = test::Connect("127.0.0.2", "127.0.0.3", kOpen);
    const test::Socket server = test::Accept(listener);
    const int one = 1;
    ::setsockopt(client.Fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(server.Fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string why;
    char byte = 'k';
    const KernelGuard::GateRuns before = guard->GateRunTime();
    for (auto _ : state) {
        for (int i = 0; i < 20000; ++i) {
            if (afresh) {
                guard->SetRules(rules, why);
            }
            ::send(client.Fd(), &byte, 1, 0);
            ::recv(server.Fd(), &byte, 1, 0);
            if (afresh) {
                guard->SetRules(rules, why);
            }
            ::send(server.Fd(), &byte, 1, 0);
            ::recv(client.Fd(), &byte, 1, 0);
        }
    }
    const KernelGuard::GateRuns after = guard->GateRunTime();
    const uint64_t runs = after.runs - before.runs;
    state.counters["gate_runs"] = static_cast<double>(runs);
    state.counters["ns_per_gate_run"] =
        runs ? static_cast<double>(after.nanoseconds - before.nanoseconds) / runs : 0;
}

const bool kRegistered = [] {
    benchmark::RegisterBenchmark("FalseDrops/echoes_64KiB_beside_blocked_and_switches", Echoes)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("FalseDrops/reused_after_cut", Reused, false)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("FalseDrops/reused_after_connect_unspec", Reused, true)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("FalseDrops/unblocked_while_cuts_wait", UnblockedWhileCutsWait)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("GateCost/per_packet/kept", PerPacket, false)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("GateCost/per_packet/judged_afresh", PerPacket, true)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    return true;
}();

} // namespace

BENCHMARK_MAIN();

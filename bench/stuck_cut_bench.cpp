// What sockets held stuck by their owner cost the other cuts: the kernel guard cuts blocked
// connections while 0 or 20 sockets of one user wait with their cuts (each owner's send() waits on
// a page fault that nobody serves). The time from connect() starting to the client seeing its
// connection aborted, the bytes its peer received, and the most helpers the guard kept at once
// and in D state. Needs root; runs in a network namespace of its own, on 127.0.0.2/127.0.0.3.

#include "../tests/engine/linux/Loopback.h"
#include "engine/linux/KernelGuard.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <memory>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace {

using namespace kt;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kBlockedPort = 21001; // below ip_local_port_range
constexpr uid_t kStranger = 4242;        // the owner of the stuck sockets

size_t InState(const std::map<int, char>& states, char state) {
    return static_cast<size_t>(std::count_if(states.begin(), states.end(),
                                             [&](const auto& s) { return s.second == state; }));
}

void BM_CutsBesideStuckSockets(benchmark::State& state) {
    if (::geteuid() != 0) {
        state.SkipWithError("needs root: runs in a network namespace of its own");
        return;
    }
    const auto stuckCount = static_cast<size_t>(state.range(0));
    const auto blocked = static_cast<int>(state.range(1));
    if (!test::EnterOwnNetworkNamespace().empty() || !test::RaiseFileLimit(4096)) {
        state.SkipWithError("no network namespace or file limit");
        return;
    }
    const test::Socket listener = test::Listen("127.0.0.3", kBlockedPort);
    std::vector<test::Socket> held;
    std::vector<test::Socket> heldPeers;
    std::vector<std::unique_ptr<test::StuckSender>> owners;
    for (size_t i = 0; i < stuckCount; ++i) {
        ::setfsuid(kStranger); // the socket belongs to the file system user that makes it
        held.push_back(test::Connect("127.0.0.2", "127.0.0.3", kBlockedPort));
        ::setfsuid(0);
        heldPeers.push_back(test::Accept(listener));
        owners.push_back(std::make_unique<test::StuckSender>(held.back()));
        if (!owners.back()->Stuck()) {
            state.SkipWithError("no send() waits on a userfaultfd page");
            return;
        }
    }
    std::atomic<size_t> cutsLogged{0};
    KernelGuard::Options options;
    options.onCut = [&](const CutRecord&) { cutsLogged.fetch_add(1); };
    std::string whyNot;
    auto guard = KernelGuard::Start({{}, {kBlockedPort}, {}}, whyNot, options);
    if (!guard) {
        state.SkipWithError(whyNot.c_str());
        return;
    }
    size_t mostHelpers = 0;
    size_t mostWaiting = 0; // in D state
    const auto look = [&] {
        const auto states = test::ChildStates("kt-destroyer");
        mostHelpers = std::max(mostHelpers, states.size());
        mostWaiting = std::max(mostWaiting, InState(states, 'D'));
    };
    // The stuck sockets' cuts are handed out before the measured ones.
    for (const auto end = Clock::now() + std::chrono::milliseconds(500); Clock::now() < end;) {
        look();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    std::vector<double> latencies;
    size_t bytesThrough = 0;
    size_t notCut = 0;
    const char payload[512] = {};
    for (auto _ : state) {
        for (int i = 0; i < blocked; ++i) {
            // From before connect(): a guard that keeps up cuts many before it returns.
            const Clock::time_point connected = Clock::now();
            const test::Socket client = test::Connect("127.0.0.2", "127.0.0.3", kBlockedPort);
            // Sent at once: the gate drops it until the cut.
            ::send(client.Fd(), payload, sizeof payload, MSG_NOSIGNAL | MSG_DONTWAIT);
            pollfd p{client.Fd(), POLLIN, 0};
            const bool aborted =
                client.CutWhileConnecting() != 0 ||
                (::poll(&p, 1, 5000) == 1 && (p.revents & (POLLERR | POLLHUP | POLLIN)) != 0);
            latencies.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - connected).count());
            notCut += aborted ? 0 : 1;
            const test::Socket peer = test::Accept(listener);
            char buffer[sizeof payload];
            for (ssize_t got; (got = ::recv(peer.Fd(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
                bytesThrough += static_cast<size_t>(got);
            }
            if (i % 50 == 0) {
                look();
            }
        }
    }
    // The owners let go: every stuck cut is made, and logged.
    owners.clear();
    const auto released = Clock::now();
    while (cutsLogged.load() < latencies.size() + stuckCount &&
           Clock::now() - released < std::chrono::seconds(10)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    size_t stuckCut = 0;
    for (const test::Socket& socket : held) {
        stuckCut += test::ConnectionError(socket, 1000) != 0 ? 1 : 0;
    }
    look();
    std::sort(latencies.begin(), latencies.end());
    state.counters["median_us"] = latencies[latencies.size() / 2];
    state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
    state.counters["not_cut"] = static_cast<double>(notCut);
    state.counters["bytes_through"] = static_cast<double>(bytesThrough);
    state.counters["max_helpers"] = static_cast<double>(mostHelpers);
    state.counters["max_helpers_D"] = static_cast<double>(mostWaiting);
    state.counters["stuck_cut_after"] = static_cast<double>(stuckCut);
    state.counters["cuts_logged"] = static_cast<double>(cutsLogged.load());
    state.counters["sound"] = guard->Sound() ? 1 : 0;
}
BENCHMARK(BM_CutsBesideStuckSockets)
    ->ArgNames({"stuck", "blocked"})
    ->Args({0, 1000})
    ->Args({20, 1000})
    ->Args({0, 1000})
    ->Args({20, 1000})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

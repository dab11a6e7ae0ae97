// How fast a blocked connection dies: the time from connect() returning on a blocked port to the
// client seeing its connection aborted, with the engine's loop (tick, 1 ms sleep) running on the
// real kernel table among many idle connections. Needs root; runs in a network namespace of its
// own.

#include "../tests/engine/linux/Loopback.h"
#include "BenchDoubles.h"
#include "engine/Engine.h"
#include "engine/linux/NetlinkTcpTable.h"
#include "manager/Manager.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace kt;
using bench::NullStore;
using bench::QuietHost;
using Clock = std::chrono::steady_clock;

// Waits until the socket reports its connection gone; false after five seconds.
bool WaitForAbort(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 5000) == 1 && (p.revents & (POLLERR | POLLHUP | POLLIN)) != 0;
}

void BM_CutLatency(benchmark::State& state) {
    if (::geteuid() != 0) {
        state.SkipWithError("needs root: runs in a network namespace of its own");
        return;
    }
    const std::string error = test::EnterOwnNetworkNamespace();
    if (!error.empty() || !test::RaiseFileLimit(4096)) {
        state.SkipWithError("no network namespace or file limit");
        return;
    }
    const int idlePairs = static_cast<int>(state.range(0)) / 2;
    const int samples = static_cast<int>(state.range(1));

    const test::Socket idleListener = test::Listen("127.0.0.3");
    std::vector<test::Socket> idle;
    for (int i = 0; i < idlePairs; ++i) {
        idle.push_back(test::Connect("127.0.0.2", "127.0.0.3", idleListener.LocalPort()));
        idle.push_back(test::Accept(idleListener));
    }
    const test::Socket blockedListener = test::Listen("127.0.0.3");

    NullStore store;
    QuietHost host;
    NetlinkTcpTable table;
    Manager manager(store, nullptr);
    Engine engine(table, host, manager);
    engine.BuildStateNames();
    manager.oConnections = &engine;
    manager.oAllowedIP.AddItem("127.0.0.1");
    manager.oBlockedRemotePorts.AddItem(int32_t{blockedListener.LocalPort()});

    // The program's own loop, on a thread of its own; the lists are not touched from here on.
    std::atomic<bool> stop{false};
    std::thread loop([&] {
        while (!stop) {
            engine.PollConnections();
            host.Sleep(1);
        }
    });

    std::vector<double> latencies;
    for (auto _ : state) {
        latencies.clear();
        for (int i = 0; i < samples; ++i) {
            const test::Socket client =
                test::Connect("127.0.0.2", "127.0.0.3", blockedListener.LocalPort());
            const Clock::time_point connected = Clock::now();
            const bool aborted = WaitForAbort(client.Fd());
            const double ms =
                std::chrono::duration<double, std::milli>(Clock::now() - connected).count();
            const test::Socket accepted = test::Accept(blockedListener);
            if (!aborted) {
                state.SkipWithError("a connection on the blocked port was not cut");
                break;
            }
            latencies.push_back(ms);
        }
    }
    stop = true;
    loop.join();
    if (latencies.empty()) {
        return;
    }
    std::sort(latencies.begin(), latencies.end());
    state.counters["median_ms"] = latencies[latencies.size() / 2];
    state.counters["p99_ms"] =
        latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    state.counters["max_ms"] = latencies.back();
    state.counters["rows"] = static_cast<double>(engine.RowCount());
}
BENCHMARK(BM_CutLatency)->Args({1000, 250})->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

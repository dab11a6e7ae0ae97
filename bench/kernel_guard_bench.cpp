// How fast the kernel guard cuts a blocked connection among many idle ones: the time from
// connect() returning on a blocked port to the client seeing its connection aborted; beside it,
// a shell loop of `ss -K` with a 1 ms sleep in the same conditions; and the CPU of the guard and
// of a loop that keeps the table from its reports, while nothing happens and under a churn of
// unblocked connections. Needs root; runs in a network namespace of its own.

#include "../tests/engine/linux/Loopback.h"
#include "core/CutLog.h"
#include "engine/linux/EventTcpTable.h"
#include "engine/linux/KernelGuard.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <csignal>
#include <ctime>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace kt;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kBlockedPort = 21001; // below ip_local_port_range
constexpr uint16_t kUnblockedPort = 21002;
constexpr int kLoopSeconds = 5;
// The guard as the program runs it writes each cut to the cut log from its thread.
enum Cutter { KernelGuardCutter = 0, SsLoopCutter = 1, LoggingGuardCutter = 2 };

bool WaitForAbort(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 5000) == 1 && (p.revents & (POLLERR | POLLHUP | POLLIN)) != 0;
}

double ProcessCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The shell loop, in this network namespace; stopped by its process group.
pid_t StartSsLoop() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        ::execl("/bin/sh", "sh", "-c",
                "while :; do ss -K -t dport = :21001 >/dev/null 2>&1; sleep 0.001; done",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::setpgid(child, child); // as the child does: whichever runs first
    return child;
}

// Accepts count connections and holds them until killed.
pid_t StartAcceptor(const test::Socket& listener, int count) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        std::vector<test::Socket> accepted;
        while (static_cast<int>(accepted.size()) < count) {
            accepted.push_back(test::Accept(listener));
        }
        for (;;) {
            ::pause();
        }
    }
    ::setpgid(child, child);
    return child;
}

// About 1,000 unblocked connections a second, each opened and closed, until killed.
pid_t StartChurn(const test::Socket& listener) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        for (;;) {
            test::Socket client = test::Connect("127.0.0.2", "127.0.0.3", kUnblockedPort);
            test::Socket server = test::Accept(listener);
            client = test::Socket();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ::setpgid(child, child);
    return child;
}

// The CPU of this process, in per cent of one core, while its main thread runs the loop a window
// would run beside the guard: sleep on the table's reports (or a one-second tick), then drain,
// then let further reports gather for the coalescing time.
double LoopCpuPercent(EventTcpTable& table, pid_t churn, std::chrono::milliseconds coalesce) {
    const double before = ProcessCpuSeconds();
    const Clock::time_point end = Clock::now() + std::chrono::seconds(kLoopSeconds);
    while (Clock::now() < end) {
        pollfd p{table.WaitFd(), POLLIN, 0};
        ::poll(&p, 1, 1000);
        table.Drain();
        std::this_thread::sleep_for(coalesce);
    }
    const double percent = (ProcessCpuSeconds() - before) / kLoopSeconds * 100.0;
    if (churn > 0) {
        ::kill(-churn, SIGKILL);
        ::waitpid(churn, nullptr, 0);
    }
    return percent;
}

void BM_CutLatency(benchmark::State& state) {
    if (::geteuid() != 0) {
        state.SkipWithError("needs root: runs in a network namespace of its own");
        return;
    }
    const int connections = static_cast<int>(state.range(0));
    const int samples = static_cast<int>(state.range(1));
    const auto cutter = static_cast<Cutter>(state.range(2));
    if (!test::EnterOwnNetworkNamespace().empty() ||
        !test::RaiseFileLimit(static_cast<uint64_t>(connections) + 1024)) {
        state.SkipWithError("no network namespace or file limit");
        return;
    }
    // The accepted ends live in a child, so that 10,000 connections fit two files limits.
    const test::Socket idleListener = test::Listen("127.0.0.3");
    const pid_t acceptor = StartAcceptor(idleListener, connections);
    std::vector<test::Socket> idle;
    for (int i = 0; i < connections; ++i) {
        idle.push_back(test::Connect("127.0.0.2", "127.0.0.3", idleListener.LocalPort()));
    }
    const test::Socket blockedListener = test::Listen("127.0.0.3", kBlockedPort);

    std::unique_ptr<KernelGuard> guard;
    pid_t loop = -1;
    char logFolder[] = "/tmp/kt-cut-log-XXXXXX";
    std::string whyNoLog;
    CutLog log(cutter == LoggingGuardCutter && ::mkdtemp(logFolder) != nullptr
                   ? OpenCutLogFileIn(logFolder, whyNoLog)
                   : nullptr);
    if (cutter != SsLoopCutter) {
        std::string whyNot;
        KernelGuard::Options options;
        if (cutter == LoggingGuardCutter) {
            options.onCut = [&log](const CutRecord& record) { log.Record(record); };
        }
        guard = KernelGuard::Start({{}, {kBlockedPort}, {}}, whyNot, options);
        if (!guard) {
            state.SkipWithError(whyNot.c_str());
            return;
        }
    } else {
        loop = StartSsLoop();
    }

    std::vector<double> latencies;
    for (auto _ : state) {
        latencies.clear();
        for (int i = 0; i < samples; ++i) {
            const test::Socket client = test::Connect("127.0.0.2", "127.0.0.3", kBlockedPort);
            const Clock::time_point connected = Clock::now();
            const bool aborted = WaitForAbort(client.Fd());
            const double us =
                std::chrono::duration<double, std::micro>(Clock::now() - connected).count();
            const test::Socket accepted = test::Accept(blockedListener);
            if (!aborted) {
                state.SkipWithError("a connection on the blocked port was not cut");
                break;
            }
            latencies.push_back(us);
        }
    }
    if (guard) {
        std::string whyNot;
        const auto table = EventTcpTable::Open(*guard, whyNot);
        if (!table) {
            state.SkipWithError(whyNot.c_str());
            return;
        }
        using std::chrono::milliseconds;
        state.counters["idle_cpu_percent"] = LoopCpuPercent(*table, -1, milliseconds(0));
        const test::Socket unblocked = test::Listen("127.0.0.3", kUnblockedPort);
        state.counters["churn_cpu_percent"] =
            LoopCpuPercent(*table, StartChurn(unblocked), milliseconds(0));
        state.counters["churn_10ms_cpu_percent"] =
            LoopCpuPercent(*table, StartChurn(unblocked), milliseconds(10));
        state.counters["passes"] = static_cast<double>(guard->Count().passes);
        state.counters["table_dumps"] = static_cast<double>(table->Dumps());
    }
    for (const pid_t child : {loop, acceptor}) {
        if (child > 0) {
            ::kill(-child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
    }
    if (latencies.empty()) {
        return;
    }
    std::sort(latencies.begin(), latencies.end());
    state.counters["median_us"] = latencies[latencies.size() / 2];
    state.counters["p99_us"] =
        latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    state.counters["max_us"] = latencies.back();
}
BENCHMARK(BM_CutLatency)
    ->ArgNames({"connections", "samples", "ss_loop"})
    ->Args({1000, 250, KernelGuardCutter})
    ->Args({1000, 250, SsLoopCutter})
    ->Args({1000, 250, LoggingGuardCutter})
    ->Args({10000, 250, KernelGuardCutter})
    ->Args({10000, 100, SsLoopCutter})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

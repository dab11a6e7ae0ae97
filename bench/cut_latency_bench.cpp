// How fast and how surely blocked connections die on the real kernel table, among many idle
// connections: the time from connect() returning on a blocked port to the client seeing its
// connection aborted, blocked connections open before the start, and a churn of short ones.
// Needs root; each runs in a network namespace of its own.

#include "../tests/engine/linux/Loopback.h"
#include "../tests/fakes/Fakes.h"
#include "BenchDoubles.h"
#include "engine/Engine.h"
#include "engine/linux/NetlinkTcpTable.h"
#include "manager/Manager.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <csignal>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
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

bool EnterOwnNamespace(benchmark::State& state, uint64_t files) {
    if (::geteuid() != 0) {
        state.SkipWithError("needs root: runs in a network namespace of its own");
        return false;
    }
    if (!test::EnterOwnNetworkNamespace().empty() || !test::RaiseFileLimit(files)) {
        state.SkipWithError("no network namespace or file limit");
        return false;
    }
    return true;
}

// The program's engine and view on the real table, its loop (tick, 1 ms sleep) on a thread of
// its own; the lists are not touched once it runs.
struct Guard {
    explicit Guard(uint16_t blockedRemote) {
        engine.BuildStateNames();
        manager.oConnections = &engine;
        manager.oMainForm = &form;
        manager.oAllowedIP.AddItem("127.0.0.1");
        manager.oBlockedRemotePorts.AddItem(int32_t{blockedRemote});
        manager.SetCurrentMode(Manager::CurrentConnectionsMode);
    }
    void Start() {
        loop = std::thread([this] {
            while (!stop) {
                engine.PollConnections();
                host.Sleep(1);
            }
        });
    }
    ~Guard() {
        stop = true;
        if (loop.joinable()) {
            loop.join();
        }
    }
    NullStore store;
    QuietHost host;
    NetlinkTcpTable table;
    Manager manager{store, nullptr};
    testing::RecordingForm form;
    Engine engine{table, host, manager};
    std::atomic<bool> stop{false};
    std::thread loop;
};

// A shell loop of `ss -K` with a 1 ms sleep, the yardstick a user could write instead.
struct SsLoop {
    explicit SsLoop(uint16_t port) {
        const std::string script = "while :; do ss -K -t dport = :" + std::to_string(port) +
                                   " >/dev/null 2>&1; sleep 0.001; done";
        pid = ::fork();
        if (pid == 0) {
            ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~SsLoop() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    pid_t pid = -1;
};

std::vector<test::Socket> OpenIdle(const test::Socket& listener, int rows) {
    std::vector<test::Socket> idle;
    for (int i = 0; i < rows / 2; ++i) {
        idle.push_back(test::Connect("127.0.0.2", "127.0.0.3", listener.LocalPort()));
        idle.push_back(test::Accept(listener));
    }
    return idle;
}

double Percentile(std::vector<double>& values, int percent) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, values.size() * static_cast<size_t>(percent) / 100)];
}

// range(0): idle rows in the table; range(1): samples; range(2): 0 the program, 1 an ss loop.
void BM_CutLatency(benchmark::State& state) {
    if (!EnterOwnNamespace(state, 19000)) {
        return;
    }
    const int samples = static_cast<int>(state.range(1));
    const test::Socket idleListener = test::Listen("127.0.0.3");
    const std::vector<test::Socket> idle = OpenIdle(idleListener, static_cast<int>(state.range(0)));
    const test::Socket blockedListener = test::Listen("127.0.0.3", 21002);

    std::optional<Guard> guard;
    std::optional<SsLoop> ss;
    if (state.range(2) == 0) {
        guard.emplace(blockedListener.LocalPort());
        guard->Start();
    } else {
        ss.emplace(blockedListener.LocalPort());
    }

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
    if (latencies.empty()) {
        return;
    }
    state.counters["median_ms"] = Percentile(latencies, 50);
    state.counters["p99_ms"] = Percentile(latencies, 99);
    state.counters["max_ms"] = latencies.back();
}
BENCHMARK(BM_CutLatency)
    ->ArgNames({"idle", "samples", "ss"})
    ->Args({0, 250, 0})
    ->Args({0, 250, 1})
    ->Args({1000, 250, 0})
    ->Args({1000, 250, 1})
    ->Args({10000, 100, 0})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// range(0) blocked connections already open when the program starts: the time until the last
// one is cut.
void BM_BlockedAtStart(benchmark::State& state) {
    if (!EnterOwnNamespace(state, 19000)) {
        return;
    }
    const test::Socket listener = test::Listen("127.0.0.3", 21003);
    const std::vector<test::Socket> open = OpenIdle(listener, static_cast<int>(state.range(0)) * 2);
    for (auto _ : state) {
        Guard guard(listener.LocalPort());
        const Clock::time_point started = Clock::now();
        guard.Start();
        size_t cut = 0;
        for (size_t i = 0; i < open.size(); i += 2) {
            cut += WaitForAbort(open[i].Fd()) ? 1 : 0;
        }
        state.counters["all_cut_ms"] =
            std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        state.counters["cut"] = static_cast<double>(cut);
    }
}
BENCHMARK(BM_BlockedAtStart)->Arg(2000)->Iterations(1)->Unit(benchmark::kMillisecond);

// Short connections to a blocked port, range(0) a second for range(1) seconds, each living 20 to
// 100 ms, beside as many to an unblocked port: the share of those living over 20 ms that were cut,
// and how many unblocked ones were.
void BM_Churn(benchmark::State& state) {
    if (!EnterOwnNamespace(state, 19000)) {
        return;
    }
    const test::Socket blocked = test::Listen(
        "127.0.0.3", 21001); // below the ephemeral range: on loopback both ends are judged
    const test::Socket open = test::Listen("127.0.0.3");
    Guard guard(blocked.LocalPort());
    guard.Start();
    struct Live {
        test::Socket socket;
        Clock::time_point born, dies;
        bool blocked;
    };
    for (auto _ : state) {
        std::vector<Live> live;
        std::vector<test::Socket> accepted;
        uint64_t seed = 12345;
        size_t judged = 0, cut = 0, wronglyCut = 0;
        const auto interval = std::chrono::microseconds(1000000 / state.range(0));
        const Clock::time_point end = Clock::now() + std::chrono::seconds(state.range(1));
        Clock::time_point next = Clock::now();
        while (Clock::now() < end || !live.empty()) {
            const Clock::time_point now = Clock::now();
            if (now < end && now >= next) {
                next += interval;
                seed = seed * 6364136223846793005u + 1442695040888963407u;
                const auto life = std::chrono::milliseconds(20 + (seed >> 33) % 81);
                for (const bool isBlocked : {true, false}) {
                    const test::Socket& to = isBlocked ? blocked : open;
                    live.push_back({test::Connect("127.0.0.2", "127.0.0.3", to.LocalPort()), now,
                                    now + life, isBlocked});
                }
            }
            for (const test::Socket* l : {&blocked, &open}) {
                pollfd p{l->Fd(), POLLIN, 0};
                while (::poll(&p, 1, 0) == 1) {
                    accepted.push_back(test::Accept(*l));
                }
            }
            for (auto it = live.begin(); it != live.end();) {
                if (now < it->dies) {
                    ++it;
                    continue;
                }
                pollfd p{it->socket.Fd(), POLLIN, 0};
                const bool aborted = ::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP));
                judged += it->blocked ? 1 : 0;
                cut += it->blocked && aborted ? 1 : 0;
                wronglyCut += !it->blocked && aborted ? 1 : 0;
                it = live.erase(it);
            }
            if (accepted.size() > 4000) {
                accepted.erase(accepted.begin(), accepted.begin() + 2000);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        state.counters["blocked"] = static_cast<double>(judged);
        state.counters["cut_pct"] = judged ? 100.0 * static_cast<double>(cut) / judged : 0;
        state.counters["unblocked_cut"] = static_cast<double>(wronglyCut);
    }
}
BENCHMARK(BM_Churn)->Args({2000, 20})->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

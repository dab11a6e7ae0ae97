// What the program costs beside the kernel guard, as it runs: the window program (its real Qt
// window, offscreen) against headless mode, in this process, over 9,000 idle connections. Cut
// latency in interleaved runs, CPU while nothing happens and under a churn of unblocked
// connections, and a burst of 10,000 connections a second after which no report is lost and the
// view shows the rows of a fresh dump. Then a window that may not cut (view only, no guard):
// its CPU hidden and shown while nothing changes, and how soon a new connection shows. Needs
// root; runs in a network namespace of its own.

#include "BenchDoubles.h"
#include "LiveMachine.h"
#include "core/Application.h"
#include "core/CutLog.h"
#include "core/qt/QtSettingsStore.h"
#include "engine/Engine.h"
#include "engine/linux/EventTcpTable.h"
#include "engine/linux/GuardedTable.h"
#include "engine/linux/KernelGuard.h"
#include "engine/linux/NetlinkTcpTable.h"
#include "engine/linux/SockDiag.h"
#include "manager/Manager.h"
#include "ui/qt/QtHost.h"
#include "ui/qt/QtMainWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace kt;
using namespace kt::bench;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kBlockedPort = 21001; // below ip_local_port_range
constexpr uint16_t kIdlePort = 21002;
constexpr uint16_t kLoadPort = 21010; // one per load process from here
constexpr int kIdleConnections = 9000;

// Processes that open and close connections (the client first, so that its side lingers in
// TIME_WAIT) at rate a second in all, from 127.0.0.2 to 127.0.0.9 so that ephemeral ports last.
class Load {
public:
    Load(double rate, int processes, std::chrono::seconds length) {
        for (int p = 0; p < processes; ++p) {
            int counted[2];
            if (::pipe(counted) != 0) {
                continue;
            }
            const pid_t child = ::fork();
            if (child == 0) {
                ::close(counted[0]);
                const uint64_t made = Run(p, rate / processes, length);
                (void)!::write(counted[1], &made, sizeof made);
                ::_exit(0);
            }
            ::close(counted[1]);
            children_.push_back({child, counted[0]});
        }
    }
    // Waits for the end; how many connections were made.
    uint64_t Made() {
        uint64_t total = 0;
        for (const auto& [child, counted] : children_) {
            uint64_t made = 0;
            if (::read(counted, &made, sizeof made) == sizeof made) {
                total += made;
            }
            ::close(counted);
            ::waitpid(child, nullptr, 0);
        }
        children_.clear();
        return total;
    }

private:
    static uint64_t Run(int process, double rate, std::chrono::seconds length) {
        const test::Socket listener =
            test::Listen("127.0.0.3", static_cast<uint16_t>(kLoadPort + process));
        sockaddr_in to{AF_INET,
                       htons(static_cast<uint16_t>(kLoadPort + process)),
                       {test::Ipv4("127.0.0.3")},
                       {}};
        const Clock::time_point start = Clock::now();
        uint64_t made = 0;
        while (Clock::now() - start < length) {
            std::this_thread::sleep_until(
                start + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(static_cast<double>(made) / rate)));
            const char from[] = {
                '1', '2', '7',
                '.', '0', '.',
                '0', '.', static_cast<char>('2' + (made + static_cast<uint64_t>(process)) % 8),
                '\0'};
            test::Socket client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            const int one = 1;
            ::setsockopt(client.Fd(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
            sockaddr_in local{AF_INET, 0, {test::Ipv4(from)}, {}};
            if (::bind(client.Fd(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
                ::connect(client.Fd(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
                continue;
            }
            const test::Socket server = test::Accept(listener);
            client = test::Socket();
            ++made;
        }
        return made;
    }
    std::vector<std::pair<pid_t, int>> children_;
};

// A box is answered at once: the loop it would hold up is what is measured.
class AnsweringHost : public QtHost {
public:
    using QtHost::QtHost;
    MessageAnswer ShowMessage(std::string_view, MessageButtons) override {
        return MessageAnswer::Ok;
    }
};

// The program as main() puts it together, over the kernel guard, blocking remote port 21001; or
// a window that may not cut, over the netlink table alone, as one started without the right.
struct Program {
    explicit Program(bool window, bool viewOnly = false)
        : host(folder.path(), window ? QStringLiteral("KorvanTessivo.lock")
                                     : QStringLiteral("KorvanTessivo-headless.lock")),
          store(RulesFile()), log(OpenCutLogFileIn(folder.path().toStdString(), whyNoLog)),
          table(viewOnly ? GuardedTable(GuardedTable::WithoutGuard{})
                         : GuardedTable({}, whyNot, GuardOptions())),
          app(MakePlatform(window, viewOnly)) {}

    QtSettingsStore::NamedFile RulesFile() {
        const QString path = folder.path() + "/rules.ini";
        QFile file(path);
        if (file.open(QIODevice::WriteOnly)) {
            file.write("[General]\nAllowedIPString=127.0.0.1\nBlockedLocalPortsString=\n"
                       "BlockedRemotePortsString=21001\n");
        }
        return {path.toStdString()};
    }
    KernelGuard::Options GuardOptions() {
        KernelGuard::Options options;
        options.onCut = [this](const CutRecord& record) { log.Record(record); };
        return options;
    }
    Platform MakePlatform(bool window, bool viewOnly) {
        Platform platform{host, store, table, windows, [] { return std::string("10.1.2.3 "); }};
        platform.Guard = viewOnly ? nullptr : &table;
        if (viewOnly) {
            platform.MissingRights = [] { return std::string("the program lacks CAP_NET_ADMIN"); };
        }
        platform.Headless = !window;
        platform.RecordCut = [this](const CutRecord& record) { log.Record(record); };
        return platform;
    }
    // Runs the main loop until work, on a thread of its own, is done.
    void RunWhile(const std::function<void()>& work) {
        std::thread worker([&] {
            work();
            QMetaObject::invokeMethod(
                qApp, [this] { app.QuitRequested = true; }, Qt::QueuedConnection);
        });
        app.MainLoop();
        worker.join();
    }
    // On the loop's own thread, between two of its ticks.
    void OnLoop(const std::function<void()>& work) {
        QMetaObject::invokeMethod(qApp, work, Qt::BlockingQueuedConnection);
    }

    QTemporaryDir folder;
    std::string whyNoLog;
    std::string whyNot;
    AnsweringHost host;
    QtSettingsStore store;
    CutLog log;
    GuardedTable table;
    QtMainWindowFactory windows{[] { return false; }};
    Application app;
};

bool Ready(benchmark::State& state, Program& program) {
    if (!program.whyNot.empty()) {
        state.SkipWithError(program.whyNot.c_str());
        return false;
    }
    if (!program.app.StartUp()) {
        state.SkipWithError("the program did not start");
        return false;
    }
    return true;
}

bool WaitForAbort(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 5000) == 1 && (p.revents & (POLLERR | POLLHUP | POLLIN)) != 0;
}

// The time from connect() returning on the blocked port to the client seeing its connection
// aborted; the runs of each mode are pooled as they come.
void BM_CutLatency(benchmark::State& state) {
    static std::map<bool, std::vector<double>> pooled;
    const bool window = state.range(0) != 0;
    const test::Socket blocked = test::Listen("127.0.0.3", kBlockedPort);
    Program program(window);
    if (!Ready(state, program)) {
        return;
    }
    std::vector<double> latencies;
    int missed = 0;
    for (auto _ : state) {
        program.RunWhile([&] {
            for (int i = 0; i < 1020; ++i) {
                test::Socket client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
                const sockaddr_in from{AF_INET, 0, {test::Ipv4("127.0.0.2")}, {}};
                const sockaddr_in to{AF_INET, htons(kBlockedPort), {test::Ipv4("127.0.0.3")}, {}};
                ::bind(client.Fd(), reinterpret_cast<const sockaddr*>(&from), sizeof from);
                const int connected =
                    ::connect(client.Fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
                const int error = connected == 0 ? 0 : errno;
                const Clock::time_point start = Clock::now();
                // Cut before connect() returned: no time at all.
                const bool cut = connected == 0 ? WaitForAbort(client.Fd())
                                                : error == ECONNABORTED || error == ECONNRESET;
                const double us =
                    std::chrono::duration<double, std::micro>(Clock::now() - start).count();
                const test::Socket accepted = test::Accept(blocked);
                if (!cut) {
                    ++missed;
                } else if (i >= 20) { // the first few warm the caches up
                    latencies.push_back(connected == 0 ? us : 0);
                }
            }
        });
    }
    program.app.Shutdown();
    std::vector<double>& all = pooled[window];
    all.insert(all.end(), latencies.begin(), latencies.end());
    state.counters["cuts"] = static_cast<double>(latencies.size());
    state.counters["not_cut_in_5s"] = missed;
    state.counters["median_us"] = Percentile(latencies, 0.5);
    state.counters["p99_us"] = Percentile(latencies, 0.99);
    state.counters["pooled_median_us"] = Percentile(all, 0.5);
    state.counters["pooled_p99_us"] = Percentile(all, 0.99);
}
BENCHMARK(BM_CutLatency)
    ->ArgNames({"window", "run"})
    ->Args({1, 1})
    ->Args({0, 1})
    ->Args({1, 2})
    ->Args({0, 2})
    ->Args({1, 3})
    ->Args({0, 3})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The CPU of the whole program, in per cent of one core, over seconds of the load given.
void BM_Cpu(benchmark::State& state) {
    const bool window = state.range(0) != 0;
    const double rate = static_cast<double>(state.range(1));
    const std::chrono::seconds length(state.range(2));
    Program program(window);
    if (!Ready(state, program)) {
        return;
    }
    double percent = 0;
    uint64_t made = 0;
    for (auto _ : state) {
        program.RunWhile([&] {
            std::this_thread::sleep_for(std::chrono::seconds(2)); // start-up settles
            const double before = ProcessCpuSeconds();
            if (rate > 0) {
                Load load(rate, 2, length);
                made = load.Made();
            } else {
                std::this_thread::sleep_for(length);
            }
            percent = (ProcessCpuSeconds() - before) / static_cast<double>(length.count()) * 100;
        });
    }
    program.app.Shutdown();
    state.counters["cpu_percent"] = percent;
    state.counters["rate"] = static_cast<double>(made) / static_cast<double>(length.count());
    state.counters["lost_reports"] = static_cast<double>(program.table.Guard()->LostChanges());
    state.counters["skipped_by_kernel"] =
        static_cast<double>(program.table.Guard()->SkippedChanges());
}
BENCHMARK(BM_Cpu)
    ->ArgNames({"window", "rate", "seconds"})
    ->Args({1, 0, 60})
    ->Args({0, 0, 60})
    ->Args({1, 2000, 20})
    ->Args({0, 2000, 20})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

double ThreadCpuMicroseconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// What the table's periodic dumps cost over the idle connections, in CPU of the reading thread
// (the kernel walks its tables in that thread's time): every read dumps, and each
// kWholeDumpEvery-th dump is a whole one.
void BM_Dumps(benchmark::State& state) {
    std::string whyNot;
    const auto guard = KernelGuard::Start({}, whyNot);
    const auto table =
        guard ? EventTcpTable::Open(*guard, whyNot, std::chrono::milliseconds(0)) : nullptr;
    if (!table) {
        state.SkipWithError(whyNot.c_str());
        return;
    }
    std::vector<double> unreported, whole;
    for (auto _ : state) {
        for (int i = 1; i <= 10 * EventTcpTable::kWholeDumpEvery; ++i) {
            const double before = ThreadCpuMicroseconds();
            benchmark::DoNotOptimize(table->Drain());
            (i % EventTcpTable::kWholeDumpEvery == 0 ? whole : unreported)
                .push_back(ThreadCpuMicroseconds() - before);
        }
    }
    const double w = Percentile(whole, 0.5);
    const double u = Percentile(unreported, 0.5);
    state.counters["whole_us"] = w;
    state.counters["unreported_us"] = u;
    // At the program's pace: one dump every reconcile interval.
    state.counters["cpu_percent_at_pace"] =
        (w + u * (EventTcpTable::kWholeDumpEvery - 1)) / EventTcpTable::kWholeDumpEvery /
        (std::chrono::duration<double, std::micro>(EventTcpTable::kReconcileInterval).count()) *
        100;
}
BENCHMARK(BM_Dumps)->Iterations(1)->Unit(benchmark::kMillisecond);

// The lines the view makes of these rows, every row shown.
std::vector<std::string> LinesOf(const std::vector<TcpRow>& rows) {
    class Fixed : public TcpTable {
    public:
        explicit Fixed(const std::vector<TcpRow>& rows) : rows_(rows) {}
        bool TakeSnapshot(std::vector<TcpRow>& out) override {
            out = rows_;
            return true;
        }
        bool DeleteConnection(const TcpRow&) override { return false; }

    private:
        const std::vector<TcpRow>& rows_;
    } table(rows);
    bench::NullStore store;
    bench::QuietHost host;
    Manager manager(store, nullptr);
    Engine engine(table, host, manager);
    engine.BuildStateNames();
    manager.oConnections = &engine;
    engine.PollConnections();
    std::vector<std::string> lines;
    for (int32_t i = 0; i < manager.oCurrentConnections.GetItemCount(); ++i) {
        lines.emplace_back(manager.oCurrentConnections.TextAt(i));
    }
    return lines;
}

// How far the view is from a fresh dump, on the loop's thread: lines only one of them has.
struct ViewCheck {
    size_t lines = 0;
    size_t differing = 0;
    bool listBoxShowsTheLines = false;
};
ViewCheck CheckView(Program& program) {
    ViewCheck check;
    program.OnLoop([&] {
        std::vector<std::string> shown, listed;
        const List& lines = program.app.AppManager->oCurrentConnections;
        for (int32_t i = 0; i < lines.GetItemCount(); ++i) {
            shown.emplace_back(lines.TextAt(i));
        }
        const QtMainWindow* window = program.windows.LastWindow();
        for (int32_t i = 0; i < window->ListRowCount(); ++i) {
            listed.push_back(window->ListRowText(i));
        }
        std::vector<TcpRow> rows;
        NetlinkTcpTable().TakeSnapshot(rows);
        std::vector<std::string> dumped = LinesOf(rows);
        check.lines = shown.size();
        check.listBoxShowsTheLines = listed == shown;
        std::sort(shown.begin(), shown.end());
        std::sort(dumped.begin(), dumped.end());
        std::vector<std::string> differ;
        std::set_symmetric_difference(shown.begin(), shown.end(), dumped.begin(), dumped.end(),
                                      std::back_inserter(differ));
        check.differing = differ.size();
    });
    return check;
}

// 10,000 connections a second for ten seconds: reports lost, and, the window's view against a
// fresh dump (every row shown) two seconds after the load, and again once the table's next
// dump has passed (TIME_WAIT sockets end, or give way to a new connection, unreported).
void BM_Burst(benchmark::State& state) {
    const bool window = state.range(0) != 0;
    // On a table without TIME_WAIT sockets of earlier loads, which end unreported.
    std::vector<TcpRow> lingering;
    for (int i = 0;
         i < 80 && NetlinkTcpTable().TakeSnapshotIn(lingering, 1u << sockdiag::LinuxTimeWait) &&
         !lingering.empty();
         ++i) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    Program program(window);
    if (!Ready(state, program)) {
        return;
    }
    if (window) {
        program.windows.LastWindow()->ShowConnectedBox()->click();
    }
    const KernelGuard& guard = *program.table.Guard();
    const uint64_t lostBefore = guard.LostChanges();
    const uint64_t skippedBefore = guard.SkippedChanges();
    uint64_t made = 0;
    ViewCheck soon, later;
    for (auto _ : state) {
        program.RunWhile([&] {
            Load load(10000, 4, std::chrono::seconds(10));
            made = load.Made();
            std::this_thread::sleep_for(std::chrono::seconds(2));
            if (window) {
                soon = CheckView(program);
                std::this_thread::sleep_for(EventTcpTable::kReconcileInterval);
                later = CheckView(program);
            }
        });
    }
    program.app.Shutdown();
    state.counters["rate"] = static_cast<double>(made) / 10;
    // Lost for want of room in the ring, and skipped by the kernel (then a dump follows).
    const uint64_t skipped = guard.SkippedChanges() - skippedBefore;
    state.counters["lost_in_ring"] =
        static_cast<double>(guard.LostChanges() - lostBefore - skipped);
    state.counters["skipped_by_kernel"] = static_cast<double>(skipped);
    if (window) {
        state.counters["view_lines"] = static_cast<double>(soon.lines);
        state.counters["list_box_is_the_lines"] =
            soon.listBoxShowsTheLines && later.listBoxShowsTheLines;
        state.counters["differing_after_2s"] = static_cast<double>(soon.differing);
        state.counters["differing_after_dump"] = static_cast<double>(later.differing);
    }
}
BENCHMARK(BM_Burst)
    ->ArgNames({"window"})
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// A window that may not cut, hidden or shown, while nothing changes: the CPU of the whole
// program over a minute; shown, how soon a new connection is a line of the list box (from
// connect() returning, ten in a row a few seconds apart).
void BM_ViewOnly(benchmark::State& state) {
    const bool shown = state.range(0) != 0;
    Program program(true, true);
    if (!program.app.StartUp()) {
        state.SkipWithError("the program did not start");
        return;
    }
    QtMainWindow& window = *program.windows.LastWindow();
    if (!shown) {
        window.Hide();
    }
    const test::Socket listener = test::Listen("127.0.0.3", kBlockedPort + 100);
    double percent = 0;
    std::vector<double> showsAfter;
    for (auto _ : state) {
        program.RunWhile([&] {
            std::this_thread::sleep_for(std::chrono::seconds(5)); // the start's spell passes
            const double before = ProcessCpuSeconds();
            std::this_thread::sleep_for(std::chrono::seconds(60));
            percent = (ProcessCpuSeconds() - before) / 60 * 100;
            for (int i = 0; shown && i < 10; ++i) {
                std::this_thread::sleep_for(std::chrono::seconds(4)); // still again
                const test::Socket client =
                    test::Connect("127.0.0.2", "127.0.0.3", kBlockedPort + 100);
                const Clock::time_point start = Clock::now();
                const test::Socket server = test::Accept(listener);
                const QString port = QString::number(client.LocalPort());
                for (bool seen = false; !seen && Clock::now() - start < std::chrono::seconds(5);) {
                    program.OnLoop([&] {
                        for (int32_t row = 0; row < window.ListRowCount() && !seen; ++row) {
                            seen = QString::fromStdString(window.ListRowText(row))
                                       .startsWith(port + u' ');
                        }
                    });
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                showsAfter.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            }
        });
    }
    program.app.Shutdown();
    state.counters["cpu_percent"] = percent;
    if (shown) {
        state.counters["shows_median_ms"] = Percentile(showsAfter, 0.5);
        state.counters["shows_max_ms"] = Percentile(showsAfter, 1.0);
    }
}
BENCHMARK(BM_ViewOnly)
    ->ArgNames({"shown"})
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return kt::bench::RunWithIdleConnections(argc, argv, kIdleConnections, kIdlePort);
}

// What the window costs as the face of the service, and how soon it shows and acts: the service
// (the built program, headless, with the kernel guard) in a process of its own, the window (its
// real Qt window, offscreen) in this one, 9,000 idle connections on the machine. CPU of the
// window while nothing happens; the time from a connection opening or closing to its line in the
// window's view; the time from adding a blocked port in the window to the cut of an open
// connection on it. Needs root; runs in a network namespace of its own.

#include "LiveMachine.h"
#include "core/Application.h"
#include "core/qt/QtSettingsStore.h"
#include "engine/RuleEditing.h"
#include "engine/linux/GuardedTable.h"
#include "manager/Manager.h"
#include "ui/qt/QtHost.h"
#include "ui/qt/QtMainWindow.h"
#include "ui/qt/ServiceFace.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace kt;
using namespace kt::bench;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kIdlePort = 21302;
constexpr uint16_t kViewPort = 21303;
constexpr uint16_t kRulePorts = 21310; // one per sample from here
constexpr int kIdleConnections = 9000;
constexpr int kSamples = 30;

// Of another process, from /proc.
double CpuSecondsOf(pid_t process) {
    QFile stat(QString("/proc/%1/stat").arg(process));
    if (!stat.open(QIODevice::ReadOnly)) {
        return 0;
    }
    // After the name in parentheses: state is field 3, utime and stime fields 14 and 15.
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? (fields[11].toDouble() + fields[12].toDouble()) /
                                    static_cast<double>(::sysconf(_SC_CLK_TCK))
                              : 0;
}

double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The service as the unit runs it, with files of its own; its log in the folder.
pid_t StartService(const QTemporaryDir& folder) {
    const QString rules = folder.path() + "/rules.ini";
    QFile file(rules);
    if (!file.open(QIODevice::WriteOnly)) {
        return -1;
    }
    file.write("[General]\nAllowedIPString=127.0.0.1\nBlockedLocalPortsString=\n"
               "BlockedRemotePortsString=\n");
    file.close();
    const QByteArray path = folder.path().toLocal8Bit();
    const QByteArray ini = rules.toLocal8Bit();
    const QByteArray socket = (folder.path() + "/control").toLocal8Bit();
    const QByteArray log = (folder.path() + "/service.log").toLocal8Bit();
    const pid_t child = ::fork();
    if (child == 0) {
        const int err = ::open(log.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(err, STDERR_FILENO);
        ::setenv("RUNTIME_DIRECTORY", path.constData(), 1);
        ::setenv("XDG_STATE_HOME", path.constData(), 1);
        ::execl(KT_PROGRAM, KT_PROGRAM, "--headless", "--config", ini.constData(), "--control",
                socket.constData(), "--control-group", "root", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 300 && LookForService(socket.toStdString()) != ServiceFound::Listening;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return child;
}

// The window program as main() puts it together when a service runs.
struct Face {
    explicit Face(const std::string& socket)
        : host(folder.path()),
          store(QtSettingsStore::NamedFile{(folder.path() + "/own.ini").toStdString()}),
          table(GuardedTable::WithoutGuard{}),
          app(Platform{host, store, table, windows, [] { return std::string("10.1.2.3 "); }}),
          face(app, socket, "root") {
        face.BecomeFace();
    }

    // The main loop itself, for this long.
    void RunFor(std::chrono::seconds length) {
        app.QuitRequested = false;
        QTimer::singleShot(length, [this] { app.QuitRequested = true; });
        app.MainLoop();
    }
    // As the loop runs, woken by the service's news, until done() holds or 5 s pass; when.
    Clock::time_point Until(const std::function<bool()>& done) {
        const Clock::time_point end = Clock::now() + std::chrono::seconds(5);
        while (!done() && Clock::now() < end) {
            host.WaitForWork(1, -1);
            app.Tick();
        }
        return Clock::now();
    }
    int32_t Lines() const { return windows.LastWindow()->ListRowCount(); }

    QTemporaryDir folder;
    QtHost host;
    QtSettingsStore store;
    GuardedTable table;
    QtMainWindowFactory windows{[] { return false; }};
    Application app;
    ServiceFace face;
};

// The service, and the window once asked for.
struct Machine {
    QTemporaryDir folder;
    pid_t service = StartService(folder);
    std::unique_ptr<Face> face;

    ~Machine() {
        face.reset();
        ::kill(service, SIGTERM);
        ::waitpid(service, nullptr, 0);
    }
    // The window, started and showing the service's whole table; nothing when it cannot.
    Face* Window(benchmark::State& state) {
        face = std::make_unique<Face>((folder.path() + "/control").toStdString());
        if (!face->app.StartUp()) {
            state.SkipWithError("the window did not start");
            return nullptr;
        }
        face->face.Start();
        for (int i = 0; i < 6 && face->Lines() < kIdleConnections * 2; ++i) {
            face->Until([&] { return face->Lines() >= kIdleConnections * 2; });
        }
        if (!face->app.IsFace() || face->Lines() < kIdleConnections * 2) {
            state.SkipWithError("the window did not become the service's face");
            return nullptr;
        }
        return face.get();
    }
};

// The window's own CPU while nothing happens on the machine.
void BM_FaceIdleCpu(benchmark::State& state) {
    Machine machine;
    Face* face = machine.Window(state);
    if (face == nullptr) {
        return;
    }
    for (auto _ : state) {
        if (state.range(1) != 0) { // hidden in the tray: the next table change stops the watch
            face->windows.LastWindow()->hide();
            face->app.AppManager->RefreshCurrentConnections();
        }
        const double cpu = ProcessCpuSeconds();
        const double service = CpuSecondsOf(machine.service);
        const Clock::time_point start = Clock::now();
        face->RunFor(std::chrono::seconds(state.range(0)));
        const double seconds = Milliseconds(Clock::now() - start) / 1000;
        state.counters["cpu_percent"] = 100 * (ProcessCpuSeconds() - cpu) / seconds;
        // The service looks at its table more often while the window watches it.
        state.counters["service_cpu_percent"] =
            100 * (CpuSecondsOf(machine.service) - service) / seconds;
    }
}
BENCHMARK(BM_FaceIdleCpu)
    ->ArgNames({"seconds", "hidden"})
    ->Args({60, 0})
    ->Args({60, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// From connect() returning, and from close(), to the view's lines showing it (both ends).
void BM_FaceViewChange(benchmark::State& state) {
    Machine machine;
    Face* face = machine.Window(state);
    if (face == nullptr) {
        return;
    }
    std::vector<double> opened, closed;
    for (auto _ : state) {
        const test::Socket listener = test::Listen("127.0.0.3", kViewPort);
        face->Until([&] { return face->Lines() == kIdleConnections * 2 + 1; });
        const int32_t before = face->Lines();
        std::minstd_rand random(7);
        // At any moment of the service's look interval, not just after a look.
        const auto pause = [&] {
            const Clock::time_point until = Clock::now() + std::chrono::milliseconds(random() % 40);
            face->Until([&] { return Clock::now() >= until; });
        };
        for (int i = 0; i < kSamples; ++i) {
            pause();
            Clock::time_point start = Clock::now();
            test::Socket client = test::Connect("127.0.0.2", "127.0.0.3", kViewPort);
            test::Socket server = test::Accept(listener);
            opened.push_back(
                Milliseconds(face->Until([&] { return face->Lines() == before + 2; }) - start));
            pause();
            start = Clock::now();
            test::Abort(client);
            test::Abort(server);
            client = test::Socket();
            server = test::Socket();
            closed.push_back(
                Milliseconds(face->Until([&] { return face->Lines() == before; }) - start));
        }
    }
    state.counters["open_median_ms"] = Percentile(opened, 0.5);
    state.counters["open_max_ms"] = Percentile(opened, 1);
    state.counters["close_median_ms"] = Percentile(closed, 0.5);
    state.counters["close_max_ms"] = Percentile(closed, 1);
}
BENCHMARK(BM_FaceViewChange)->Iterations(1)->Unit(benchmark::kMillisecond);

// From the Add in the window (a port typed into Blocked Local Ports) to the abort of an open
// connection on that port.
void BM_FaceRuleToCut(benchmark::State& state) {
    Machine machine;
    Face* face = machine.Window(state);
    if (face == nullptr) {
        return;
    }
    std::vector<double> samples;
    int missed = 0;
    for (auto _ : state) {
        face->app.AppManager->SetCurrentMode(Manager::BlockedLocalPortsMode);
        for (int i = 0; i < kSamples; ++i) {
            const auto port = static_cast<uint16_t>(kRulePorts + i);
            const test::Socket listener = test::Listen("127.0.0.3", port);
            const test::Socket client = test::Connect("127.0.0.2", "127.0.0.3", port);
            const test::Socket server = test::Accept(listener);
            const Clock::time_point start = Clock::now();
            AddRuleEntry(*face->app.AppManager, face->host, std::to_string(port));
            int error = 0; // read once: the reset is reported to one read alone
            const Clock::time_point cut =
                face->Until([&] { return (error = test::ConnectionError(client, 0)) != 0; });
            if (error == 0) {
                ++missed;
                continue;
            }
            samples.push_back(Milliseconds(cut - start));
        }
    }
    state.counters["median_ms"] = Percentile(samples, 0.5);
    state.counters["p90_ms"] = Percentile(samples, 0.9);
    state.counters["max_ms"] = Percentile(samples, 1);
    state.counters["missed"] = missed;
}
BENCHMARK(BM_FaceRuleToCut)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return kt::bench::RunWithIdleConnections(argc, argv, kIdleConnections, kIdlePort);
}

// What an edit of the rules costs the service: the built program, headless over the kernel guard,
// in a process of its own, its control socket spoken to line by line. One batch of 100 blocked
// ports against 100 single requests (the rules file's saves, the time until the last of 100 open
// connections is cut); and the median of 1,000 single adds with 100,000 allowed addresses against
// the same with 100. Needs root; runs in a network namespace of its own.

#include "LiveMachine.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

namespace {

using namespace kt::bench;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kIdlePort = 21502;
constexpr uint16_t kFirstPort = 21510; // 100 blocked ports from here
constexpr int kPorts = 100;
constexpr int kSingleAdds = 1000;

double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

QByteArray AllowedAddress(int i) {
    return "10." + QByteArray::number(100 + i / 65536) + '.' + QByteArray::number(i / 256 % 256) +
           '.' + QByteArray::number(i % 256);
}

// The service with files of its own; its log in the folder.
class Service {
public:
    // polling: without the rights to load the kernel guard, which then leaves the rules' cost
    // to the program alone.
    explicit Service(int allowed, bool polling = false) {
        QByteArray addresses = "127.0.0.1";
        for (int i = 1; i < allowed; ++i) {
            addresses += ',' + AllowedAddress(i);
        }
        QFile file(folder_.path() + "/rules.ini");
        if (file.open(QIODevice::WriteOnly)) {
            file.write("[General]\nAllowedIPString=" + addresses +
                       "\nBlockedLocalPortsString=\nBlockedRemotePortsString=\n");
            file.close();
        }
        renames_ = kt::test::Socket(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        ::inotify_add_watch(renames_.Fd(), folder_.path().toLocal8Bit().constData(),
                            IN_CREATE | IN_MOVED_TO);
        const QByteArray path = folder_.path().toLocal8Bit();
        const QByteArray ini = path + "/rules.ini";
        const QByteArray socket = path + "/control";
        const QByteArray log = path + "/service.log";
        pid_ = ::fork();
        if (pid_ == 0) {
            const int err = ::open(log.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(err, STDERR_FILENO);
            ::setenv("RUNTIME_DIRECTORY", path.constData(), 1);
            ::setenv("XDG_STATE_HOME", path.constData(), 1);
            if (polling) {
                ::execl("/usr/bin/setpriv", "setpriv", "--bounding-set=-bpf,-perfmon,-sys_admin",
                        "--", KT_PROGRAM, "--headless", "--config", ini.constData(), "--control",
                        socket.constData(), "--control-group", "root", static_cast<char*>(nullptr));
            }
            ::execl(KT_PROGRAM, KT_PROGRAM, "--headless", "--config", ini.constData(), "--control",
                    socket.constData(), "--control-group", "root", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 1200 && !control_.Valid(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            control_ = Dial(socket);
        }
        if (control_.Valid() && !ReadLine().contains("hello")) {
            control_ = {};
        }
    }
    ~Service() {
        if (pid_ > 0) {
            Stop(pid_);
        }
    }
    bool Ready() const { return control_.Valid(); }
    QByteArray Log() const {
        QFile log(folder_.path() + "/service.log");
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }

    // Sends one request and waits for its answer.
    QByteArray Ask(const QByteArray& request) {
        const QByteArray line = request + '\n';
        if (::send(control_.Fd(), line.constData(), static_cast<size_t>(line.size()),
                   MSG_NOSIGNAL) != line.size()) {
            return {};
        }
        return ReadLine();
    }
    // Renames over the rules file since last asked: its saves.
    int Saves() {
        int saves = 0;
        alignas(inotify_event) char events[4096];
        for (ssize_t n; (n = ::read(renames_.Fd(), events, sizeof events)) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                saves += (event->mask & IN_MOVED_TO) != 0 && event->len > 0 &&
                         std::strcmp(event->name, "rules.ini") == 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return saves;
    }

private:
    static kt::test::Socket Dial(const QByteArray& path) {
        kt::test::Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
        if (::connect(socket.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
            0) {
            return {};
        }
        return socket;
    }
    QByteArray ReadLine() {
        for (;;) {
            if (const qsizetype end = buffer_.indexOf('\n'); end >= 0) {
                const QByteArray line = buffer_.left(end);
                buffer_.remove(0, end + 1);
                return line;
            }
            pollfd wait{control_.Fd(), POLLIN, 0};
            char chunk[65536];
            ssize_t n = 0;
            if (::poll(&wait, 1, 30000) != 1 ||
                (n = ::recv(control_.Fd(), chunk, sizeof chunk, 0)) <= 0) {
                return {};
            }
            buffer_.append(chunk, n);
        }
    }

    QTemporaryDir folder_;
    kt::test::Socket renames_;
    kt::test::Socket control_;
    QByteArray buffer_;
    pid_t pid_ = -1;
};

QByteArray Edit(const char* op, const char* list, const QByteArray& entry) {
    return QByteArray(R"({"op":")") + op + R"(","list":")" + list + R"(","entry":")" + entry +
           "\"}";
}

// 100 blocked local ports, each with an open connection, in one batch (arg 1) or 100 requests:
// the time to the answer and to the last cut, and the saves.
void BM_HundredBlockedPorts(benchmark::State& state) {
    const bool batch = state.range(0) == 1;
    Service service(100);
    if (!service.Ready()) {
        state.SkipWithError(("the service did not start: " + service.Log()).constData());
        return;
    }
    std::vector<kt::test::Socket> listeners, clients, servers;
    for (int i = 0; i < kPorts; ++i) {
        const auto port = static_cast<uint16_t>(kFirstPort + i);
        listeners.push_back(kt::test::Listen("127.0.0.3", port));
        clients.push_back(kt::test::Connect("127.0.0.2", "127.0.0.3", port));
        servers.push_back(kt::test::Accept(listeners.back()));
    }
    service.Saves();
    double answered = 0, lastCut = 0;
    int uncut = 0;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        if (batch) {
            QByteArray edits;
            for (int i = 0; i < kPorts; ++i) {
                edits += (i > 0 ? "," : "") +
                         Edit("add", "blockedLocalPorts", QByteArray::number(kFirstPort + i));
            }
            service.Ask(R"({"cmd":"batch","edits":[)" + edits + "]}");
        } else {
            for (int i = 0; i < kPorts; ++i) {
                service.Ask(R"({"cmd":"add","list":"blockedLocalPorts","entry":")" +
                            QByteArray::number(kFirstPort + i) + "\"}");
            }
        }
        answered = Milliseconds(Clock::now() - start);
        // A reset is told to one read alone.
        const Clock::time_point end = Clock::now() + std::chrono::seconds(10);
        for (const kt::test::Socket& client : clients) {
            bool cut = false;
            while (!(cut = kt::test::ConnectionError(client, 0) != 0) && Clock::now() < end) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            uncut += !cut;
        }
        lastCut = Milliseconds(Clock::now() - start);
        std::this_thread::sleep_for(std::chrono::seconds(1)); // a save put off to the pause's end
    }
    state.counters["answered_ms"] = answered;
    state.counters["last_cut_ms"] = lastCut;
    state.counters["saves"] = service.Saves();
    state.counters["uncut"] = uncut;
}
BENCHMARK(BM_HundredBlockedPorts)->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kMillisecond);

// 1,000 allowed addresses added one request each, with the first arg's entries already there,
// over the kernel guard or (second arg 1) polling: the median and 90th percentile of an answer.
void BM_SingleAdds(benchmark::State& state) {
    const auto before = static_cast<int>(state.range(0));
    Service service(before, state.range(1) == 1);
    if (!service.Ready()) {
        state.SkipWithError(("the service did not start: " + service.Log()).constData());
        return;
    }
    std::vector<double> samples;
    for (auto _ : state) {
        for (int i = 0; i < kSingleAdds; ++i) {
            const Clock::time_point start = Clock::now();
            const QByteArray answer = service.Ask(R"({"cmd":"add","list":"allowed","entry":")" +
                                                  AllowedAddress(before + i) + "\"}");
            samples.push_back(Milliseconds(Clock::now() - start));
            if (!answer.contains("\"ok\":true")) {
                state.SkipWithError(answer.isEmpty() ? "no answer" : answer.constData());
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    state.counters["polling"] = service.Log().contains("could not load");
    state.counters["median_ms"] = Percentile(samples, 0.5);
    state.counters["p90_ms"] = Percentile(samples, 0.9);
    state.counters["saves"] = service.Saves();
}
BENCHMARK(BM_SingleAdds)
    ->Args({100, 0})
    ->Args({100000, 0})
    ->Args({100, 1})
    ->Args({100000, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return kt::bench::RunWithIdleConnections(argc, argv, 0, kIdlePort);
}

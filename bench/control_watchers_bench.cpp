// What watchers that never read cost the service: the built program headless, over the kernel
// guard or polling (started without the rights to load the guard, so that its loop is on the way
// of every cut), with 2,000 connections a second coming and going for 30 s, and a blocked
// connection tried every 100 ms, with no other connections or 9,000 idle ones (a large table).
// With and without 64 control clients that watch everything and read nothing (16 for each of
// four users, one of them root; a dropped one comes back at once):
// the growth of the service's resident memory, and the time from connect() to the blocked
// connection's end. Needs root; runs in a network namespace of its own.

#include "../tests/engine/linux/Loopback.h"
#include "LiveMachine.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>

namespace {

using namespace kt::bench;
using kt::test::Socket;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kChurnPort = 21500;
constexpr uint16_t kBlockedPort = 21501;
constexpr uint16_t kIdlePort = 21502;
constexpr int kChurnPerSecond = 2000;
constexpr auto kRun = std::chrono::seconds(30);
constexpr int kUsers = 4, kPerUser = 16;

int Dial(const char* path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

long RssKiB(pid_t pid) {
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QByteArray text = status.readAll();
    const qsizetype at = text.indexOf("VmRSS:");
    return text.mid(at + 6, text.indexOf('\n', at) - at - 6).trimmed().split(' ')[0].toLong();
}

// The service with files of its own, serving its control socket to root's group.
class Service {
public:
    Service() {
        ::chmod(qPrintable(folder_.path()), 0755);
        QFile ini(folder_.path() + "/rules.ini");
        if (ini.open(QIODevice::WriteOnly)) {
            ini.write("[General]\nAllowedIPString=127.0.0.1\nBlockedLocalPortsString=\n"
                      "BlockedRemotePortsString=" +
                      QByteArray::number(kBlockedPort) + "\n");
        }
    }
    ~Service() {
        if (pid_ > 0) {
            Stop(pid_);
        }
    }
    QByteArray Socket() const { return (folder_.path() + "/control").toLocal8Bit(); }
    pid_t Pid() const { return pid_; }

    bool Start(bool polling) {
        const QByteArray folder = folder_.path().toLocal8Bit();
        const QByteArray ini = folder + "/rules.ini", log = folder + "/service.log";
        const QByteArray control = Socket();
        const group* own = ::getgrgid(::getgid());
        const QByteArray name = own != nullptr ? own->gr_name : "root";
        pid_ = ::fork();
        if (pid_ == 0) {
            const int err = ::open(log.constData(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(err, STDERR_FILENO);
            for (const char* unset : {"INVOCATION_ID", "NOTIFY_SOCKET", "LISTEN_FDS", "LISTEN_PID",
                                      "WATCHDOG_USEC", "JOURNAL_STREAM"}) {
                ::unsetenv(unset);
            }
            ::setenv("RUNTIME_DIRECTORY", folder.constData(), 1);
            ::setenv("XDG_STATE_HOME", folder.constData(), 1);
            for (const int right : {CAP_SYS_ADMIN, CAP_BPF, CAP_PERFMON}) {
                if (polling) {
                    ::prctl(PR_CAPBSET_DROP, right, 0, 0, 0);
                }
            }
            ::execl(KT_PROGRAM, KT_PROGRAM, "--headless", "--config", ini.constData(), "--control",
                    control.constData(), "--control-group", name.constData(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (const auto end = Clock::now() + std::chrono::seconds(30); Clock::now() < end;) {
            if (const int fd = Dial(control.constData()); fd >= 0) {
                char hello[256];
                pollfd wait{fd, POLLIN, 0};
                const bool said = ::poll(&wait, 1, 5000) == 1 && ::recv(fd, hello, 256, 0) > 0;
                ::close(fd);
                if (said) {
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

private:
    QTemporaryDir folder_;
    pid_t pid_ = -1;
};

// A process of uid's holding perUser watchers that read nothing, each back as soon as it is
// dropped; before any thread starts, so it may allocate.
pid_t StartWatchers(uid_t uid, const QByteArray& path) {
    const pid_t child = ::fork();
    if (child != 0) {
        return child;
    }
    if (::setgroups(0, nullptr) != 0 || ::setgid(::getgid()) != 0 || ::setuid(uid) != 0) {
        ::_exit(1);
    }
    static constexpr char kWatch[] =
        "{\"cmd\":\"watch\",\"events\":[\"table\",\"cuts\",\"rules\"]}\n";
    pollfd fds[kPerUser];
    for (pollfd& p : fds) {
        p = {-1, POLLRDHUP, 0};
    }
    for (;;) {
        for (pollfd& p : fds) {
            if (p.fd < 0 && (p.fd = Dial(path.constData())) >= 0) {
                (void)!::send(p.fd, kWatch, sizeof kWatch - 1, MSG_NOSIGNAL);
            }
        }
        ::poll(fds, kPerUser, 100);
        for (pollfd& p : fds) {
            if (p.fd >= 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
                ::close(p.fd);
                p.fd = -1;
            }
        }
    }
}

void BM_ChurnBesideWatchers(benchmark::State& state) {
    const int watchers = static_cast<int>(state.range(0));
    const pid_t idle =
        state.range(1) > 0 ? StartIdle(static_cast<int>(state.range(1)), kIdlePort) : -1;
    for (auto _ : state) {
        Service service;
        if (!service.Start(state.range(2) != 0)) {
            state.SkipWithError("the service did not serve its socket within 30 s");
            return;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const long before = RssKiB(service.Pid());
        std::vector<pid_t> holders;
        for (int u = 0; u < kUsers && watchers > 0; ++u) {
            holders.push_back(
                StartWatchers(u == 0 ? 0 : 65534 - static_cast<uid_t>(u - 1), service.Socket()));
        }
        const Socket churnListener = kt::test::Listen("127.0.0.3", kChurnPort);
        const Socket blockedListener = kt::test::Listen("127.0.0.3", kBlockedPort);
        // A probe cut while connecting may never be there to accept.
        ::fcntl(blockedListener.Fd(), F_SETFL, O_NONBLOCK);
        std::atomic<bool> stop = false;
        std::atomic<int64_t> churned = 0;
        std::thread churn([&] {
            auto next = Clock::now();
            while (!stop) {
                Socket client = kt::test::Connect("127.0.0.2", "127.0.0.3", kChurnPort);
                Socket server = kt::test::Accept(churnListener);
                kt::test::Abort(client);
                ++churned;
                next += std::chrono::microseconds(1000000 / kChurnPerSecond);
                std::this_thread::sleep_until(next);
            }
        });
        std::vector<double> cuts;
        long peak = before;
        int missed = 0;
        const auto start = Clock::now();
        for (auto next = start; Clock::now() < start + kRun;) {
            const auto tried = Clock::now();
            const Socket probe = kt::test::Connect("127.0.0.2", "127.0.0.3", kBlockedPort);
            const Socket accepted = kt::test::Accept(blockedListener);
            if (kt::test::ConnectionError(probe, 5000) != 0) {
                cuts.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - tried).count());
            } else {
                ++missed;
            }
            peak = std::max(peak, RssKiB(service.Pid()));
            next += std::chrono::milliseconds(100);
            std::this_thread::sleep_until(next);
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        stop = true;
        churn.join();
        const long after = RssKiB(service.Pid());
        for (const pid_t holder : holders) {
            Stop(holder);
        }
        state.SetIterationTime(seconds);
        state.counters["rss_before_MiB"] = static_cast<double>(before) / 1024;
        state.counters["rss_peak_growth_MiB"] = static_cast<double>(peak - before) / 1024;
        state.counters["rss_end_growth_MiB"] = static_cast<double>(after - before) / 1024;
        state.counters["cut_median_ms"] = Percentile(cuts, 0.5);
        state.counters["cut_p90_ms"] = Percentile(cuts, 0.9);
        state.counters["cuts_missed"] = missed;
        state.counters["churn_per_s"] = static_cast<double>(churned) / seconds;
    }
    if (idle > 0) {
        Stop(idle);
    }
}
BENCHMARK(BM_ChurnBesideWatchers)
    ->ArgNames({"watchers", "idle", "polling"})
    ->ArgsProduct({{0, kUsers* kPerUser}, {0, 9000}, {0, 1}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    if (::geteuid() != 0) {
        std::fprintf(stderr, "needs root: runs in a network namespace of its own\n");
        return 1;
    }
    if (const std::string why = kt::test::EnterOwnNetworkNamespace(); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    kt::test::RaiseFileLimit(40000);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

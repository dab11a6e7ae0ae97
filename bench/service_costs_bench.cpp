// What the service costs systemd: the time from its start to READY=1 with 1,000 allowed
// addresses, and from SIGTERM to its end, the built program headless over the kernel guard with
// 9,000 idle connections on the machine. Needs root; runs in a network namespace of its own.

#include "LiveMachine.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace {

using namespace kt::bench;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kIdlePort = 21402;
constexpr int kIdleConnections = 9000;
constexpr int kAllowed = 1000;

// The service with its own files and its own notification socket, as systemd starts it.
class Service {
public:
    Service() : notify_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        QByteArray addresses = "127.0.0.1";
        for (int i = 1; i < kAllowed; ++i) {
            addresses +=
                ",10.1." + QByteArray::number(i / 250) + '.' + QByteArray::number(i % 250 + 1);
        }
        QFile file(folder_.path() + "/rules.ini");
        if (file.open(QIODevice::WriteOnly)) {
            file.write("[General]\nAllowedIPString=" + addresses +
                       "\nBlockedLocalPortsString=\nBlockedRemotePortsString=21401\n");
        }
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray path = (folder_.path() + "/notify").toLocal8Bit();
        std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
        ::bind(notify_.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    ~Service() {
        if (pid_ > 0) {
            Stop(pid_);
        }
    }

    // Starts it and waits for READY=1: how long it took, or a negative time.
    Clock::duration Start() {
        const QByteArray folder = folder_.path().toLocal8Bit();
        const QByteArray ini = folder + "/rules.ini";
        const QByteArray notify = "NOTIFY_SOCKET=" + folder + "/notify";
        const QByteArray log = folder + "/service.log";
        const Clock::time_point start = Clock::now();
        pid_ = ::fork();
        if (pid_ == 0) {
            const int err = ::open(log.constData(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(err, STDERR_FILENO);
            ::setenv("RUNTIME_DIRECTORY", folder.constData(), 1);
            ::setenv("XDG_STATE_HOME", folder.constData(), 1);
            ::putenv(const_cast<char*>(notify.constData()));
            ::execl(KT_PROGRAM, KT_PROGRAM, "--headless", "--config", ini.constData(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        char said[4096];
        for (const Clock::time_point end = start + std::chrono::seconds(30); Clock::now() < end;) {
            pollfd wait{notify_.Fd(), POLLIN, 0};
            if (::poll(&wait, 1, 100) == 1) {
                const ssize_t n = ::recv(notify_.Fd(), said, sizeof said, 0);
                if (n == 7 && std::memcmp(said, "READY=1", 7) == 0) {
                    return Clock::now() - start;
                }
            }
        }
        return Clock::duration(-1);
    }
    // SIGTERM, and how long until it has ended.
    Clock::duration Terminate() {
        const Clock::time_point start = Clock::now();
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? Clock::now() - start
                                                             : Clock::duration(-1);
    }

private:
    QTemporaryDir folder_;
    kt::test::Socket notify_;
    pid_t pid_ = -1;
};

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// From fork() to READY=1: the program loads, reads 1,000 allowed addresses, loads the kernel
// guard with them and its first pass over the table.
void BM_StartToReady(benchmark::State& state) {
    for (auto _ : state) {
        Service service;
        const Clock::duration took = service.Start();
        if (took < Clock::duration::zero()) {
            state.SkipWithError("no READY=1 within 30 s");
            return;
        }
        state.SetIterationTime(Seconds(took));
        service.Terminate();
    }
}
BENCHMARK(BM_StartToReady)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

void BM_SigtermToExit(benchmark::State& state) {
    for (auto _ : state) {
        Service service;
        if (service.Start() < Clock::duration::zero()) {
            state.SkipWithError("no READY=1 within 30 s");
            return;
        }
        const Clock::duration took = service.Terminate();
        if (took < Clock::duration::zero()) {
            state.SkipWithError("it did not end with status 0");
            return;
        }
        state.SetIterationTime(Seconds(took));
    }
}
BENCHMARK(BM_SigtermToExit)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return RunWithIdleConnections(argc, argv, kIdleConnections, kIdlePort);
}

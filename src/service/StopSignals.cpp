#include "service/StopSignals.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kt {

namespace {

// A signal handler can reach nothing but a global: the write end of the pipe, -1 when none.
std::atomic<int> stopPipe{-1};

constexpr char kStop = 1;
constexpr char kHangUp = 2;

extern "C" void OnStopSignal(int signal) {
    const int saved = errno;
    const int fd = stopPipe.load();
    if (fd >= 0) {
        const char byte = signal == SIGHUP ? kHangUp : kStop;
        // A full pipe already holds a pending stop.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
        if (byte == kStop) {
            // Whatever the way out waits on (a save behind a lock, a slow disk), the process ends.
            ::alarm(StopSignals::kDeadlineSeconds);
        }
    }
    errno = saved;
}

extern "C" void OnStopDeadline(int) {
    static const char said[] = "Korvan Tessivo: stopped before it could finish saving\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, said, sizeof said - 1);
    ::_exit(1);
}

} // namespace

struct StopSignals::Handlers {
    struct sigaction term {};
    struct sigaction interrupt {};
    struct sigaction hangUp {};
    struct sigaction alarm {};
};

StopSignals::StopSignals(std::function<void()> onStop, std::function<void()> onHangUp,
                         Deadline keep)
    : onStop_(std::move(onStop)), onHangUp_(std::move(onHangUp)), deadline_(keep) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    readFd_ = fds[0];
    writeFd_ = fds[1];
    int expected = -1;
    if (!stopPipe.compare_exchange_strong(expected, writeFd_)) {
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(readFd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] {
        char buffer[64];
        bool stop = false;
        bool hangUp = false;
        for (ssize_t n = 0; (n = ::read(readFd_, buffer, sizeof buffer)) > 0;) {
            for (ssize_t i = 0; i < n; ++i) {
                (buffer[i] == kHangUp ? hangUp : stop) = true;
            }
        }
        if (hangUp && onHangUp_) {
            onHangUp_();
        }
        if (stop && onStop_) {
            onStop_();
        }
    });

    previous_ = std::make_unique<Handlers>();
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, &previous_->term);
    ::sigaction(SIGINT, &action, &previous_->interrupt);
    if (onHangUp_) {
        ::sigaction(SIGHUP, &action, &previous_->hangUp);
    }
    struct sigaction deadline {};
    deadline.sa_handler = OnStopDeadline;
    sigemptyset(&deadline.sa_mask);
    ::sigaction(SIGALRM, &deadline, &previous_->alarm);
    active_ = true;
}

StopSignals::~StopSignals() {
    if (active_) {
        const unsigned left = ::alarm(0);
        if (left > 0 && deadline_ == Deadline::UntilExit) {
            ::alarm(left);
        } else {
            ::sigaction(SIGALRM, &previous_->alarm, nullptr);
        }
        ::sigaction(SIGTERM, &previous_->term, nullptr);
        ::sigaction(SIGINT, &previous_->interrupt, nullptr);
        if (onHangUp_) {
            ::sigaction(SIGHUP, &previous_->hangUp, nullptr);
        }
        stopPipe.store(-1);
    }
    notifier_.reset();
    if (readFd_ >= 0) {
        ::close(readFd_);
    }
    if (writeFd_ >= 0) {
        ::close(writeFd_);
    }
}

} // namespace kt

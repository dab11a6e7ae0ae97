#include "ui/qt/StopSignals.h"

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

extern "C" void OnStopSignal(int) {
    const int saved = errno;
    const int fd = stopPipe.load();
    if (fd >= 0) {
        const char byte = 1;
        // A full pipe already holds a pending stop.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = saved;
}

} // namespace

struct StopSignals::Handlers {
    struct sigaction term {};
    struct sigaction interrupt {};
};

StopSignals::StopSignals(std::function<void()> onStop) : onStop_(std::move(onStop)) {
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
        while (::read(readFd_, buffer, sizeof buffer) > 0) {
        }
        if (onStop_) {
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
    active_ = true;
}

StopSignals::~StopSignals() {
    if (active_) {
        ::sigaction(SIGTERM, &previous_->term, nullptr);
        ::sigaction(SIGINT, &previous_->interrupt, nullptr);
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

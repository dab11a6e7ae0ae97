#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace kt {

// Turns SIGTERM and SIGINT (and, when asked, SIGHUP) into a call on the UI thread, so that a
// program stopped from outside closes its window the usual way (and saves its settings). The
// handler only writes a byte into a pipe; the pipe's reader runs onStop from the event loop.
// Restores the previous handlers when destroyed. One at a time per process. A stop that has not
// ended the process within kDeadlineSeconds ends it there, so that nothing on the way out can keep
// it running.
class StopSignals {
public:
    static constexpr unsigned kDeadlineSeconds = 2;

    // Whether a stop's deadline still holds once this is destroyed: a program that ends by
    // destroying its owners keeps it until the process has ended.
    enum class Deadline { WhileAlive, UntilExit };

    // With onHangUp, SIGHUP calls it instead of ending the process.
    explicit StopSignals(std::function<void()> onStop, std::function<void()> onHangUp = {},
                         Deadline deadline = Deadline::WhileAlive);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // False when the pipe or the handlers could not be set up; the signals then end the process
    // as they would anyway.
    bool Active() const { return active_; }

private:
    struct Handlers;
    std::function<void()> onStop_;
    std::function<void()> onHangUp_;
    int readFd_ = -1;
    int writeFd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::unique_ptr<Handlers> previous_;
    bool active_ = false;
    Deadline deadline_;
};

} // namespace kt

#pragma once

#include <QTimer>

#include <chrono>
#include <functional>

namespace kt {

// A write of a whole file whose cost grows with what it holds: a change that comes alone is
// written at once; changes that follow within the pause are written together once it is over,
// so that a burst of them costs one write a pause, not one each.
class PacedWrite {
public:
    using Clock = std::chrono::steady_clock;

    PacedWrite(std::chrono::milliseconds pause, std::function<void()> write);
    // A change waiting is written before the writer goes.
    ~PacedWrite();
    PacedWrite(const PacedWrite&) = delete;
    PacedWrite& operator=(const PacedWrite&) = delete;

    // Something changed; true when it was written now.
    bool Changed();
    // A change waiting is written now.
    void Flush();
    // A change waiting is not written: what it would have written is no longer wanted.
    void Cancel();
    bool Waiting() const { return waiting_; }

private:
    void Write();

    std::chrono::milliseconds pause_;
    std::function<void()> write_;
    QTimer later_;
    Clock::time_point last_{};
    bool waiting_ = false;
};

} // namespace kt

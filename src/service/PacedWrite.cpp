#include "service/PacedWrite.h"

namespace kt {

PacedWrite::PacedWrite(std::chrono::milliseconds pause, std::function<void()> write)
    : pause_(pause), write_(std::move(write)) {
    later_.setSingleShot(true);
    QObject::connect(&later_, &QTimer::timeout, [this] { Write(); });
}

PacedWrite::~PacedWrite() {
    Flush();
}

void PacedWrite::Flush() {
    if (waiting_) {
        Write();
    }
}

void PacedWrite::Cancel() {
    waiting_ = false;
    later_.stop();
}

bool PacedWrite::Changed() {
    const Clock::time_point now = Clock::now();
    if (!waiting_ && now - last_ >= pause_) {
        Write();
        return true;
    }
    if (!waiting_) {
        waiting_ = true;
        later_.start(std::chrono::duration_cast<std::chrono::milliseconds>(last_ + pause_ - now));
    }
    return false;
}

void PacedWrite::Write() {
    waiting_ = false;
    later_.stop();
    last_ = Clock::now();
    write_();
}

} // namespace kt

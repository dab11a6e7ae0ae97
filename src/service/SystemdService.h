#pragma once

// What the service tells systemd when systemd runs it: that it is ready, what it guards by, that
// it reloads or stops, that it still answers; and each cut as a journal entry of its own.

#include "engine/CutRecord.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace kt {

// Nothing is sent unless systemd gave this process a notification socket.
class ServiceNotifier {
public:
    ServiceNotifier();
    bool Active() const { return active_; }
    void Ready();
    void Reloading();
    // Sent when it differs from the last one sent, at most once a second: a later call with the
    // same text sends one held back.
    void Status(const std::string& text);
    void Stopping();
    // Half the interval systemd expects to hear WATCHDOG=1 in; zero when it expects nothing.
    std::chrono::milliseconds WatchdogBeat() const { return beat_; }
    void Alive();

private:
    void Send(const std::string& state);
    bool active_ = false;
    std::chrono::milliseconds beat_{0};
    std::string status_;
    std::chrono::steady_clock::time_point statusSent_{};
};

// Whether the cuts go to the journal: systemd started the process, or its standard error is the
// stream systemd connected to the journal.
bool UnderJournal();

// Cuts as structured journal entries, at most kPerSecond a second; the rest are counted in one
// entry a second. Any thread.
class JournalCuts {
public:
    static constexpr int kPerSecond = 100;
    using Clock = std::chrono::steady_clock;

    JournalCuts() = default;
    // Sends the count still unsaid.
    ~JournalCuts();
    JournalCuts(const JournalCuts&) = delete;
    JournalCuts& operator=(const JournalCuts&) = delete;

    void Send(const CutRecord& record, std::string_view line);
    // The count of the entries left out in a second that is over; call it about once a second.
    void Flush();

private:
    // Starts a new second once the last is over, or at once when forced.
    void Roll(Clock::time_point now, bool force = false);
    std::mutex lock_;
    Clock::time_point second_{};
    int sent_ = 0;
    uint64_t leftOut_ = 0;
};

} // namespace kt

#pragma once

// The cut log: one line of text for every cut and for the first refusal of each connection,
// written by a thread of its own so that whoever cuts never waits for a disk.

#include "engine/CutRecord.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace kt {

// "2026-12-08T03:15:02.123Z cut 127.0.0.2:21001 -> 127.0.0.3:40000 (blocked local port 21001)";
// an IPv6 address is written in brackets ("[2001:db8::1]:443"); a refusal says "refused" and ends
// in ": <reason>". No newline.
std::string FormatCutLine(const CutRecord& record);
// The connection and the rule alone: "127.0.0.2:21001 -> 127.0.0.3:40000 (blocked local port
// 21001)".
std::string ConnectionText(const CutRecord& record);

// Cuts made on one thread (the kernel guard's) for another (the window's) to count: how many
// since it last looked, and the latest.
class CutMailbox {
public:
    // Any thread; holds the lock for a copy of a few numbers only.
    void Post(const CutRecord& record) noexcept;
    // How many were posted since the last call; latest gets the last of them.
    uint64_t Take(CutRecord& latest);

private:
    std::mutex lock_;
    uint64_t count_ = 0;
    CutRecord latest_;
};

// A file that takes whole lines and stays below a size: when a line would pass it, the file
// becomes the one older file (<name>.1, replacing the one before) and a fresh one is started.
class LogFile {
public:
    virtual ~LogFile();
    // Appends line and a newline, whole or not at all; false when it could not (LastError says
    // why). A later call tries again.
    virtual bool Append(std::string_view line) = 0;
    virtual std::string LastError() const = 0;
};

constexpr uint64_t DefaultCutLogCap = uint64_t{1} << 20;

// cuts.log in the platform's folder for the program's state, which is created when missing:
// Linux: $STATE_DIRECTORY (a service's), else $XDG_STATE_HOME/KorvanTessivo, else
// ~/.local/state/KorvanTessivo; Windows: %LOCALAPPDATA%\KorvanTessivo. Null, and whyNot set,
// when the folder or the file cannot be used safely. Implemented once per platform.
std::unique_ptr<LogFile> OpenCutLogFile(std::string& whyNot, uint64_t capBytes = DefaultCutLogCap);
// The same in a given folder (UTF-8 path), created when missing.
std::unique_ptr<LogFile> OpenCutLogFileIn(const std::string& folder, std::string& whyNot,
                                          uint64_t capBytes = DefaultCutLogCap);

class CutLog {
public:
    using Sink = std::function<void(std::string_view)>;
    // A line and the record it tells of; null for a line that tells of none (lines dropped).
    using RecordSink = std::function<void(std::string_view, const CutRecord*)>;

    // file may be null: then lines only go to echo. echo gets every line written (without its
    // newline); onFailure is told, from the writer thread, when appends to the file start failing
    // ("cut log: <why>"), once until an append works again. Lines that fail are not retried but
    // counted, and the file gets the count before the next line it takes.
    // Each record is stamped with clock when it is queued, so that lines are in time order.
    using Clock = std::chrono::system_clock::time_point (*)();
    explicit CutLog(std::unique_ptr<LogFile> file, Sink echo = {}, Sink onFailure = {},
                    size_t capacity = 4096, Clock clock = std::chrono::system_clock::now);
    // echo gets each record with its line, for an echo that keeps the fields apart.
    CutLog(std::unique_ptr<LogFile> file, RecordSink echo, Sink onFailure, size_t capacity);
    // Writes what is still queued, for a second at most, then stops the writer.
    ~CutLog();
    CutLog(const CutLog&) = delete;
    CutLog& operator=(const CutLog&) = delete;

    // Any thread; never waits for the file. When capacity records are already waiting the record
    // is dropped, and a line after the ones waiting says how many were.
    void Record(const CutRecord& record) noexcept;

private:
    void Write();
    // standsFor: how many lines the file loses when it cannot take this one.
    void Put(const std::string& line, uint64_t standsFor = 1, const CutRecord* record = nullptr);

    const std::unique_ptr<LogFile> File;
    const RecordSink Echo;
    const Sink OnFailure;
    const size_t Capacity;
    const Clock Now;
    bool Failing = false;     // writer thread only
    uint64_t FileDropped = 0; // writer thread only: lines the file could not take, still unsaid

    std::mutex Lock;
    std::condition_variable Wake;
    std::deque<CutRecord> Waiting;
    uint64_t Dropped = 0;
    bool Stopping = false;
    // When the writer gives up on what is still waiting; read between lines without the lock.
    std::atomic<std::chrono::steady_clock::time_point> StopBy{
        std::chrono::steady_clock::time_point::max()};

    std::thread Writer; // last: starts once everything above exists
};

} // namespace kt

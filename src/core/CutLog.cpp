#include "core/CutLog.h"

#include "net/AddressText.h"

#include <cstdio>
#include <exception>
#include <new>
#include <utility>

namespace kt {
namespace {

using namespace std::chrono;

// What the destructor waits for the writer to empty the queue.
constexpr auto DrainTime = seconds(1);

std::string DroppedLine(uint64_t count) {
    return "... " + std::to_string(count) + " cut log lines dropped";
}

// ISO 8601 in UTC to the millisecond, by the calendar of <chrono>: no gmtime and its shared
// buffer.
std::string UtcText(system_clock::time_point when) {
    const auto instant = floor<milliseconds>(when);
    const auto day = floor<days>(instant);
    const year_month_day date(day);
    const hh_mm_ss time(instant - day);
    char text[48] = {};
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

std::string Endpoint(bool ipv6, uint32_t address, const Address6& address6, uint16_t port) {
    std::string text;
    AppendHost(text, ipv6 ? AddressToText(address6) : AddressToText(address));
    return text + ':' + std::to_string(port);
}

} // namespace

std::string ConnectionText(const CutRecord& record) {
    const bool local = record.Matched == CutRecord::Rule::BlockedLocalPort;
    return Endpoint(record.IPv6, record.LocalAddress, record.LocalAddress6, record.LocalPort) +
           " -> " +
           Endpoint(record.IPv6, record.RemoteAddress, record.RemoteAddress6, record.RemotePort) +
           " (blocked " + (local ? "local port " : "remote port ") +
           std::to_string(local ? record.LocalPort : record.RemotePort) + ')';
}

std::string FormatCutLine(const CutRecord& record) {
    std::string line =
        UtcText(record.When) + (record.Refused ? " refused " : " cut ") + ConnectionText(record);
    if (record.Refused && !record.Reason.empty()) {
        // One record, one line, whatever the reason's text holds.
        line += ": ";
        for (const char c : record.Reason) {
            line += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
        }
    }
    return line;
}

LogFile::~LogFile() = default;

CutLog::CutLog(std::unique_ptr<LogFile> file, Sink echo, Sink onFailure, size_t capacity,
               Clock clock)
    : File(std::move(file)),
      Echo(echo ? RecordSink([echo](std::string_view line, const CutRecord*) { echo(line); })
                : RecordSink()),
      OnFailure(std::move(onFailure)), Capacity(capacity), Now(clock), Writer([this] { Write(); }) {
}

CutLog::CutLog(std::unique_ptr<LogFile> file, RecordSink echo, Sink onFailure, size_t capacity)
    : File(std::move(file)), Echo(std::move(echo)), OnFailure(std::move(onFailure)),
      Capacity(capacity), Now(std::chrono::system_clock::now), Writer([this] { Write(); }) {}

CutLog::~CutLog() {
    {
        const std::lock_guard guard(Lock);
        Stopping = true;
        StopBy = steady_clock::now() + DrainTime;
    }
    Wake.notify_one();
    Writer.join();
}

void CutLog::Record(const CutRecord& record) noexcept {
    {
        const std::lock_guard guard(Lock);
        try {
            if (Waiting.size() >= Capacity) {
                ++Dropped;
                return;
            }
            Waiting.push_back(record);
            // Stamped in the order the lines are written, whichever thread stamped first.
            Waiting.back().When = Now();
        } catch (const std::bad_alloc&) {
            ++Dropped;
            return;
        }
    }
    Wake.notify_one();
}

void CutLog::Write() {
    std::unique_lock lock(Lock);
    for (;;) {
        Wake.wait(lock, [this] { return Stopping || !Waiting.empty(); });
        if (Waiting.empty()) {
            return;
        }
        std::deque<CutRecord> batch;
        batch.swap(Waiting);
        const uint64_t dropped = std::exchange(Dropped, 0);
        lock.unlock();
        // A line that cannot be made or passed on is lost; the writer goes on with the next.
        const auto put = [this](const auto& make, uint64_t standsFor = 1,
                                const CutRecord* record = nullptr) {
            try {
                Put(make(), standsFor, record);
            } catch (const std::exception&) {
            }
        };
        for (const CutRecord& record : batch) {
            if (steady_clock::now() >= StopBy.load()) {
                return;
            }
            put([&] { return FormatCutLine(record); }, 1, &record);
        }
        // The records dropped came after every one of the batch.
        if (dropped != 0) {
            put([&] { return DroppedLine(dropped); }, dropped);
        }
        lock.lock();
    }
}

void CutLog::Put(const std::string& line, uint64_t standsFor, const CutRecord* record) {
    if (File != nullptr) {
        // What the file lost (a full disk) goes in with the first line it takes again, as one
        // append: both whole, or neither.
        if (File->Append(FileDropped == 0 ? line : DroppedLine(FileDropped) + '\n' + line)) {
            FileDropped = 0;
            Failing = false;
        } else {
            FileDropped += standsFor;
            if (!std::exchange(Failing, true) && OnFailure) {
                OnFailure("cut log: " + File->LastError());
            }
        }
    }
    if (Echo) {
        Echo(line, record);
    }
}

void CutMailbox::Post(const CutRecord& record) noexcept {
    const std::lock_guard guard(lock_);
    ++count_;
    latest_.When = record.When; // all but the reason, which a cut has none of: nothing allocates
    latest_.LocalAddress = record.LocalAddress;
    latest_.LocalPort = record.LocalPort;
    latest_.RemoteAddress = record.RemoteAddress;
    latest_.RemotePort = record.RemotePort;
    latest_.IPv6 = record.IPv6;
    latest_.LocalAddress6 = record.LocalAddress6;
    latest_.RemoteAddress6 = record.RemoteAddress6;
    latest_.Matched = record.Matched;
}

uint64_t CutMailbox::Take(CutRecord& latest) {
    const std::lock_guard guard(lock_);
    latest = latest_;
    return std::exchange(count_, 0);
}

} // namespace kt

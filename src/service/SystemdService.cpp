#include "service/SystemdService.h"

#include "net/AddressText.h"

#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace kt {
namespace {

// The project's own identifiers of its journal entries: a cut, and a cut the system refused.
constexpr const char* kCutId = "MESSAGE_ID=5f6f47305c634897b088ff2b7af999f1";
constexpr const char* kRefusedId = "MESSAGE_ID=86b4032353b24954ae78f753cdb7bdca";

bool Set(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

std::string Address(const CutRecord& record, bool local) {
    return record.IPv6 ? AddressToText(local ? record.LocalAddress6 : record.RemoteAddress6)
                       : AddressToText(local ? record.LocalAddress : record.RemoteAddress);
}

} // namespace

ServiceNotifier::ServiceNotifier() : active_(Set("NOTIFY_SOCKET")) {
    uint64_t usec = 0;
    if (active_ && ::sd_watchdog_enabled(0, &usec) > 0) {
        beat_ = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::microseconds(usec / 2));
    }
}

void ServiceNotifier::Send(const std::string& state) {
    if (active_) {
        ::sd_notify(0, state.c_str());
    }
}

void ServiceNotifier::Ready() {
    Send("READY=1");
}

void ServiceNotifier::Reloading() {
    Send("RELOADING=1");
}

void ServiceNotifier::Status(const std::string& text) {
    const auto now = std::chrono::steady_clock::now();
    if (text != status_ && now - statusSent_ >= std::chrono::seconds(1)) {
        status_ = text;
        statusSent_ = now;
        Send("STATUS=" + text);
    }
}

void ServiceNotifier::Stopping() {
    Send("STOPPING=1");
}

void ServiceNotifier::Alive() {
    Send("WATCHDOG=1");
}

bool UnderJournal() {
    if (Set("INVOCATION_ID")) {
        return true;
    }
    // Inherited by whatever a service starts: only standard error itself counts.
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat info {};
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           ::fstat(STDERR_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

JournalCuts::~JournalCuts() {
    Roll(Clock::now(), true);
}

void JournalCuts::Roll(Clock::time_point now, bool force) {
    if (!force && now - second_ < std::chrono::seconds(1)) {
        return;
    }
    if (leftOut_ != 0) {
        ::sd_journal_send("MESSAGE=%llu more cuts in the last second",
                          static_cast<unsigned long long>(leftOut_), kCutId, "PRIORITY=5",
                          "KT_LEFT_OUT=%llu", static_cast<unsigned long long>(leftOut_), nullptr);
    }
    second_ = now;
    sent_ = 0;
    leftOut_ = 0;
}

void JournalCuts::Send(const CutRecord& record, std::string_view line) {
    const std::lock_guard guard(lock_);
    Roll(Clock::now());
    if (sent_ >= kPerSecond) {
        ++leftOut_;
        return;
    }
    ++sent_;
    const bool local = record.Matched == CutRecord::Rule::BlockedLocalPort;
    const std::string rule = std::string(local ? "blocked local port " : "blocked remote port ") +
                             std::to_string(local ? record.LocalPort : record.RemotePort);
    const std::string message(line);
    ::sd_journal_send("MESSAGE=%s", message.c_str(), record.Refused ? kRefusedId : kCutId,
                      record.Refused ? "PRIORITY=4" : "PRIORITY=5", "KT_LOCAL_ADDRESS=%s",
                      Address(record, true).c_str(), "KT_LOCAL_PORT=%u",
                      static_cast<unsigned>(record.LocalPort), "KT_REMOTE_ADDRESS=%s",
                      Address(record, false).c_str(), "KT_REMOTE_PORT=%u",
                      static_cast<unsigned>(record.RemotePort), "KT_RULE=%s", rule.c_str(),
                      "KT_REASON=%s", record.Reason.c_str(), nullptr);
}

void JournalCuts::Flush() {
    const std::lock_guard guard(lock_);
    Roll(Clock::now());
}

} // namespace kt

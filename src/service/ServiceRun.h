#pragma once

// The headless program's run as a service: its rules file watched and reloaded, the set in force
// kept as the last applied one, its control socket served, and systemd told of its readiness, its
// status, its reloads and that it still answers.

#include "core/linux/UniqueFd.h"
#include "service/ControlServer.h"
#include "service/LastRules.h"
#include "service/PacedWrite.h"
#include "service/RulesWatcher.h"
#include "service/SystemdService.h"

#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace kt {

class Application;
class GuardedTable;

struct ServiceParts {
    Application& app;
    GuardedTable& table;
    ServiceNotifier& notifier;
    JournalCuts& journal;
    CutFeed& cuts;
    std::optional<LastRules>& lastRules;
    std::string rulesPath;
    // Why the file is not used while the last applied set guards; empty once it is.
    std::string byLastSet;
    bool keepAtStart = false; // the file's rules are in force: kept as the last applied set
    // The control socket: asked for, made or handed over (or why not), its path and group.
    bool control = false;
    UniqueFd controlFd;
    std::string noControl;
    QString controlPath;
    QString controlGroup;
    std::function<void(std::string_view)> say;
};

class ServiceRun {
public:
    // Before the application starts: the rules file is watched from here on.
    explicit ServiceRun(ServiceParts parts);
    ~ServiceRun();
    ServiceRun(const ServiceRun&) = delete;
    ServiceRun& operator=(const ServiceRun&) = delete;

    // Once the application started: serves the control socket, and tells systemd it is ready
    // once the rules are in force in the kernel.
    void Started();
    // A reload asked for by signal.
    void Reload() { watcher_.Touch(); }
    // Before the application shuts down.
    void Stopping();
    std::string StatusText() const;

private:
    void ReloadNow();
    void KeepApplied();
    // READY=1 once the guard's thread has switched the rules in.
    void ReadyOnceInForce();
    // The rules file's bytes, hashed; nothing while it cannot be read.
    std::optional<size_t> FileNow() const;

    ServiceParts parts_;
    // The file as this program last read or wrote it: a change to it is someone else's.
    std::optional<size_t> known_;
    std::optional<ControlServer> server_;
    std::optional<PacedWrite> keep_;
    RulesWatcher watcher_;
    QTimer switching_;
    QTimer status_;
    QTimer watchdog_;
    uint64_t guardSeen_ = UINT64_MAX;
    std::atomic<uint64_t> loopAnswers_{0};
    std::jthread beating_; // ends first
};

} // namespace kt

#include "service/ServiceRun.h"

#include "core/Application.h"
#include "core/Settings.h"
#include "engine/linux/GuardedTable.h"

#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stop_token>

namespace kt {

ServiceRun::ServiceRun(ServiceParts parts)
    : parts_(std::move(parts)),
      watcher_(QString::fromStdString(parts_.rulesPath), [this] { ReloadNow(); }) {
    switching_.setInterval(10);
    QObject::connect(&switching_, &QTimer::timeout, [this] {
        const KernelGuard* guard = parts_.table.Guard();
        if (guard == nullptr || guard->SettleRules(std::chrono::milliseconds(0))) {
            switching_.stop();
            parts_.notifier.Ready();
        }
    });
}

ServiceRun::~ServiceRun() {
    beating_ = {};
}

std::string ServiceRun::StatusText() const {
    const uint64_t cuts = parts_.app.Cuts();
    std::string text = "guard: " + std::string(HeadlessGuardText(parts_.app.Mode())) +
                       "; rules: " + RuleCounts(parts_.app.Rules().Texts()) + "; " +
                       std::to_string(cuts) + (cuts == 1 ? " cut" : " cuts");
    if (!parts_.byLastSet.empty()) {
        text += "; guarding by the last applied rules: " + parts_.byLastSet;
    }
    return text;
}

void ServiceRun::KeepApplied() {
    std::optional<LastRules>& last = parts_.lastRules;
    if (std::string why; last && !last->Keep(parts_.app.Rules(), why)) {
        parts_.say("the rules in force could not be kept in " + last->Path() + ": " + why);
    }
}

void ServiceRun::ReadyOnceInForce() {
    switching_.start();
}

std::optional<size_t> ServiceRun::FileNow() const {
    std::ifstream file(parts_.rulesPath, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    return std::hash<std::string>{}(bytes);
}

// A reload is told to systemd between RELOADING=1 and READY=1.
void ServiceRun::ReloadNow() {
    Application& app = parts_.app;
    if (!app.AppManager) {
        return;
    }
    const std::optional<size_t> now = FileNow();
    if (now && now == known_) {
        // Its own save, or nothing new: silent; a change waiting to be saved is saved now.
        if (server_) {
            server_->SaveNow();
        }
        return;
    }
    // Someone else changed the file: it wins over changes not saved yet.
    const bool unsaved = server_ && server_->Unsaved();
    std::string why;
    const RuleStrings before = app.Rules().Texts();
    parts_.notifier.Reloading();
    const Application::Reload reloaded = app.ReloadRules(why);
    const std::string& path = parts_.rulesPath;
    if (reloaded != Application::Reload::Refused && !parts_.byLastSet.empty()) {
        parts_.byLastSet.clear();
        parts_.say("the rules in " + path + " are in force again");
    }
    if (reloaded != Application::Reload::Refused) {
        known_ = now;
    }
    if (unsaved && reloaded != Application::Reload::Refused) {
        server_->FileWon(path, RuleChanges(before, app.Rules().Texts()));
    }
    switch (reloaded) {
    case Application::Reload::Applied:
        parts_.say("rules reloaded from " + path + ": " + RuleChanges(before, app.Rules().Texts()));
        break;
    case Application::Reload::Unchanged:
        parts_.say("rules reloaded from " + path + ": nothing changed");
        break;
    case Application::Reload::Refused:
        parts_.say("the rules in " + path + " were not applied (" + why +
                   "); the rules in force stay");
        break;
    }
    parts_.notifier.Status(StatusText());
    if (reloaded == Application::Reload::Applied) {
        ReadyOnceInForce();
    } else if (!switching_.isActive()) {
        parts_.notifier.Ready();
    }
}

void ServiceRun::Started() {
    Application& app = parts_.app;
    // The file is known only when its rules are the ones in force.
    known_ = parts_.byLastSet.empty() ? FileNow() : std::nullopt;
    if (app.AppManager) {
        if (parts_.keepAtStart) {
            KeepApplied();
        }
        // Whoever changed them: a client, or a reload of the file; a burst of changes once a
        // pause.
        keep_.emplace(ControlServer::kSavePause, [this] { KeepApplied(); });
        app.Rules().Listen([this](const RuleChange&) { keep_->Changed(); });
    }
    // The control socket is served once the rules are loaded; without it the service still
    // guards, and says why once.
    if (parts_.control && !parts_.controlFd.Valid()) {
        parts_.say("no control socket: " + parts_.noControl);
    } else if (parts_.control) {
        server_.emplace(
            app, parts_.cuts,
            ControlOptions{
                parts_.controlPath, parts_.controlGroup, {}, [this] { known_ = FileNow(); }},
            std::move(parts_.controlFd));
        if (!server_->Failure().empty()) {
            parts_.say("no control socket: " + server_->Failure());
            server_.reset();
        } else {
            parts_.say("control socket " + parts_.controlPath.toStdString() +
                       ", for root and the group " + parts_.controlGroup.toStdString());
        }
    }
    ServiceNotifier& notifier = parts_.notifier;
    notifier.Status(StatusText());
    ReadyOnceInForce();
    QObject::connect(&status_, &QTimer::timeout, [this] {
        parts_.notifier.Status(StatusText());
        parts_.journal.Flush();
    });
    status_.start(1000);
    // Alive while this loop turns and, while it guards, the guard's thread answers too; a cut or
    // a dump a socket's owner holds up is no sign of a hang. The beat goes from a thread of its
    // own, since such a dump can hold this loop too.
    const auto beat = notifier.WatchdogBeat();
    if (beat.count() <= 0) {
        return;
    }
    QObject::connect(&watchdog_, &QTimer::timeout, [this] {
        const KernelGuard* guard = parts_.table.Guard();
        if (parts_.app.Mode() != GuardMode::KernelGuard || guard == nullptr ||
            guard->Answering(guardSeen_)) {
            loopAnswers_.fetch_add(1);
        }
    });
    watchdog_.start(beat);
    beating_ = std::jthread([this, beat](std::stop_token stop) {
        std::mutex wait;
        std::condition_variable_any woken;
        uint64_t seen = 0;
        for (std::unique_lock lock(wait); !stop.stop_requested();) {
            const uint64_t answers = loopAnswers_.load();
            if (answers != seen || parts_.table.InKernel()) {
                parts_.notifier.Alive();
            }
            seen = answers;
            woken.wait_for(lock, stop, beat / 2, [] { return false; });
        }
    });
}

void ServiceRun::Stopping() {
    parts_.notifier.Stopping();
    server_.reset();
}

} // namespace kt

#include "core/Application.h"

#include "core/CutLog.h"
#include "core/SettingsStore.h"
#include "engine/Engine.h"
#include "engine/RuleGuard.h"
#include "manager/Manager.h"
#include "ui/MainWindow.h"

#include <algorithm>

namespace kt {

Application::Application(Platform platform) : platform_(std::move(platform)) {
    rules_.Listen([this](const RuleChange& change) { RulesChanged(change); });
}

Application::~Application() = default;

void Application::Main() {
    if (StartUp()) {
        MainLoop();
        Shutdown();
    }
}

bool Application::StartUp() {
    HostServices& host = platform_.Host;
    if (host.PreviousInstance()) {
        return false;
    }
    AppPath = host.ApplicationFolder();
    const char separator = host.PathSeparator();
    if (AppPath.empty() || AppPath.back() != separator) {
        AppPath += separator;
    }
    AppManager = std::make_unique<Manager>(platform_.Store, platform_.GetIP);
    engine_ = std::make_unique<Engine>(platform_.Table, host, *AppManager, platform_.Formatter,
                                       platform_.Clock);
    engine_->BuildStateNames();
    engine_->SetCutReport([this](const CutRecord& record) { OnCut(record); });
    // A message box must not stop the guard: its own loop keeps ticking.
    host.SetModalWork([this] { Tick(); });
    if (face_) {
        AppManager->SaveRules = [this] {
            rulesEdited_();
            return true;
        };
        AppManager->OnRulesChanged = rulesEdited_;
    } else {
        StartOnOwnRules();
    }

    if (platform_.Headless) {
        const GuardMode mode = Mode();
        std::string line = "rules: " + RuleCounts(loadedRules_) +
                           "; guard: " + std::string(HeadlessGuardText(mode));
        if (!missingAtStart_.empty()) {
            line += " (" + missingAtStart_ + ")";
            if (!platform_.RightsHint.empty()) {
                line += ". " + platform_.RightsHint;
            }
        }
        host.Diagnose(line);
        return true;
    }
    form_ = std::make_unique<frmMain>(*this);
    window_ = platform_.Windows.LoadMainWindow(*form_);
    if (window_ == nullptr) {
        Shutdown();
        return false;
    }
    form_->Attach(*window_);
    form_->OnLoad();
    AppManager->oMainForm = window_.get();

    window_->Show();
    host.DoEvents();
    AppManager->SetCurrentMode(Manager::CurrentConnectionsMode);
    AppManager->RefreshLocalIPList();
    // A second start asks this window to come back rather than showing nothing.
    host.ListenForSecondStarts([this] {
        if (form_ != nullptr) {
            form_->OnShowRequested();
        }
        if (SecondStarted) {
            SecondStarted();
        }
    });
    return true;
}

void Application::StartOnOwnRules() {
    HostServices& host = platform_.Host;
    if (!platform_.Headless) {
        AppManager->oConnections = engine_.get(); // without a view nobody reads the lines
    }
    if (platform_.MissingRights) {
        if (const std::string missing = platform_.MissingRights(); !missing.empty()) {
            if (platform_.Headless) {
                refusalTold_ = true; // in the start line, with the rules
                missingAtStart_ = missing;
            } else {
                TellRefusal(missing);
            }
        }
    }
    const std::vector<std::string> leftOut = LoadSettings(
        *AppManager, platform_.StartRules != nullptr ? *platform_.StartRules : platform_.Store);
    for (const std::string& entry : leftOut) {
        host.Diagnose(entry + "; left out of the rules");
    }
    entriesLeftOut_ = !leftOut.empty();
    loadedRules_ = CurrentRules(*AppManager);
    rules_.Replace(CurrentRuleEntries(*AppManager), RuleOrigin::Start);
    if (entriesLeftOut_ && !platform_.Headless) {
        Tell(LeftOutText(leftOut));
    }
    if (const std::string refusal = platform_.Store.Refusal();
        !refusal.empty() && platform_.StartRules == nullptr) {
        Tell("The rules file cannot be used: " + refusal +
             ". Korvan Tessivo runs on the default rules and will not save them.");
        saveFailureTold_ = true; // every save would fail the same way
    }
    // The window changes its lists itself, and saves and re-judges after each edit: the set is
    // taken whole from there.
    AppManager->OnRulesChanged = [this] {
        rules_.Replace(CurrentRuleEntries(*AppManager), RuleOrigin::Window);
    };
    AppManager->OnSaveFailed = [this](std::string_view reason) { SaveFailed(reason); };
}

void Application::BecomeFace(std::function<void()> rulesEdited) {
    face_ = true;
    guardedByService_ = true;
    rulesEdited_ = std::move(rulesEdited);
}

void Application::JoinService(std::function<void()> rulesEdited, const std::string& service) {
    if (face_ || !AppManager) {
        return;
    }
    const bool guarded = Mode() == GuardMode::KernelGuard || Mode() == GuardMode::Polling;
    if (platform_.Guard != nullptr) {
        platform_.Host.ForgetWakeHandle();
        platform_.Guard->Stop();
        platform_.Guard = nullptr;
    }
    face_ = true;
    guardedByService_ = true;
    rulesEdited_ = std::move(rulesEdited);
    AppManager->SaveRules = [this] {
        rulesEdited_();
        return true;
    };
    AppManager->OnRulesChanged = rulesEdited_;
    AppManager->oConnections = nullptr; // the service's lines come in its table's events
    AppManager->RefreshCurrentConnections();
    std::string text = "This window is now the face of the service at " + service +
                       ", which guards this machine by its own rules";
    text += guarded ? "; this window's own guard stopped." : ".";
    platform_.Host.Diagnose(text);
    if (form_ == nullptr || !form_->NoticeWhileHidden(text)) {
        told_.push_back(std::move(text));
    }
}

void Application::ServiceRules(const RuleEntries& rules) {
    if (!face_ || !AppManager) {
        return;
    }
    Manager& manager = *AppManager;
    List* lists[] = {&manager.oAllowedIP, &manager.oBlockedLocalPorts,
                     &manager.oBlockedRemotePorts};
    for (size_t i = 0; i < rules.size(); ++i) {
        lists[i]->Reset();
        for (const std::string& entry : rules[i]) {
            lists[i]->AddItem(std::string_view(entry));
        }
    }
    if (manager.oMainForm != nullptr && manager.CurrentListEditable()) {
        manager.RefreshCurrentMode();
    }
}

void Application::ServiceCut(std::string text) {
    ++cuts_;
    if (form_ != nullptr) {
        form_->OnCuts(1, std::move(text));
    }
}

void Application::LeaveService(const std::string& said) {
    if (!face_ || !AppManager) {
        return;
    }
    face_ = false;
    guardedByService_ = false;
    rulesEdited_ = {};
    AppManager->SaveRules = {};
    AppManager->oServiceLines = nullptr;
    // One box says what happened and what this window does now.
    const std::string missing = platform_.MissingRights ? platform_.MissingRights() : "";
    refusalTold_ = refusalTold_ || !missing.empty();
    StartOnOwnRules();
    AppManager->RefreshCurrentMode();
    AppManager->RefreshCurrentConnections();
    told_.push_front(said + ' ' +
                     (missing.empty() ? "This window guards by its own rules now."
                                      : "This window cannot cut (" + missing +
                                            "): it only shows the connections."));
}

void Application::Tick() {
    if (inTick_ || engine_ == nullptr) {
        return;
    }
    inTick_ = true;
    if (!face_ && LookDue()) {
        engine_->PollConnections();
        if (LooksAsItShows()) {
            Looked();
        }
    }
    inTick_ = false;
    TellTray();
}

bool Application::LooksAsItShows() const {
    return !face_ && !platform_.Headless && platform_.Guard == nullptr &&
           Mode() == GuardMode::ViewOnly && AppManager && AppManager->oMainForm != nullptr;
}

bool Application::LookDue() const {
    if (!LooksAsItShows()) {
        return true; // a guard looks at every tick
    }
    return !AppManager->oMainForm->Hidden() && platform_.Clock() >= nextLook_;
}

void Application::Looked() {
    const auto now = platform_.Clock();
    if (const uint64_t seen = engine_->ChangesSeen(); seen != changesLooked_) {
        changesLooked_ = seen;
        busyUntil_ = now + kBusySpell;
    }
    // A change the view has yet to show is looked for again when it falls due.
    nextLook_ = now + (now < busyUntil_ || engine_->ViewDue()
                           ? std::chrono::milliseconds(Engine::ViewInterval)
                           : kStillLook);
}

void Application::UserActed() {
    const auto now = platform_.Clock();
    busyUntil_ = now + kBusySpell;
    nextLook_ = now;
}

void Application::TellTray() {
    CutRecord latest;
    if (platform_.GuardCuts != nullptr) {
        if (const uint64_t count = platform_.GuardCuts->Take(latest); count != 0) {
            CountCuts(count, latest);
        }
    }
    if (form_ != nullptr) {
        form_->OnTick(platform_.Clock);
    }
}

void Application::CountCuts(uint64_t count, const CutRecord& latest) {
    cuts_ += count;
    if (form_ != nullptr) {
        form_->OnCuts(count, ConnectionText(latest));
    }
}

GuardMode Application::Mode() const {
    if (guardedByService_) {
        return GuardMode::Service;
    }
    if (refusalTold_) {
        return GuardMode::ViewOnly; // no right to cut, or cuts refused
    }
    return platform_.Guard != nullptr ? GuardMode::KernelGuard : GuardMode::Polling;
}

std::string_view HeadlessGuardText(GuardMode mode) {
    return mode == GuardMode::KernelGuard ? "the kernel guard"
           : mode == GuardMode::Polling   ? "polling the connection table"
                                          : "none, nothing is cut";
}

std::string_view GuardModeText(GuardMode mode) {
    switch (mode) {
    case GuardMode::Service:
        return "guarded by the service";
    case GuardMode::KernelGuard:
        return "guarding (kernel guard)";
    case GuardMode::Polling:
        return "guarding (polling)";
    case GuardMode::ViewOnly:
        break;
    }
    return "view only";
}

bool Application::SaveOnClose() const {
    if (face_) {
        return false; // the service saved every edit
    }
    return !entriesLeftOut_ || AppManager == nullptr || CurrentRules(*AppManager) != loadedRules_;
}

void Application::Tell(std::string text) {
    if (QuitRequested || platform_.Headless) {
        platform_.Host.Diagnose(text);
    } else {
        told_.push_back(std::move(text));
    }
}

void Application::ShowToldMessages() {
    while (!told_.empty() && !inTick_) {
        const std::string text = std::move(told_.front());
        told_.pop_front();
        if (QuitRequested || platform_.Headless) {
            platform_.Host.Diagnose(text);
        } else {
            platform_.Host.ShowMessage(text, MessageButtons::Ok);
        }
    }
}

void Application::OnCut(const CutRecord& record) {
    if (platform_.RecordCut) {
        platform_.RecordCut(record);
    }
    if (record.Refused) {
        TellRefusal(record.Reason);
    } else {
        CountCuts(1, record);
    }
}

void Application::TellRefusal(std::string_view reason) {
    // Once a run: the refused cuts go on being tried on every tick.
    if (!refusalTold_) {
        refusalTold_ = true;
        Tell(RefusedCutText(reason, platform_.RightsHint));
    }
}

Application::Reload Application::ReloadRules(std::string& why) {
    if (!AppManager) {
        return Reload::Refused;
    }
    bool changed = false;
    if (!rules_.Reload(platform_.Store, why, RuleOrigin::Reload, changed)) {
        return Reload::Refused;
    }
    return changed ? Reload::Applied : Reload::Unchanged;
}

bool Application::SaveRules(std::string& why) {
    if (rules_.Save(platform_.Store)) {
        return true;
    }
    why = platform_.Store.LastError();
    SaveFailed(why);
    return false;
}

void Application::SaveFailed(std::string_view reason) {
    if (!saveFailureTold_) {
        saveFailureTold_ = true;
        Tell(SaveFailedText(reason));
    }
}

// The box carries the program's name in its title, and a line on standard error starts with it.
std::string RefusedCutText(std::string_view why, std::string_view hint) {
    std::string text = "Connections cannot be cut (" + std::string(why) + ").";
    if (!hint.empty()) {
        text += ' ';
        text += hint;
    }
    return text;
}

std::string LeftOutText(const std::vector<std::string>& entries) {
    constexpr size_t kListed = 10; // a box stays readable; the rest are on standard error
    std::string text = "Some stored rules are not valid and were left out:";
    for (size_t i = 0; i < entries.size() && i < kListed; ++i) {
        text += '\n' + entries[i];
    }
    if (entries.size() > kListed) {
        text += "\n(and " + std::to_string(entries.size() - kListed) + " more)";
    }
    return text + "\nThey stay stored as they are until the rules are changed here; a change "
                  "saves the rules without them.";
}

std::string SaveFailedText(std::string_view reason) {
    return "The rules could not be saved: " +
           std::string(reason.empty() ? "unknown reason" : reason) +
           ". They stay in effect until the program ends.";
}

void Application::RulesChanged(const RuleChange& change) {
    if (!AppManager || face_) {
        return;
    }
    Manager& manager = *AppManager;
    List* lists[] = {&manager.oAllowedIP, &manager.oBlockedLocalPorts,
                     &manager.oBlockedRemotePorts};
    // The window's lists have it already when it was made there or loaded at start (as stored,
    // duplicates and all, as the window has always shown them).
    if (change.origin != RuleOrigin::Window && change.origin != RuleOrigin::Start) {
        if (change.replaced) {
            const RuleStrings texts = rules_.Texts();
            for (size_t i = 0; i < texts.size(); ++i) {
                manager.LoadListFromString(*lists[i], texts[i]);
            }
        }
        for (const RuleEdit& edit : change.edits) {
            List& list = *lists[static_cast<size_t>(edit.list)];
            if (edit.add) {
                list.AddItem(Value(std::string_view(edit.entry)));
                continue;
            }
            // A file may have held an entry twice; the model holds it once.
            const Value entry{std::string_view(edit.entry)};
            for (int32_t at = list.FindEqual(entry, false); at >= 0;
                 at = list.FindEqual(entry, false)) {
                list.DeleteItem(at);
            }
        }
        // Connections judged by the old rules are judged again; the window's own saves do this.
        if (engine_) {
            engine_->ClearConnectionCache();
        }
        if (manager.oMainForm != nullptr && manager.CurrentListEditable()) {
            manager.RefreshCurrentMode();
        }
    }
    if (platform_.Guard == nullptr) {
        return;
    }
    if (!change.replaced) {
        // An address in a form the table never shows cannot match: the guard need not know it.
        if (const std::vector<GuardRuleEdit> edits = GuardEdits(change.edits); !edits.empty()) {
            platform_.Guard->Edit(edits);
        }
        return;
    }
    std::string why;
    if (!platform_.Guard->SetRules(rules_.ForGuard(), why)) {
        DropGuard(why);
    }
}

void Application::CheckGuard() {
    std::string why;
    if (platform_.Guard == nullptr) {
        return;
    }
    // A rule set the kernel could not take leaves the one in force: the guard goes on.
    while (platform_.Guard->TakeRefusal(why)) {
        platform_.Host.Diagnose("the kernel guard could not take the new rules (" + why +
                                "); the rules in force before stay in force there");
    }
    if (!platform_.Guard->Sound(why)) {
        DropGuard(why);
    }
}

void Application::DropGuard(const std::string& why) {
    // The host lets go of the guard's handle before it is closed.
    platform_.Host.ForgetWakeHandle();
    platform_.Guard->Stop();
    platform_.Guard = nullptr;
    platform_.Host.Diagnose("the kernel guard stopped (" + why +
                            "); guarding goes on by polling the connection table");
}

void Application::MainLoop() {
    using namespace std::chrono;
    do {
        Tick();
        ShowToldMessages();
        CheckGuard();
        if (face_) {
            platform_.Host.WaitForWork(1000, -1); // the service's news wake the loop
            continue;
        }
        if (LooksAsItShows()) {
            // Hidden, only a window event wakes it; the one-second wait is a safety tick.
            auto wait = milliseconds(1000);
            if (!AppManager->oMainForm->Hidden()) {
                wait = std::clamp(duration_cast<milliseconds>(nextLook_ - platform_.Clock()),
                                  milliseconds(0), wait);
            }
            platform_.Host.WaitForWork(static_cast<int32_t>(wait.count()), -1);
            continue;
        }
        if (platform_.Guard == nullptr) {
            platform_.Host.Sleep(1);
            platform_.Host.DoEvents();
            continue;
        }
        // Nothing runs until there is something to do: a window event, a table change, the
        // view falling due, or the one-second safety tick that also retries refused cuts.
        auto wait = milliseconds(1000);
        if (platform_.Guard->WakeHandle() < 0 && AppManager->ConnectionLinesWanted()) {
            // No table change wakes the loop: it looks for them.
            wait = lookOften_ ? Engine::ViewInterval : engine_->NextLook();
        }
        if (const auto due = engine_->ViewDue()) {
            wait = std::clamp(duration_cast<milliseconds>(*due - platform_.Clock()),
                              milliseconds(0), wait);
        }
        platform_.Host.WaitForWork(static_cast<int32_t>(wait.count()),
                                   platform_.Guard->WakeHandle());
    } while (!QuitRequested);
}

void Application::Shutdown() {
    // One last look at the table confirms the cuts of the tick before, so that they are logged.
    Tick();
    QuitRequested = true;
    ShowToldMessages();
    // The Manager goes first; the window and engine it refers to are dropped with it.
    platform_.Host.SetModalWork({});
    AppManager.reset();
    engine_.reset();
    platform_.Host.End();
}

void OpenDocument(HostServices& host, std::string_view target) {
    if (!host.ShellOpen(target)) {
        host.ShowMessage(NothingOpensText(target), MessageButtons::Ok);
    }
}

std::string NothingOpensText(std::string_view target) {
    std::string text = "Nothing on this desktop could open " + std::string(target) + ".";
    if (target.ends_with(".txt")) {
        text += " It is plain text: any text editor shows it.";
    } else if (target.starts_with("http")) {
        text += " Any web browser shows it.";
    }
    return text;
}

} // namespace kt

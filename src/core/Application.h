#pragma once

#include "core/HostServices.h"
#include "core/Settings.h"
#include "engine/CutRecord.h"
#include "net/AddressText.h"
#include "rules/RuleModel.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kt {

class CutMailbox;
class Engine;
class Manager;
class NativeMainWindow;
class RuleGuard;
class SettingsStore;
class TcpTable;
class frmMain;

// Creates the native main window for a window behaviour, with every control at its place; the
// window is not shown yet.
class MainWindowFactory {
public:
    virtual ~MainWindowFactory() = default;
    virtual std::unique_ptr<NativeMainWindow> LoadMainWindow(frmMain& behaviour) = 0;
};

// What the program is made of on one platform.
struct Platform {
    HostServices& Host;
    SettingsStore& Store;
    TcpTable& Table;
    MainWindowFactory& Windows;
    std::function<std::string()> GetIP;
    AddressFormatter Formatter = FormatDottedAddress;
    std::function<std::chrono::steady_clock::time_point()> Clock = std::chrono::steady_clock::now;
    // A guard that cuts on its own, when the platform has one running; the main loop then waits
    // for work instead of polling.
    RuleGuard* Guard = nullptr;
    // Where each cut, and the first refusal of each connection, is written down (the cut log);
    // called from the loop's thread, and must not hold it up.
    std::function<void(const CutRecord&)> RecordCut = {};
    // At start: why the program already knows it may not cut (no rights), or nothing.
    std::function<std::string()> MissingRights = {};
    // Said after the refusal, on how to get the rights here.
    std::string RightsHint = {};
    // The guard alone, without a window: what would be a message box goes to standard error.
    bool Headless = false;
    // Cuts made on another thread (the kernel guard's), counted on the loop's at each tick.
    CutMailbox* GuardCuts = nullptr;
    // Headless: where the rules come from at start when not Store (the set last applied, when
    // Store's file cannot be used); saves and reloads still go to Store.
    SettingsStore* StartRules = nullptr;
};

// Who cuts the blocked connections, as the title and the tray tell it.
enum class GuardMode { Service, KernelGuard, Polling, ViewOnly };
std::string_view GuardModeText(GuardMode mode);
// The same words as headless mode says them at start: "the kernel guard", "polling the
// connection table", "none, nothing is cut".
std::string_view HeadlessGuardText(GuardMode mode);

// The program: start-up, the main loop that drives the engine and the window, and shutdown.
class Application {
public:
    explicit Application(Platform platform);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    void Main();
    // Everything before the loop; false when the program is to end at once.
    bool StartUp();
    void MainLoop();
    void Shutdown();
    // One engine tick; does nothing when called from within a tick (a message pass or a message
    // box inside it).
    void Tick();
    // A message of the program's own: shown in a box after the tick, never inside one; on the
    // way out (QuitRequested) written to standard error instead.
    void Tell(std::string text);
    void ShowToldMessages();
    // True while a guard outside the loop cuts by the current rules.
    bool Guarded() const { return platform_.Guard != nullptr; }
    // Takes the rules from the store again, only when it holds all three lists, whole and
    // valid; otherwise the rules in force stay, and why says what is wrong.
    enum class Reload { Applied, Unchanged, Refused };
    Reload ReloadRules(std::string& why);

    // While someone else watches the view (the service's clients), the table is looked at every
    // view interval, not less often as it stays still, so that a change shows at once.
    void LookOften(bool often) { lookOften_ = often; }

    // A window that cuts nothing looks at the table only while it is shown: at the view's rate
    // for kBusySpell after it saw a change or the user acted, then once every kStillLook.
    static constexpr std::chrono::seconds kBusySpell{3};
    static constexpr std::chrono::seconds kStillLook{1};
    bool LooksAsItShows() const;
    // The user did something in the window: a view-only window looks at once, and often.
    void UserActed();

    // What guards now: the service (as the window is told), this program's kernel guard or its
    // polling, or nothing, when it may not cut or its cuts were refused.
    GuardMode Mode() const;
    // The window is the face of a service that guards: it cuts nothing itself.
    void SetGuardedByService(bool guarded) { guardedByService_ = guarded; }

    // Before StartUp: the window is the face of a service that guards by its own rules. It
    // loads no rules, cuts nothing and shows what the service tells; an edit of the rules calls
    // rulesEdited, which sends it there.
    void BecomeFace(std::function<void()> rulesEdited);
    // Once started: a service answered, and the window becomes its face. Its own guard, if it
    // had one, stops; the user is told once (a box, or a tray notice while hidden).
    void JoinService(std::function<void()> rulesEdited, const std::string& service);
    bool IsFace() const { return face_; }
    // Called on each second start of the program, after the window was asked back.
    std::function<void()> SecondStarted;
    // From the service: its rules; a cut, as the tray tells it.
    void ServiceRules(const RuleEntries& rules);
    void ServiceCut(std::string text);
    // The service went away or refused this user (said, in a sentence): the window goes on as
    // it would have started without one, and tells the user so in one box.
    void LeaveService(const std::string& said);
    // Cuts made since start, whoever made them: count of them, the last one as latest. The
    // loop's thread only.
    void CountCuts(uint64_t count, const CutRecord& latest);
    uint64_t Cuts() const { return cuts_; }
    // Closing keeps the stored rules as they are when entries were left out at start and the
    // rules have not changed since: a save would drop those entries unseen.
    bool SaveOnClose() const;

    // The rules this program guards by (unused while it is a service's face). Every change,
    // whoever makes it, reaches the guard, the engine and the window's lists from here.
    RuleModel& Rules() { return rules_; }
    const RuleModel& Rules() const { return rules_; }
    // Saves the rules to the store as they are now; false with why (once told, as the window's
    // saves are) when the store could not keep them.
    bool SaveRules(std::string& why);

    HostServices& Host() { return platform_.Host; }
    SettingsStore& Store() { return platform_.Store; }
    Engine* GetEngine() { return engine_.get(); }
    frmMain* MainWindow() { return form_.get(); }

    std::string AppPath;
    bool QuitRequested = false;
    std::unique_ptr<Manager> AppManager;

private:
    Platform platform_;
    RuleModel rules_;
    std::unique_ptr<Engine> engine_;
    std::unique_ptr<frmMain> form_;
    std::unique_ptr<NativeMainWindow> window_;
    bool inTick_ = false;
    bool saveFailureTold_ = false;
    bool refusalTold_ = false;
    bool guardedByService_ = false;
    bool face_ = false;
    bool lookOften_ = false;
    std::chrono::steady_clock::time_point nextLook_{};
    std::chrono::steady_clock::time_point busyUntil_{};
    uint64_t changesLooked_ = 0;
    std::function<void()> rulesEdited_;
    uint64_t cuts_ = 0;
    bool entriesLeftOut_ = false;
    std::string missingAtStart_; // headless: why it may not cut, said in the start line
    RuleStrings loadedRules_;
    void OnCut(const CutRecord& record);
    // Whether this tick looks at the table, and when the next one does.
    bool LookDue() const;
    void Looked();
    // The rules from the store, the rights to cut and the guard, as a window on its own starts.
    void StartOnOwnRules();
    void TellTray();
    void TellRefusal(std::string_view reason);
    // Takes a change of the rules to the guard (a set replaced whole, else the edits alone), to
    // the Manager's lists when it was not made there, and has the engine judge again.
    void RulesChanged(const RuleChange& change);
    void SaveFailed(std::string_view reason);
    void CheckGuard();
    void DropGuard(const std::string& why);
    std::deque<std::string> told_;
};

// The words of the box that lists the stored entries left out at start.
std::string LeftOutText(const std::vector<std::string>& entries);
// The words of a failed save.
std::string SaveFailedText(std::string_view reason);
// The words of cuts that cannot be made and why, with how to get the rights on this platform.
std::string RefusedCutText(std::string_view why, std::string_view hint);

// Hands a file or web address to the desktop shell; says so in a box when nothing took it.
void OpenDocument(HostServices& host, std::string_view target);
std::string NothingOpensText(std::string_view target);

} // namespace kt

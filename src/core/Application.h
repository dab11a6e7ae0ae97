#pragma once

#include "core/HostServices.h"
#include "net/AddressText.h"

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace kt {

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
};

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

    HostServices& Host() { return platform_.Host; }
    SettingsStore& Store() { return platform_.Store; }
    Engine* GetEngine() { return engine_.get(); }
    frmMain* MainWindow() { return form_.get(); }

    std::string AppPath;
    bool QuitRequested = false;
    std::unique_ptr<Manager> AppManager;

private:
    Platform platform_;
    std::unique_ptr<Engine> engine_;
    std::unique_ptr<frmMain> form_;
    std::unique_ptr<NativeMainWindow> window_;
    bool inTick_ = false;
    bool saveFailureTold_ = false;
    // Hands the rule lists to the guard; on a refusal the guard stops and the loop polls.
    void GuardRulesChanged();
    void CheckGuard();
    void DropGuard(const std::string& why);
    std::deque<std::string> told_;
};

// The words of a failed save.
std::string SaveFailedText(std::string_view reason);

// Hands a file or web address to the desktop shell; failures are not reported.
void OpenDocument(HostServices& host, std::string_view target);

} // namespace kt

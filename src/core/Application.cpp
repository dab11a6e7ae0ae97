#include "core/Application.h"

#include "core/Settings.h"
#include "engine/Engine.h"
#include "manager/Manager.h"
#include "ui/MainWindow.h"

namespace kt {

Application::Application(Platform platform) : platform_(std::move(platform)) {}

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
    // A message box must not stop the guard: its own loop keeps ticking.
    host.SetModalWork([this] { Tick(); });
    AppManager->oConnections = engine_.get();
    for (const std::string& complaint : LoadSettings(*AppManager, platform_.Store)) {
        host.Diagnose(complaint);
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
    return true;
}

void Application::Tick() {
    if (inTick_ || engine_ == nullptr) {
        return;
    }
    inTick_ = true;
    engine_->PollConnections();
    inTick_ = false;
}

void Application::MainLoop() {
    do {
        Tick();
        platform_.Host.Sleep(1);
        platform_.Host.DoEvents();
    } while (!QuitRequested);
}

void Application::Shutdown() {
    // The Manager goes first; the window and engine it refers to are dropped with it.
    platform_.Host.SetModalWork({});
    AppManager.reset();
    engine_.reset();
    platform_.Host.End();
}

void OpenDocument(HostServices& host, std::string_view target) {
    host.ShellOpen(target);
}

} // namespace kt

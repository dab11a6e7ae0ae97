#include "ui/MainWindow.h"

#include "core/Application.h"
#include "core/Settings.h"
#include "engine/RuleEditing.h"
#include "list/Value.h"
#include "manager/Manager.h"
#include "ui/Website.h"

namespace kt {

std::string CaptionText(const VersionInfo& version) {
    return version.ProductName + " v" + std::to_string(version.Major) + "." +
           std::to_string(version.Minor) + " Build " + std::to_string(version.Revision);
}

std::string TrayTipText(std::string_view productName) {
    constexpr size_t TipLength = 64;
    std::string tip(productName.substr(0, TipLength));
    tip.resize(TipLength, ' ');
    return tip;
}

std::string WindowTitle(const VersionInfo& version, GuardMode mode) {
    return CaptionText(version) + " \u2014 " + std::string(GuardModeText(mode));
}

std::string TrayStatusTip(const VersionInfo& version, GuardMode mode, uint64_t cuts) {
    return WindowTitle(version, mode) + '\n' + std::to_string(cuts) +
           (cuts == 1 ? " cut" : " cuts") + " since start";
}

void CutNotices::Add(uint64_t count, std::string latest) {
    held_ += count;
    latest_ = std::move(latest);
}

std::optional<std::string> CutNotices::Due(Clock::time_point now) {
    if (held_ == 0 || (last_ && now - *last_ < kGap)) {
        return std::nullopt;
    }
    last_ = now;
    std::string text = "Cut " + latest_;
    if (const uint64_t others = held_ - 1; others != 0) {
        text += "\nand " + std::to_string(others) + " more connection" + (others == 1 ? "" : "s");
    }
    held_ = 0;
    return text;
}

int32_t TrayMessageFromX(double x, bool scaleIsPixels, double twipsPerPixelX) {
    if (scaleIsPixels || twipsPerPixelX <= 0) {
        return static_cast<int32_t>(RoundHalfEven(x));
    }
    return static_cast<int32_t>(RoundHalfEven(x / twipsPerPixelX));
}

const std::string_view WebsiteAddress = KT_WEBSITE;

frmMain::frmMain(Application& app) : app_(app) {}

void frmMain::OnLoad() {
    if (window_ == nullptr) {
        return;
    }
    titleMode_ = app_.Mode();
    window_->SetCaption(WindowTitle(app_.Host().Version(), titleMode_));
    window_->InitialiseButtons();
    TrayOn();
}

void frmMain::TrayOn() {
    if (window_ == nullptr) {
        return;
    }
    window_->Show();
    app_.Host().DoEvents();
    tipMode_ = app_.Mode();
    tipCuts_ = app_.Cuts();
    trayShown_ = window_->AddTrayIcon(TrayStatusTip(app_.Host().Version(), tipMode_, tipCuts_));
}

void frmMain::TrayOff() {
    if (window_ != nullptr && trayShown_) {
        window_->RemoveTrayIcon();
        trayShown_ = false;
    }
}

void frmMain::OnResize() {
    if (window_ == nullptr) {
        return;
    }
    if (window_->GetState() == WindowState::Minimized) {
        // Without a tray icon a hidden window could not be found again.
        if (trayShown_) {
            window_->Hide();
        }
        return;
    }
    if (window_->IsVisible() && window_->GetState() == WindowState::Normal && app_.AppManager) {
        app_.UserActed();
        app_.AppManager->RefreshCurrentConnections();
    }
}

bool frmMain::OnQueryUnload() {
    // On the way out nobody would see a box: a failure to save is told on standard error.
    app_.QuitRequested = true;
    if (app_.AppManager && app_.SaveOnClose()) {
        app_.AppManager->SaveChanges();
    }
    TrayOff();
    return true;
}

void frmMain::OnClick(ControlId control) {
    Manager* manager = app_.AppManager.get();
    if (manager == nullptr) {
        return;
    }
    app_.UserActed();
    switch (control) {
    case ControlId::cmdCurrentConnections:
        manager->SetCurrentMode(Manager::CurrentConnectionsMode);
        break;
    case ControlId::cmdLocalIP:
        manager->SetCurrentMode(Manager::LocalIPMode);
        break;
    case ControlId::cmdAllowedIP:
        manager->SetCurrentMode(Manager::AllowedIPMode);
        break;
    case ControlId::cmdBlockedLocal:
        manager->SetCurrentMode(Manager::BlockedLocalPortsMode);
        break;
    case ControlId::cmdBlockedRemote:
        manager->SetCurrentMode(Manager::BlockedRemotePortsMode);
        break;
    case ControlId::cmdAdd:
        if (window_ != nullptr) {
            AddRuleEntry(*manager, app_.Host(), window_->ItemText());
        }
        break;
    case ControlId::cmdAddLocal:
        if (app_.Host().ShowMessage(AddLocalConfirmation, MessageButtons::OkCancel) ==
            MessageAnswer::Ok) {
            manager->AddLocalIPSToAllowed();
            manager->RefreshCurrentMode();
        }
        break;
    case ControlId::cmdReadme:
        OpenDocument(app_.Host(), app_.AppPath + std::string(ReadmeFileName));
        break;
    case ControlId::cmdWebsite:
        OpenDocument(app_.Host(), Website.empty() ? app_.AppPath : Website);
        break;
    case ControlId::chkShowX:
        manager->RefreshCurrentConnections();
        break;
    default:
        break;
    }
}

void frmMain::OnListMouseUp(MouseButton button, int32_t x, int32_t y) {
    if (button == MouseButton::Right && window_ != nullptr) {
        window_->ShowListMenu(x, y);
    }
}

void frmMain::OnDeleteMenu() {
    if (app_.AppManager) {
        DeleteSelectedEntry(*app_.AppManager);
    }
}

bool frmMain::EditingAllowed() const {
    return app_.AppManager && app_.AppManager->CurrentListEditable();
}

void frmMain::OnItemEnter() {
    if (EditingAllowed()) {
        OnClick(ControlId::cmdAdd);
    }
}

void frmMain::OnListDelete() {
    if (EditingAllowed()) {
        OnDeleteMenu();
    }
}

void frmMain::OnShowRequested() {
    if (window_ == nullptr) {
        return;
    }
    window_->SetState(WindowState::Normal);
    window_->Show();
    window_->BringToFront();
    app_.UserActed();
    ShowLinesAgain();
}

bool frmMain::NoticeWhileHidden(std::string_view text) {
    if (window_ == nullptr || window_->IsVisible() || !trayShown_) {
        return false;
    }
    window_->ShowTrayNotice(ApplicationTitle, text);
    return true;
}

void frmMain::OnCuts(uint64_t count, std::string latest) {
    if (window_ != nullptr && trayShown_ && !window_->IsVisible()) {
        notices_.Add(count, std::move(latest));
    }
}

void frmMain::OnTick(const std::function<std::chrono::steady_clock::time_point()>& clock) {
    if (window_ == nullptr) {
        return;
    }
    const GuardMode mode = app_.Mode();
    if (mode != titleMode_) {
        titleMode_ = mode;
        window_->SetCaption(WindowTitle(app_.Host().Version(), mode));
    }
    if (!trayShown_) {
        return;
    }
    const uint64_t cuts = app_.Cuts();
    if (mode != tipMode_ || cuts != tipCuts_) {
        const auto now = clock();
        if (mode != tipMode_ || !tipAt_ || now - *tipAt_ >= kTipGap) {
            window_->SetTrayTip(TrayStatusTip(app_.Host().Version(), mode, cuts));
            tipMode_ = mode;
            tipCuts_ = cuts;
            tipAt_ = now;
        }
    }
    if (window_->IsVisible()) {
        notices_.Drop();
    } else if (notices_.Held() != 0) {
        if (const auto notice = notices_.Due(clock())) {
            window_->ShowTrayNotice(ApplicationTitle, *notice);
        }
    }
}

void frmMain::OnTrayMessage(int32_t message) {
    if (window_ == nullptr || window_->GetState() != WindowState::Minimized) {
        return;
    }
    if (message == TrayLeftButtonUp || message == TrayLeftButtonDoubleClick) {
        window_->SetState(WindowState::Normal);
        window_->BringToFront();
        window_->Show();
    } else if (message == TrayRightButtonUp) {
        window_->BringToFront();
        window_->Show();
    } else {
        return;
    }
    app_.UserActed();
    ShowLinesAgain();
}

void frmMain::ShowLinesAgain() {
    // No lines were made while it was hidden.
    if (app_.AppManager && app_.AppManager->ConnectionLinesStale() && window_->IsVisible()) {
        app_.AppManager->RefreshCurrentConnections();
    }
}

} // namespace kt

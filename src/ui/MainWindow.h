#pragma once

#include "core/Application.h"
#include "core/HostServices.h"
#include "manager/MainForm.h"
#include "ui/button/Command.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kt {

// The project's own page as the build names it (KT_WEBSITE); empty when it names none.
extern const std::string_view WebsiteAddress;
inline constexpr std::string_view ReadmeFileName = "readme.txt";
inline constexpr std::string_view AddLocalConfirmation = "Add Local IP's to Allowed?";
inline constexpr std::string_view StoredCaption = "Korvan Tessivo";
inline constexpr std::string_view StoredHeadText = "Choose...";
inline constexpr std::string_view ShowConnectedLabel = "Show only connected";
inline constexpr std::string_view DeleteMenuText = "Delete";
// The window's client area, in twips.
inline constexpr int32_t ClientWidthTwips = 6345;
inline constexpr int32_t ClientHeightTwips = 4860;

// Tray icon messages, as the shell reports them.
inline constexpr int32_t TrayLeftButtonUp = 514;
inline constexpr int32_t TrayLeftButtonDoubleClick = 515;
inline constexpr int32_t TrayRightButtonUp = 517;

enum class ControlId {
    chkShowX,
    txtItem,
    txtHead,
    lstMain,
    Label1,
    cmdLocalIP,
    cmdAllowedIP,
    cmdAddLocal,
    cmdBlockedLocal,
    cmdBlockedRemote,
    cmdCurrentConnections,
    cmdAdd,
    cmdWebsite,
    cmdReadme,
};

enum class ControlKind { CheckBox, TextBox, ListBox, Label, Button };

// One control of the window at its fixed place; both front ends build the window from this.
struct ControlLayout {
    ControlId Id;
    std::string_view Name;
    ControlKind Kind;
    int32_t Left, Top, Width, Height; // twips, from the client area's top-left corner
    int32_t TabIndex;
    std::string_view Text;
};

// In the window's control order.
inline constexpr std::array<ControlLayout, 14> MainWindowControls = {{
    {ControlId::chkShowX, "chkShowX", ControlKind::CheckBox, 3990, 1980, 195, 195, 12, ""},
    {ControlId::txtItem, "txtItem", ControlKind::TextBox, 120, 4470, 2955, 315, 9, ""},
    {ControlId::txtHead, "txtHead", ControlKind::TextBox, 120, 120, 3735, 315, 1, "Choose..."},
    {ControlId::lstMain, "lstMain", ControlKind::ListBox, 120, 420, 3735, 4020, 0, ""},
    {ControlId::Label1, "Label1", ControlKind::Label, 4230, 1980, 1935, 225, 13,
     "Show only connected"},
    {ControlId::cmdLocalIP, "cmdLocalIP", ControlKind::Button, 3960, 2280, 2235, 435, 2,
     "Local IP Addresses"},
    {ControlId::cmdAllowedIP, "cmdAllowedIP", ControlKind::Button, 3960, 540, 2235, 465, 3,
     "Allowed IP Addreses"},
    {ControlId::cmdAddLocal, "cmdAddLocal", ControlKind::Button, 3960, 2760, 2235, 435, 4,
     "Add Local IPs to Allowed"},
    {ControlId::cmdBlockedLocal, "cmdBlockedLocal", ControlKind::Button, 3960, 990, 2235, 435, 5,
     "Blocked Local Ports"},
    {ControlId::cmdBlockedRemote, "cmdBlockedRemote", ControlKind::Button, 3960, 1410, 2235, 435, 6,
     "Blocked Remote Ports"},
    {ControlId::cmdCurrentConnections, "cmdCurrentConnections", ControlKind::Button, 3960, 120,
     2235, 435, 7, "Current Connections"},
    {ControlId::cmdAdd, "cmdAdd", ControlKind::Button, 3120, 4470, 705, 315, 8, "Add"},
    {ControlId::cmdWebsite, "cmdWebsite", ControlKind::Button, 3960, 4350, 2265, 435, 10,
     "Visit Website"},
    {ControlId::cmdReadme, "cmdReadme", ControlKind::Button, 3960, 3930, 2265, 435, 11,
     "Readme.txt"},
}};

enum class WindowState { Normal, Minimized, Maximized };

// What the window's behaviour needs of the native window beyond the controls the Manager uses.
class WindowPort {
public:
    virtual ~WindowPort() = default;
    virtual void SetCaption(std::string_view text) = 0;
    virtual void Show() = 0;
    virtual void Hide() = 0;
    virtual bool IsVisible() const = 0;
    virtual WindowState GetState() const = 0;
    virtual void SetState(WindowState state) = 0;
    virtual void BringToFront() = 0;
    // False when there is no notification area to hold the icon.
    virtual bool AddTrayIcon(std::string_view tip) = 0;
    virtual void RemoveTrayIcon() = 0;
    // Replaces the icon's tool-tip; shows a notice beside the icon (a balloon), for a while.
    virtual void SetTrayTip(std::string_view tip) = 0;
    virtual void ShowTrayNotice(std::string_view title, std::string_view text) = 0;
    // Pops up mnuListBox at a position given in the list box's own pixels.
    virtual void ShowListMenu(int32_t x, int32_t y) = 0;
    virtual std::string ItemText() const = 0;
    // Initialize on every skinned button, in the window's control order.
    virtual void InitialiseButtons() = 0;
};

// The native main window: its controls as the Manager sees them, and the window itself.
class NativeMainWindow : public MainForm, public WindowPort {
public:
    bool Hidden() const override { return !IsVisible(); }
};

std::string CaptionText(const VersionInfo& version);
// The caption with what guards after a dash: "... Build 15 — guarding (polling)".
std::string WindowTitle(const VersionInfo& version, GuardMode mode);
// The tool-tip as the tray record holds it: the product name padded with spaces to 64.
std::string TrayTipText(std::string_view productName);
// The tool-tip the icon carries: the window's title, then the cuts since start.
std::string TrayStatusTip(const VersionInfo& version, GuardMode mode, uint64_t cuts);

// The tray's notices of cuts while the window is hidden: the first at once, then at most one
// every kGap, naming the latest cut held and counting the others.
class CutNotices {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kGap = std::chrono::seconds(5);

    // count cuts, the last of them described by latest (a connection and its rule).
    void Add(uint64_t count, std::string latest);
    // The notice to show now, if one is due.
    std::optional<std::string> Due(Clock::time_point now);
    // The window is in sight: what is held goes untold.
    void Drop() { held_ = 0; }
    uint64_t Held() const { return held_; }

private:
    uint64_t held_ = 0;
    std::string latest_;
    std::optional<Clock::time_point> last_;
};

// The tray message carried in a mouse-move's X, converted back from the window's scale.
int32_t TrayMessageFromX(double x, bool scaleIsPixels, double twipsPerPixelX);

// frmMain's behaviour: what every event of the main window does.
class frmMain {
public:
    explicit frmMain(Application& app);

    void Attach(NativeMainWindow& window) { window_ = &window; }
    NativeMainWindow* Window() const { return window_; }

    void OnLoad();
    void OnResize();
    // Answers whether the close goes ahead (it always does).
    bool OnQueryUnload();
    void OnClick(ControlId control);
    void OnListMouseUp(MouseButton button, int32_t x, int32_t y);
    void OnDeleteMenu();
    // The keyboard's ways to the same ends: Enter in txtItem clicks cmdAdd, Delete in lstMain
    // is mnuDelete; each only while the list shown is one the user edits.
    void OnItemEnter();
    void OnListDelete();
    bool EditingAllowed() const;
    void OnTrayMessage(int32_t message);
    // A second start of the program: the window comes back from the tray, in front.
    void OnShowRequested();
    // While the window is hidden in the tray: text as a tray notice, and true. False while it
    // shows (a box says it then).
    bool NoticeWhileHidden(std::string_view text);
    // count cuts, the last of them described by latest; told in a notice while hidden.
    void OnCuts(uint64_t count, std::string latest);
    // After each tick: the title follows the mode, the tool-tip the mode and the count (a changed
    // count at most once every kTipGap, as a tip costs the desktop a round trip), and a notice
    // falls due.
    void OnTick(const std::function<std::chrono::steady_clock::time_point()>& clock);
    static constexpr std::chrono::seconds kTipGap{1};

    void TrayOn();
    void TrayOff();
    bool TrayIconShown() const { return trayShown_; }

    // What Visit Website opens: this page, or when there is none the folder of the read-me (the
    // installed documents).
    std::string Website = std::string(WebsiteAddress);

private:
    // Back from the tray by any path: the lines a hidden window did not make.
    void ShowLinesAgain();

    Application& app_;
    NativeMainWindow* window_ = nullptr;
    bool trayShown_ = false;
    GuardMode titleMode_ = GuardMode::Polling;
    GuardMode tipMode_ = GuardMode::Polling;
    uint64_t tipCuts_ = 0;
    std::optional<std::chrono::steady_clock::time_point> tipAt_;
    CutNotices notices_;
};

} // namespace kt

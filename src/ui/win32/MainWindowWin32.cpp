#include "ui/win32/MainWindowWin32.h"

#include "core/win32/WideText.h"
#include "ui/win32/MainWindowText.h"
#include "ui/win32/Resources.h"

#include <commctrl.h>

#include <algorithm>
#include <cwctype>
#include <numeric>

namespace kt::win32 {

namespace {

constexpr COLORREF HeadBackColour = RGB(92, 197, 231);
constexpr COLORREF ListBackColour = RGB(180, 226, 243);
constexpr COLORREF ListTextColour = RGB(0, 0, 0);
constexpr SIZE BackgroundSize{789, 461};

const ButtonFont ButtonCaptionFont{"MS Sans Serif", 8.25, FW_NORMAL, false, false, false};
const ButtonFont TextFont{"Arial", 8.25, FW_NORMAL, false, false, false};
const ButtonFont HeadFont{"Arial", 8.25, FW_BOLD, false, false, false};

constexpr size_t IndexOf(ControlId id) {
    return static_cast<size_t>(id);
}

std::string WindowText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    if (length <= 0) {
        return {};
    }
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    return ToUtf8(text).value_or(std::string{});
}

} // namespace

static_assert(IndexOf(ControlId::cmdReadme) == MainWindowControls.size() - 1);

int TwipsToPixels(int32_t twips, int dpi) {
    return MulDiv(twips, dpi, 1440);
}

Win32MainWindow::Win32MainWindow(Key, HINSTANCE instance, WinHost& host, frmMain& behaviour)
    : instance_(instance), host_(host), behaviour_(behaviour) {}

std::unique_ptr<Win32MainWindow> Win32MainWindow::Create(HINSTANCE instance, WinHost& host,
                                                         frmMain& behaviour) {
    INITCOMMONCONTROLSEX common{sizeof common, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&common);

    auto self = std::make_unique<Win32MainWindow>(Key{}, instance, host, behaviour);
    {
        WindowDc screen(nullptr);
        if (screen.get() != nullptr) {
            self->dpiX_ = GetDeviceCaps(screen.get(), LOGPIXELSX);
            self->dpiY_ = GetDeviceCaps(screen.get(), LOGPIXELSY);
        }
    }
    self->icon_.reset(static_cast<HICON>(
        LoadImageW(instance, MAKEINTRESOURCEW(KT_IDI_MAIN), IMAGE_ICON, 32, 32, 0)));
    self->smallIcon_.reset(static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(KT_IDI_MAIN),
                                                         IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                         GetSystemMetrics(SM_CYSMICON), 0)));
    self->background_.reset(static_cast<HBITMAP>(LoadImageW(
        instance, MAKEINTRESOURCEW(KT_IDB_BACKGROUND), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
    if (!self->pictures_.Load(instance) || !self->background_) {
        return nullptr;
    }

    WNDCLASSEXW wc{};
    if (!GetClassInfoExW(instance, ClassName, &wc)) {
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &Win32MainWindow::WindowProc;
        wc.hInstance = instance;
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.lpszClassName = ClassName;
        if (RegisterClassExW(&wc) == 0) {
            return nullptr;
        }
    }

    // A fixed frame that can be minimized and closed, but not maximized or resized.
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    const DWORD exStyle = WS_EX_CONTROLPARENT;
    RECT frame{0, 0, TwipsToPixels(ClientWidthTwips, self->dpiX_),
               TwipsToPixels(ClientHeightTwips, self->dpiY_)};
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    const std::wstring caption = Wide(StoredCaption);
    HWND window = CreateWindowExW(exStyle, ClassName, caption.c_str(), style, x, y, width, height,
                                  nullptr, nullptr, instance, self.get());
    if (window == nullptr) {
        return nullptr;
    }
    host.SetMessageFilter(self.get());
    return self;
}

Win32MainWindow::~Win32MainWindow() {
    host_.ClearMessageFilter(this);
    // The children go with the window, while their owners here are still alive; WM_NCDESTROY
    // lets go of the handle.
    if (window_) {
        DestroyWindow(window_.get());
    }
}

LRESULT CALLBACK Win32MainWindow::WindowProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    Win32MainWindow* self = nullptr;
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        self = static_cast<Win32MainWindow*>(create->lpCreateParams);
        self->window_.reset(window);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<Win32MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    }
    if (self == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        (void)self->window_.release();
        self->ready_ = false;
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return self->HandleMessage(window, message, wParam, lParam);
}

bool Win32MainWindow::CreateControls(HWND window) {
    backgroundDc_.reset(CreateCompatibleDC(nullptr));
    if (!backgroundDc_) {
        return false;
    }
    SelectObject(backgroundDc_.get(), background_.get());

    arial_ = CreateButtonFont(TextFont);
    arialBold_ = CreateButtonFont(HeadFont);
    sansSerif_ = CreateButtonFont(ButtonCaptionFont);
    headBrush_.reset(CreateSolidBrush(HeadBackColour));
    listBrush_.reset(CreateSolidBrush(ListBackColour));

    listMenu_.reset(CreatePopupMenu());
    if (!listMenu_) {
        return false;
    }
    const std::wstring deleteText = Wide(DeleteMenuText);
    AppendMenuW(listMenu_.get(), MF_STRING, DeleteMenuId, deleteText.c_str());

    for (size_t i = 0; i < MainWindowControls.size(); ++i) {
        const ControlLayout& c = MainWindowControls[i];
        const int id = FirstControlId + static_cast<int>(i);
        const RECT place{TwipsToPixels(c.Left, dpiX_), TwipsToPixels(c.Top, dpiY_),
                         TwipsToPixels(c.Left, dpiX_) + TwipsToPixels(c.Width, dpiX_),
                         TwipsToPixels(c.Top, dpiY_) + TwipsToPixels(c.Height, dpiY_)};
        const std::wstring text = Wide(c.Text);
        const DWORD child = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
        auto make = [&](DWORD exStyle, const wchar_t* cls, DWORD style, HFONT font) {
            HWND control = CreateWindowExW(
                exStyle, cls, text.c_str(), child | style, place.left, place.top,
                place.right - place.left, place.bottom - place.top, window,
                reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
            if (control != nullptr) {
                SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
            }
            return control;
        };
        switch (c.Kind) {
        case ControlKind::CheckBox:
            controls_[i] = make(0, L"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP, sansSerif_.get());
            SendMessageW(controls_[i], BM_SETCHECK, BST_CHECKED, 0);
            break;
        case ControlKind::TextBox:
            if (c.Id == ControlId::txtHead) {
                controls_[i] =
                    make(WS_EX_CLIENTEDGE, L"EDIT",
                         ES_CENTER | ES_READONLY | ES_AUTOHSCROLL | WS_TABSTOP, arialBold_.get());
            } else {
                controls_[i] =
                    make(WS_EX_CLIENTEDGE, L"EDIT", ES_AUTOHSCROLL | WS_TABSTOP, arial_.get());
                if (controls_[i] != nullptr) {
                    SetWindowSubclass(controls_[i], &Win32MainWindow::ItemProc, 1,
                                      reinterpret_cast<DWORD_PTR>(this));
                }
            }
            break;
        case ControlKind::ListBox:
            controls_[i] =
                make(WS_EX_CLIENTEDGE, L"LISTBOX",
                     LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_TABSTOP, arial_.get());
            if (controls_[i] != nullptr) {
                SetWindowSubclass(controls_[i], &Win32MainWindow::ListProc, 1,
                                  reinterpret_cast<DWORD_PTR>(this));
            }
            break;
        case ControlKind::Label:
            controls_[i] = make(0, L"STATIC", SS_LEFT, arial_.get());
            break;
        case ControlKind::Button: {
            buttons_[i] =
                CommandWindow::Create(window, instance_, id, place, pictures_, ButtonCaptionFont,
                                      [this, control = c.Id] { behaviour_.OnClick(control); });
            if (buttons_[i]) {
                controls_[i] = buttons_[i]->Handle();
                // The button's saved settings, read as a form loads its controls.
                savedButtons_[i].Write("Caption", Value(std::string(c.Text)));
                savedButtons_[i].WriteFont("Font", ButtonCaptionFont);
                buttons_[i]->Model().ReadProperties(savedButtons_[i]);
            }
            break;
        }
        }
        if (controls_[i] == nullptr) {
            return false;
        }
    }

    // Tab goes through the controls in tab-index order, which is their z-order.
    std::array<size_t, MainWindowControls.size()> order{};
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [](size_t a, size_t b) {
        return MainWindowControls[a].TabIndex < MainWindowControls[b].TabIndex;
    });
    HWND after = HWND_TOP;
    for (size_t index : order) {
        SetWindowPos(controls_[index], after, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOREDRAW);
        after = controls_[index];
    }

    if (icon_) {
        SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_.get()));
    }
    if (smallIcon_) {
        SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_.get()));
    }
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
    bringBack_ = RegisterWindowMessageW(BringBackMessageName);
    // A second start that is not elevated may still ask an elevated window to come back.
    if (bringBack_ != 0) {
        ChangeWindowMessageFilterEx(window, bringBack_, MSGFLT_ALLOW, nullptr);
    }
    return true;
}

LRESULT Win32MainWindow::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        if (!CreateControls(window)) {
            return -1;
        }
        ready_ = true;
        return 0;
    case WM_SIZE:
        if (ready_) {
            behaviour_.OnResize();
        }
        return 0;
    case WM_CLOSE:
        Close();
        return 0;
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        // The process may be ended as soon as this returns: close now, as the user would.
        if (wParam != FALSE) {
            Close();
        }
        return 0;
    case WM_DESTROY:
        ready_ = false;
        RemoveTrayIcon();
        return 0;
    case WM_ERASEBKGND:
        PaintBackground(reinterpret_cast<HDC>(wParam));
        return 1;
    case WM_PRINTCLIENT:
        PaintBackground(reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_ACTIVATE:
        // Keyboard focus leaves with the window and comes back to the same control.
        if (LOWORD(wParam) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus != nullptr && IsChild(window, focus)) {
                lastFocus_ = focus;
            }
        } else {
            HWND target = lastFocus_ != nullptr && IsWindow(lastFocus_)
                              ? lastFocus_
                              : GetNextDlgTabItem(window, nullptr, FALSE);
            if (target != nullptr) {
                SetFocus(target);
            }
        }
        return 0;
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (id == DeleteMenuId && HIWORD(wParam) == 0) {
            if (DeleteMenuEnabled()) {
                behaviour_.OnDeleteMenu();
            }
            return 0;
        }
        if (id == FirstControlId + static_cast<int>(IndexOf(ControlId::chkShowX)) &&
            HIWORD(wParam) == BN_CLICKED) {
            behaviour_.OnClick(ControlId::chkShowX);
            return 0;
        }
        break;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
        return ControlColours(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam),
                              message, wParam, lParam);
    case TrayCallbackMessage:
        if (wParam == TrayIconId) {
            // The mouse message that happened over the icon.
            behaviour_.OnTrayMessage(static_cast<int32_t>(LOWORD(lParam)));
        }
        return 0;
    default:
        if (bringBack_ != 0 && message == bringBack_) {
            if (ready_) {
                behaviour_.OnShowRequested();
            }
            return 0;
        }
        if (taskbarCreated_ != 0 && message == taskbarCreated_ && trayIconPresent_) {
            // A restarted shell has forgotten the icon.
            trayIconPresent_ = false;
            AddTrayIcon(ToUtf8(trayTip_).value_or(std::string{}));
            return 0;
        }
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void Win32MainWindow::Close() {
    if (ready_ && behaviour_.OnQueryUnload()) {
        DestroyWindow(window_.get());
    }
}

LRESULT Win32MainWindow::ControlColours(HDC dc, HWND control, UINT message, WPARAM wParam,
                                        LPARAM lParam) {
    if (control == Control(ControlId::txtHead)) {
        SetBkColor(dc, HeadBackColour);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        return reinterpret_cast<LRESULT>(headBrush_.get());
    }
    if (control == Control(ControlId::lstMain)) {
        SetBkColor(dc, ListBackColour);
        SetTextColor(dc, ListTextColour);
        return reinterpret_cast<LRESULT>(listBrush_.get());
    }
    if (control == Control(ControlId::chkShowX)) {
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    }
    return DefWindowProcW(window_.get(), message, wParam, lParam);
}

void Win32MainWindow::PaintBackground(HDC dc) {
    if (backgroundDc_) {
        BitBlt(dc, 0, 0, BackgroundSize.cx, BackgroundSize.cy, backgroundDc_.get(), 0, 0, SRCCOPY);
    }
}

LRESULT CALLBACK Win32MainWindow::ItemProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                           UINT_PTR id, DWORD_PTR data) {
    auto* self = reinterpret_cast<Win32MainWindow*>(data);
    switch (message) {
    case WM_GETDLGCODE: {
        // Enter is the box's own, not the dialog manager's default button.
        const auto* key = reinterpret_cast<const MSG*>(lParam);
        const LRESULT code = DefSubclassProc(window, message, wParam, lParam);
        if (key != nullptr && key->message == WM_KEYDOWN && key->wParam == VK_RETURN) {
            return code | DLGC_WANTMESSAGE;
        }
        return code;
    }
    case WM_KEYDOWN:
        if (wParam == VK_RETURN) {
            if (self->ready_) {
                self->behaviour_.OnItemEnter();
            }
            return 0;
        }
        break;
    case WM_CHAR:
        // A single-line box beeps at the carriage return Enter makes.
        if (wParam == L'\r') {
            return 0;
        }
        break;
    case WM_NCDESTROY:
        RemoveWindowSubclass(window, &Win32MainWindow::ItemProc, id);
        break;
    default:
        break;
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

HWND Win32MainWindow::Control(ControlId id) const {
    return controls_[IndexOf(id)];
}

CommandWindow* Win32MainWindow::Button(ControlId id) const {
    return buttons_[IndexOf(id)].get();
}

void Win32MainWindow::SetHeadText(std::string_view text) {
    SetWindowTextW(Control(ControlId::txtHead), Wide(text).c_str());
}

void Win32MainWindow::SetItemBoxEnabled(bool enabled) {
    EnableWindow(Control(ControlId::txtItem), enabled ? TRUE : FALSE);
}

void Win32MainWindow::SetAddButtonEnabled(bool enabled) {
    if (CommandWindow* add = Button(ControlId::cmdAdd)) {
        add->Model().SetEnabled(enabled);
    }
}

Value Win32MainWindow::ShowConnectedValue() const {
    const bool checked =
        SendMessageW(Control(ControlId::chkShowX), BM_GETCHECK, 0, 0) == BST_CHECKED;
    return Value(static_cast<int16_t>(checked ? 1 : 0));
}

void Win32MainWindow::SetCaption(std::string_view text) {
    SetWindowTextW(window_.get(), Wide(text).c_str());
}

void Win32MainWindow::Show() {
    ShowWindow(window_.get(), SW_SHOW);
    UpdateWindow(window_.get());
}

void Win32MainWindow::Hide() {
    ShowWindow(window_.get(), SW_HIDE);
}

bool Win32MainWindow::IsVisible() const {
    return IsWindowVisible(window_.get()) != FALSE;
}

WindowState Win32MainWindow::GetState() const {
    if (IsIconic(window_.get())) {
        return WindowState::Minimized;
    }
    if (IsZoomed(window_.get())) {
        return WindowState::Maximized;
    }
    return WindowState::Normal;
}

void Win32MainWindow::SetState(WindowState state) {
    switch (state) {
    case WindowState::Minimized:
        ShowWindow(window_.get(), SW_MINIMIZE);
        break;
    case WindowState::Maximized:
        ShowWindow(window_.get(), SW_MAXIMIZE);
        break;
    case WindowState::Normal:
        ShowWindow(window_.get(), SW_RESTORE);
        break;
    }
}

void Win32MainWindow::BringToFront() {
    SetForegroundWindow(window_.get());
}

std::string Win32MainWindow::ItemText() const {
    return WindowText(Control(ControlId::txtItem));
}

void Win32MainWindow::InitialiseButtons() {
    for (auto& button : buttons_) {
        if (button) {
            button->Model().Initialize();
        }
    }
}

bool Win32MainWindow::PreTranslateMessage(MSG& message) {
    HWND window = window_.get();
    if (window == nullptr || (message.hwnd != window && !IsChild(window, message.hwnd))) {
        return false;
    }
    if (message.message == WM_SYSCHAR) {
        // Alt and a button's access key; the first button in control order that has it.
        const auto key = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(message.wParam)));
        for (auto& button : buttons_) {
            if (button && button->AccessKey() != 0 &&
                static_cast<wchar_t>(std::towupper(static_cast<wint_t>(button->AccessKey()))) ==
                    key) {
                button->Model().OnAccessKey();
                return true;
            }
        }
    }
    // Tab, Shift+Tab and the arrow keys between the controls.
    return IsDialogMessageW(window, &message) != FALSE;
}

bool BringBackRunningWindow(std::chrono::milliseconds wait) {
    const UINT message = RegisterWindowMessageW(BringBackMessageName);
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(wait.count());
    for (;;) {
        if (HWND running = FindWindowW(Win32MainWindow::ClassName, nullptr)) {
            // This start came from the user: it may hand the foreground on to the window.
            DWORD owner = 0;
            GetWindowThreadProcessId(running, &owner);
            AllowSetForegroundWindow(owner);
            return message != 0 && PostMessageW(running, message, 0, 0) != FALSE;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        ::Sleep(50);
    }
}

std::unique_ptr<NativeMainWindow> Win32WindowFactory::LoadMainWindow(frmMain& behaviour) {
    return Win32MainWindow::Create(instance_, host_, behaviour);
}

} // namespace kt::win32

#include "ui/win32/MainWindowWin32.h"

#include "core/win32/WideText.h"
#include "ui/win32/Resources.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <cwctype>
#include <numeric>
#include <unordered_map>
#include <vector>

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

std::wstring Wide(std::string_view text) {
    return ToWide(text).value_or(std::wstring{});
}

std::wstring ListText(HWND list, int32_t row) {
    const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(row), 0);
    if (length == LB_ERR || length < 0) {
        return {};
    }
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const LRESULT copied = SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(row),
                                        reinterpret_cast<LPARAM>(text.data()));
    text.resize(copied == LB_ERR ? 0 : static_cast<size_t>(copied));
    return text;
}

// No painting while the rows change; one repaint afterwards.
class RedrawOff {
public:
    explicit RedrawOff(HWND window) : window_(window) {
        SendMessageW(window_, WM_SETREDRAW, FALSE, 0);
    }
    ~RedrawOff() {
        SendMessageW(window_, WM_SETREDRAW, TRUE, 0);
        RedrawWindow(window_, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE);
    }
    RedrawOff(const RedrawOff&) = delete;
    RedrawOff& operator=(const RedrawOff&) = delete;

private:
    HWND window_;
};

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

LRESULT CALLBACK Win32MainWindow::ListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                           UINT_PTR id, DWORD_PTR data) {
    auto* self = reinterpret_cast<Win32MainWindow*>(data);
    switch (message) {
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP: {
        const LRESULT result = DefSubclassProc(window, message, wParam, lParam);
        const MouseButton button = message == WM_LBUTTONUP   ? MouseButton::Left
                                   : message == WM_RBUTTONUP ? MouseButton::Right
                                                             : MouseButton::Middle;
        self->OnListMouseUp(button, lParam);
        return result;
    }
    case WM_KEYDOWN:
        if (wParam == VK_DELETE) {
            if (self->ready_) {
                self->behaviour_.OnListDelete();
            }
            return 0;
        }
        break;
    case WM_NCDESTROY:
        RemoveWindowSubclass(window, &Win32MainWindow::ListProc, id);
        break;
    default:
        break;
    }
    return DefSubclassProc(window, message, wParam, lParam);
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

void Win32MainWindow::OnListMouseUp(MouseButton button, LPARAM lParam) {
    if (ready_) {
        behaviour_.OnListMouseUp(button, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
    }
}

bool Win32MainWindow::DeleteMenuEnabled() const {
    const UINT state = GetMenuState(listMenu_.get(), DeleteMenuId, MF_BYCOMMAND);
    return state != static_cast<UINT>(-1) && (state & (MF_GRAYED | MF_DISABLED)) == 0;
}

HWND Win32MainWindow::Control(ControlId id) const {
    return controls_[IndexOf(id)];
}

CommandWindow* Win32MainWindow::Button(ControlId id) const {
    return buttons_[IndexOf(id)].get();
}

void Win32MainWindow::ClearListRows() {
    SendMessageW(Control(ControlId::lstMain), LB_RESETCONTENT, 0, 0);
}

void Win32MainWindow::AppendListRow(std::string_view text) {
    const std::wstring row = Wide(text);
    SendMessageW(Control(ControlId::lstMain), LB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(row.c_str()));
}

int32_t Win32MainWindow::ListRowCount() const {
    const LRESULT count = SendMessageW(Control(ControlId::lstMain), LB_GETCOUNT, 0, 0);
    return count == LB_ERR ? 0 : static_cast<int32_t>(count);
}

std::string Win32MainWindow::ListRowText(int32_t row) const {
    return ToUtf8(ListText(Control(ControlId::lstMain), row)).value_or(std::string{});
}

void Win32MainWindow::ReplaceListRows(int32_t first, int32_t count,
                                      std::span<const std::string> texts) {
    HWND list = Control(ControlId::lstMain);
    const int32_t total = ListRowCount();
    first = std::clamp(first, 0, total);
    count = std::clamp(count, 0, total - first);
    const int32_t end = first + count;
    const auto added = static_cast<int32_t>(texts.size());
    std::vector<std::wstring> before;
    before.reserve(static_cast<size_t>(count));
    for (int32_t row = first; row < end; ++row) {
        before.push_back(ListText(list, row));
    }
    std::vector<std::wstring> after;
    after.reserve(texts.size());
    size_t bytes = 0;
    for (const std::string& text : texts) {
        after.push_back(Wide(text));
        bytes += (after.back().size() + 1) * sizeof(wchar_t);
    }
    // The last place of each line on either side: whether a line comes again further on.
    std::unordered_map<std::wstring_view, int32_t> lastBefore;
    std::unordered_map<std::wstring_view, int32_t> lastAfter;
    for (int32_t i = 0; i < count; ++i) {
        lastBefore[before[static_cast<size_t>(i)]] = i;
    }
    for (int32_t j = 0; j < added; ++j) {
        lastAfter[after[static_cast<size_t>(j)]] = j;
    }
    const auto comesAgain = [](const auto& last, const std::wstring& text, int32_t from) {
        const auto found = last.find(text);
        return found != last.end() && found->second >= from;
    };

    // Rows outside the range only move; inside it, a line kept keeps the selection or the top.
    const LRESULT selected = SendMessageW(list, LB_GETCURSEL, 0, 0);
    const LRESULT top = SendMessageW(list, LB_GETTOPINDEX, 0, 0);
    const auto outside = [&](LRESULT row) -> int32_t {
        if (row == LB_ERR || row < 0 || row >= total || (row >= first && row < end)) {
            return -1;
        }
        return row < first ? static_cast<int32_t>(row) : static_cast<int32_t>(row) - count + added;
    };
    int32_t newSelected = outside(selected);
    int32_t newTop = outside(top);

    const RedrawOff quiet(list);
    if (added > count) {
        // One allocation for the new rows rather than one each.
        SendMessageW(list, LB_INITSTORAGE, static_cast<WPARAM>(added - count),
                     static_cast<LPARAM>(bytes));
    }
    const auto insert = [&](int32_t row, const std::wstring& text) {
        SendMessageW(list, LB_INSERTSTRING, static_cast<WPARAM>(row),
                     reinterpret_cast<LPARAM>(text.c_str()));
    };
    // A greedy walk over both sides: a shift by a few lines costs a few deletes or inserts.
    int32_t i = 0;
    int32_t j = 0;
    int32_t row = first;
    while (i < count || j < added) {
        const int32_t old = first + i;
        const std::wstring* gone = i < count ? &before[static_cast<size_t>(i)] : nullptr;
        const std::wstring* fresh = j < added ? &after[static_cast<size_t>(j)] : nullptr;
        if (gone != nullptr && fresh != nullptr && *gone == *fresh) {
            newSelected = old == selected ? row : newSelected;
            newTop = old == top ? row : newTop;
            ++i, ++j, ++row;
            continue;
        }
        if (gone != nullptr && old == top) {
            newTop = row; // the next line moves up into the top place
        }
        if (gone != nullptr && (fresh == nullptr || !comesAgain(lastAfter, *gone, j))) {
            SendMessageW(list, LB_DELETESTRING, static_cast<WPARAM>(row), 0);
            ++i;
        } else if (gone == nullptr || !comesAgain(lastBefore, *fresh, i)) {
            insert(row++, *fresh);
            ++j;
        } else {
            SendMessageW(list, LB_DELETESTRING, static_cast<WPARAM>(row), 0);
            insert(row++, *fresh);
            ++i, ++j;
        }
    }
    if (selected != LB_ERR || newSelected >= 0) {
        SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(newSelected), 0);
    }
    // After the selection, which scrolls itself into view.
    if (newTop >= 0) {
        SendMessageW(list, LB_SETTOPINDEX, static_cast<WPARAM>(newTop), 0);
    }
}

bool Win32MainWindow::ListRowSelected(int32_t row) const {
    return SendMessageW(Control(ControlId::lstMain), LB_GETCURSEL, 0, 0) == row;
}

void Win32MainWindow::SetHeadText(std::string_view text) {
    SetWindowTextW(Control(ControlId::txtHead), Wide(text).c_str());
}

void Win32MainWindow::SetItemBoxEnabled(bool enabled) {
    EnableWindow(Control(ControlId::txtItem), enabled ? TRUE : FALSE);
}

void Win32MainWindow::SetDeleteMenuEnabled(bool enabled) {
    EnableMenuItem(listMenu_.get(), DeleteMenuId,
                   MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
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

namespace {

// The icon's record as every tray call names it: this window's one icon.
NOTIFYICONDATAW TrayData(HWND window, UINT flags) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = TrayIconId;
    data.uFlags = flags;
    return data;
}

// Copies as much of text as the record's field holds, NUL-terminated.
template <size_t N> void CopyInto(wchar_t (&field)[N], const std::wstring& text) {
    std::copy_n(text.begin(), std::min(text.size(), N - 1), field);
}

} // namespace

bool Win32MainWindow::AddTrayIcon(std::string_view tip) {
    if (!window_) {
        return false;
    }
    NOTIFYICONDATAW data = TrayData(window_.get(), NIF_MESSAGE | NIF_ICON | NIF_TIP);
    data.uCallbackMessage = TrayCallbackMessage;
    data.hIcon = icon_.get();
    trayTip_ = Wide(tip);
    CopyInto(data.szTip, trayTip_);
    trayIconPresent_ = Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
    return trayIconPresent_;
}

void Win32MainWindow::RemoveTrayIcon() {
    if (!trayIconPresent_ || !window_) {
        return;
    }
    NOTIFYICONDATAW data = TrayData(window_.get(), 0);
    Shell_NotifyIconW(NIM_DELETE, &data);
    trayIconPresent_ = false;
}

void Win32MainWindow::SetTrayTip(std::string_view tip) {
    trayTip_ = Wide(tip);
    if (!trayIconPresent_ || !window_) {
        return;
    }
    NOTIFYICONDATAW data = TrayData(window_.get(), NIF_TIP);
    CopyInto(data.szTip, trayTip_);
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

void Win32MainWindow::ShowTrayNotice(std::string_view title, std::string_view text) {
    if (!trayIconPresent_ || !window_) {
        return;
    }
    NOTIFYICONDATAW data = TrayData(window_.get(), NIF_INFO);
    data.dwInfoFlags = NIIF_INFO;
    CopyInto(data.szInfoTitle, Wide(title));
    CopyInto(data.szInfo, Wide(text));
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

void Win32MainWindow::ShowListMenu(int32_t x, int32_t y) {
    POINT at{x, y};
    ClientToScreen(Control(ControlId::lstMain), &at);
    // The choice comes back as WM_COMMAND, after the menu has closed.
    TrackPopupMenu(listMenu_.get(), TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0,
                   window_.get(), nullptr);
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

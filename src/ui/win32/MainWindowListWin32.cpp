// frmMain's list of lines on Win32: its rows, the selection and scroll position kept as the rows
// change, its mouse and key messages and its pop-up menu.
#include "ui/win32/MainWindowWin32.h"

#include "core/win32/WideText.h"
#include "ui/win32/MainWindowText.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <unordered_map>
#include <vector>

namespace kt::win32 {

namespace {

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

} // namespace

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

void Win32MainWindow::OnListMouseUp(MouseButton button, LPARAM lParam) {
    if (ready_) {
        behaviour_.OnListMouseUp(button, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
    }
}

bool Win32MainWindow::DeleteMenuEnabled() const {
    const UINT state = GetMenuState(listMenu_.get(), DeleteMenuId, MF_BYCOMMAND);
    return state != static_cast<UINT>(-1) && (state & (MF_GRAYED | MF_DISABLED)) == 0;
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

void Win32MainWindow::SetDeleteMenuEnabled(bool enabled) {
    EnableMenuItem(listMenu_.get(), DeleteMenuId,
                   MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
}

void Win32MainWindow::ShowListMenu(int32_t x, int32_t y) {
    POINT at{x, y};
    ClientToScreen(Control(ControlId::lstMain), &at);
    // The choice comes back as WM_COMMAND, after the menu has closed.
    TrackPopupMenu(listMenu_.get(), TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0,
                   window_.get(), nullptr);
}

} // namespace kt::win32

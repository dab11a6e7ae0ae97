// frmMain's icon in the taskbar's notification area on Win32: the icon, its tip and its notices.
#include "ui/win32/MainWindowWin32.h"

#include "core/win32/WideText.h"
#include "ui/win32/MainWindowText.h"

#include <shellapi.h>

#include <algorithm>

namespace kt::win32 {

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

} // namespace kt::win32

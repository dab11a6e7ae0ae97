#include "ui/win32/WinHost.h"

#include "core/win32/WideText.h"
#include "ui/win32/Version.h"

#include <shellapi.h>

#include <vector>

namespace kt::win32 {

WinHost::WinHost(std::wstring instanceName) : instanceName_(std::move(instanceName)) {}

bool WinHost::PreviousInstance() {
    if (instanceMutex_) {
        return false;
    }
    // The mutex lives as long as this host: the copy that created it is the running one.
    SetLastError(ERROR_SUCCESS);
    UniqueHandle mutex(CreateMutexW(nullptr, FALSE, instanceName_.c_str()));
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
        return true;
    }
    instanceMutex_ = std::move(mutex);
    return false;
}

std::string ModuleFolder(HMODULE module) {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    std::wstring_view full(path.data(), path.size());
    const size_t slash = full.find_last_of(L"\\/");
    if (slash == std::wstring_view::npos) {
        return {};
    }
    return ToUtf8(full.substr(0, slash)).value_or(std::string{});
}

std::string WinHost::ApplicationFolder() {
    return ModuleFolder(nullptr);
}

VersionInfo WinHost::Version() {
    VersionInfo version;
    version.ProductName = "Korvan Tessivo";
    version.Major = KT_VERSION_MAJOR;
    version.Minor = KT_VERSION_MINOR;
    version.Revision = KT_VERSION_PATCH;
    return version;
}

HWND WinHost::OwnerWindow() const {
    return filter_ != nullptr ? filter_->OwnerWindow() : nullptr;
}

namespace {

// A timer that lives as long as its scope.
class ScopedTimer {
public:
    ScopedTimer(HWND window, UINT_PTR id, UINT milliseconds, TIMERPROC proc)
        : window_(window), id_(window != nullptr ? SetTimer(window, id, milliseconds, proc) : 0) {}
    ~ScopedTimer() {
        if (id_ != 0) {
            KillTimer(window_, id_);
        }
    }
    ScopedTimer(const ScopedTimer&) = delete;
    ScopedTimer& operator=(const ScopedTimer&) = delete;

private:
    HWND window_;
    UINT_PTR id_;
};

} // namespace

HWND WinHost::ModalTimerWindow() {
    if (!modalTimerWindow_) {
        modalTimerWindow_.reset(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                                nullptr, GetModuleHandleW(nullptr), nullptr));
        if (modalTimerWindow_) {
            SetWindowLongPtrW(modalTimerWindow_.get(), GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(this));
        }
    }
    return modalTimerWindow_.get();
}

void CALLBACK WinHost::OnModalTimer(HWND window, UINT, UINT_PTR, DWORD) {
    if (auto* host = reinterpret_cast<WinHost*>(GetWindowLongPtrW(window, GWLP_USERDATA))) {
        host->RunModalWork();
    }
}

MessageAnswer WinHost::ShowMessage(std::string_view text, MessageButtons buttons) {
    const std::wstring wide = ToWide(text).value_or(L"?");
    const std::wstring title = ToWide(ApplicationTitle).value_or(L"");
    const UINT style = (buttons == MessageButtons::OkCancel ? MB_OKCANCEL : MB_OK);
    // The box's own loop dispatches the timer, so the guard goes on while the user reads; 10 ms
    // is as often as a Windows timer fires.
    const ScopedTimer guard(ModalTimerWindow(), ++lastTimerId_, USER_TIMER_MINIMUM,
                            &WinHost::OnModalTimer);
    const int answer = MessageBoxW(OwnerWindow(), wide.c_str(), title.c_str(), style);
    return answer == IDCANCEL ? MessageAnswer::Cancel : MessageAnswer::Ok;
}

void WinHost::DoEvents() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // Nobody posts it; should the system, it belongs to the next real message loop.
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        if (filter_ != nullptr && filter_->PreTranslateMessage(message)) {
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void WinHost::Sleep(int32_t milliseconds) {
    ::Sleep(milliseconds < 0 ? 0 : static_cast<DWORD>(milliseconds));
}

bool WinHost::ShellOpen(std::string_view target) {
    const auto wide = ToWide(target);
    if (!wide) {
        return false;
    }
    // Above 32 is success; below, the reason (no program is associated with the file, ...).
    return reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", wide->c_str(), nullptr,
                                                   nullptr, SW_SHOWNORMAL)) > 32;
}

void WinHost::End() {
    ExitProcess(0);
}

} // namespace kt::win32

#pragma once

// What the window tests share: a host whose message boxes answer at once, the application built
// on the real window with a memory store and a scripted connection table, and ways to drive the
// window through its messages.

#include "core/Application.h"
#include "fakes/Fakes.h"
#include "manager/Manager.h"
#include "ui/win32/MainWindowWin32.h"
#include "ui/win32/WinHost.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace kt::test {

// The real host but for the message box (a real one would wait for a user, unless realBoxes)
// and what would leave the test: the shell and the end of the process.
class TestHost : public win32::WinHost {
public:
    explicit TestHost(std::wstring instanceName) : WinHost(std::move(instanceName)) {}
    MessageAnswer ShowMessage(std::string_view text, MessageButtons buttons) override {
        messages.emplace_back(text);
        buttonsShown.push_back(buttons);
        ownerAtMessage = OwnerWindow();
        return realBoxes ? WinHost::ShowMessage(text, buttons) : answer;
    }
    bool ShellOpen(std::string_view target) override {
        opened.emplace_back(target);
        return true;
    }
    void End() override { ended = true; }

    MessageAnswer answer = MessageAnswer::Ok;
    bool realBoxes = false;
    std::vector<std::string> messages;
    std::vector<MessageButtons> buttonsShown;
    HWND ownerAtMessage = nullptr;
    std::vector<std::string> opened;
    bool ended = false;
};

// A name no other test run uses, so that runs never see each other as a previous instance.
inline std::wstring UniqueInstanceName(const wchar_t* what) {
    return std::wstring(L"Local\\KorvanTessivoTest.") + what + L"." +
           std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(GetTickCount64());
}

// The application with its real window, started as the program starts; its rules in memory
// unless another store is given.
struct RunningApplication {
    explicit RunningApplication(const wchar_t* name = L"Window", SettingsStore* rules = nullptr)
        : host(UniqueInstanceName(name)), windows(GetModuleHandleW(nullptr), host),
          application(Platform{host, rules != nullptr ? *rules : store, table, windows,
                               [] { return std::string("127.0.0.2 "); }, FormatDottedAddress}) {}

    bool Start() {
        if (!application.StartUp()) {
            return false;
        }
        window = dynamic_cast<win32::Win32MainWindow*>(application.MainWindow()->Window());
        return window != nullptr;
    }
    Manager& manager() { return *application.AppManager; }
    HWND Main() const { return window->Handle(); }
    HWND Control(ControlId id) const { return window->Control(id); }
    void Pump() { host.DoEvents(); }

    testing::MemoryStore store;
    testing::FakeTcpTable table;
    TestHost host;
    win32::Win32WindowFactory windows;
    Application application;
    win32::Win32MainWindow* window = nullptr;
};

inline std::string TextOf(HWND window) {
    wchar_t buffer[512] = {};
    const int length = GetWindowTextW(window, buffer, 512);
    std::string text;
    for (int i = 0; i < length; ++i) {
        text += static_cast<char>(buffer[i] < 128 ? buffer[i] : '?');
    }
    return text;
}

inline void SetText(HWND window, const wchar_t* text) {
    SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

// A left click as the user makes it: the cursor arrives, the button goes down and comes up.
inline void ClickButton(HWND button) {
    SendMessageW(button, WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    SendMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    SendMessageW(button, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
}

inline std::vector<std::string> ListRows(HWND list) {
    std::vector<std::string> rows;
    const auto count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        wchar_t buffer[512] = {};
        SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer));
        std::string text;
        for (const wchar_t* c = buffer; *c != 0; ++c) {
            text += static_cast<char>(*c < 128 ? *c : '?');
        }
        rows.push_back(text);
    }
    return rows;
}

// Writes what the screen shows of a window's client area as a 24-bit BMP file.
bool SaveClientScreenshot(HWND window, const std::wstring& path);

} // namespace kt::test

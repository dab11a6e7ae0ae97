#pragma once

#include "core/HostServices.h"
#include "ui/win32/Handles.h"

#include <windows.h>

#include <string>

namespace kt::win32 {

// Whatever sees a window message before it is dispatched: Tab, access keys and the like.
class MessageFilter {
public:
    virtual ~MessageFilter() = default;
    // True when the message was handled and must not be dispatched.
    virtual bool PreTranslateMessage(MSG& message) = 0;
    // The window that owns the program's message boxes; null when there is none.
    virtual HWND OwnerWindow() const = 0;
};

// The program's host on Windows.
class WinHost : public HostServices {
public:
    // instanceName names the mutex that marks a running copy of the program.
    explicit WinHost(std::wstring instanceName);
    // The timer window knows this object by its address.
    WinHost(const WinHost&) = delete;
    WinHost& operator=(const WinHost&) = delete;

    bool PreviousInstance() override;
    std::string ApplicationFolder() override;
    VersionInfo Version() override;
    MessageAnswer ShowMessage(std::string_view text, MessageButtons buttons) override;
    void DoEvents() override;
    void Sleep(int32_t milliseconds) override;
    bool ShellOpen(std::string_view target) override;
    void End() override;

    // The main window, while it exists; it sees every message first and owns the message boxes.
    void SetMessageFilter(MessageFilter* filter) { filter_ = filter; }
    // Forgets the filter if it is this one.
    void ClearMessageFilter(const MessageFilter* filter) {
        if (filter_ == filter) {
            filter_ = nullptr;
        }
    }
    HWND OwnerWindow() const;

private:
    // Where the timers of open message boxes go: a message-only window that points back here.
    HWND ModalTimerWindow();
    static void CALLBACK OnModalTimer(HWND window, UINT message, UINT_PTR id, DWORD time);

    std::wstring instanceName_;
    UniqueHandle instanceMutex_;
    MessageFilter* filter_ = nullptr;
    UniqueWindow modalTimerWindow_;
    UINT_PTR lastTimerId_ = 0; // a box opened from within another gets a timer of its own
};

// The folder of a module's file, without the trailing backslash; empty when it cannot be read.
std::string ModuleFolder(HMODULE module);

} // namespace kt::win32

#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace kt {

inline constexpr std::string_view ApplicationTitle = "Korvan Tessivo";

enum class MessageButtons { Ok, OkCancel };
enum class MessageAnswer { Ok, Cancel };

struct VersionInfo {
    std::string ProductName = "Korvan Tessivo";
    int32_t Major = 1;
    int32_t Minor = 0;
    int32_t Revision = 15;
};

// What the program needs of its host: runtime, message boxes and the message pump.
class HostServices {
public:
    virtual ~HostServices() = default;
    virtual bool PreviousInstance() = 0;
    virtual std::string ApplicationFolder() = 0;
    // What ends a folder's path: a backslash on Windows.
    virtual char PathSeparator() const { return '\\'; }
    virtual VersionInfo Version() { return {}; }
    // Shows text under the application title and waits; window messages keep being delivered,
    // and the box's own loop runs the modal work as often as the platform's timers allow.
    virtual MessageAnswer ShowMessage(std::string_view text, MessageButtons buttons) = 0;
    // What must go on while a message box is open: the guard's tick.
    void SetModalWork(std::function<void()> work) { modalWork_ = std::move(work); }
    // Processes every pending window message, then returns.
    virtual void DoEvents() = 0;
    virtual void Sleep(int32_t milliseconds) = 0;
    // Runs window messages until there is something to do: a window event, wakeHandle readable
    // (the table changed), or maxMilliseconds passed. Hosts that cannot wait poll: a 1 ms sleep
    // and one message pass.
    virtual void WaitForWork(int32_t maxMilliseconds, int wakeHandle) {
        (void)maxMilliseconds;
        (void)wakeHandle;
        Sleep(1);
        DoEvents();
    }
    // From here on a second start of the program calls bringBack on the loop's thread, where
    // the host gives it a way to reach this copy; the window's own way otherwise.
    virtual void ListenForSecondStarts(std::function<void()> bringBack) { (void)bringBack; }
    // The handle given to WaitForWork is about to be closed.
    virtual void ForgetWakeHandle() {}
    // The shell's "Open" verb on a file or web address, not waited for; false when nothing on
    // the desktop took it.
    virtual bool ShellOpen(std::string_view target) = 0;
    // The run is over. A host may end the process here; one that returns lets the caller's
    // owners be destroyed in order (the guard's thread joined, the cut log flushed).
    virtual void End() = 0;
    // One line for whoever started the program (standard error): what it cannot show in a box.
    virtual void Diagnose(std::string_view line) {
        std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(ApplicationTitle.size()),
                     ApplicationTitle.data(), static_cast<int>(line.size()), line.data());
    }

protected:
    void RunModalWork() {
        if (modalWork_) {
            modalWork_();
        }
    }

private:
    std::function<void()> modalWork_;
};

} // namespace kt

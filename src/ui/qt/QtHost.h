#pragma once

#include "core/HostServices.h"

#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QLocalServer;
class QMessageBox;
class QSocketNotifier;

namespace kt {

// The host on Linux: Qt's event loop, message boxes and desktop services.
class QtHost : public HostServices {
public:
    // lockFolder holds the single-instance lock; empty means $XDG_RUNTIME_DIR, or
    // ~/.cache/KorvanTessivo (made 0700, and used only when it is this user's alone).
    // lockName tells apart programs that may run side by side (the window and the service).
    explicit QtHost(QString lockFolder = {},
                    QString lockName = QStringLiteral("KorvanTessivo.lock"));
    ~QtHost() override;
    QtHost(const QtHost&) = delete;
    QtHost& operator=(const QtHost&) = delete;

    // Takes the lock on the first call; true when another running copy holds it, or when it
    // cannot be taken at all (LockRefusal then says why).
    bool PreviousInstance() override;
    const std::string& LockRefusal() const { return lockRefusal_; }
    // The copy that holds the lock listens beside it (a local socket of this user's alone) for
    // a second start, and calls bringBack for each.
    void ListenForSecondStarts(std::function<void()> bringBack) override;
    // The second start: asks the copy that holds the lock to bring its window back. That copy
    // may still be starting: tried again for up to kAnswerTime. False, with why, without its
    // answer.
    bool AskRunningCopyToShow(std::string& why);
    static constexpr std::chrono::seconds kAnswerTime{5};
    std::string ApplicationFolder() override;
    char PathSeparator() const override { return '/'; }
    MessageAnswer ShowMessage(std::string_view text, MessageButtons buttons) override;
    void DoEvents() override;
    void Sleep(int32_t milliseconds) override;
    // Sleeps in Qt's event dispatcher until a window event, the handle readable or the time is
    // up. Table changes wake it at most once per kTableWakeInterval: the kernel guard has cut
    // already, and a tick per change would cost more than it shows.
    void WaitForWork(int32_t maxMilliseconds, int wakeHandle) override;
    void ForgetWakeHandle() override;
    static constexpr std::chrono::milliseconds kTableWakeInterval{10};
    // A path becomes a file URL; anything with a scheme goes to the desktop as it is.
    bool ShellOpen(std::string_view target) override;
    // Releases the lock; the caller ends the process by returning from main().
    void End() override;
    // Answers every message box that is open with Cancel: a stop from outside must not wait
    // for someone to click.
    void CloseMessages();

    QString LockFilePath() const { return lockPath_; }

private:
    void ReleaseLock();
    QString ChannelPath() const;

    QString lockPath_;
    std::unique_ptr<QSocketNotifier> wake_;
    std::unique_ptr<QLocalServer> channel_;
    std::chrono::steady_clock::time_point lastWake_{};
    int lockFd_ = -1;
    std::string lockRefusal_;
    std::vector<QMessageBox*> boxes_; // open, innermost last
};

} // namespace kt

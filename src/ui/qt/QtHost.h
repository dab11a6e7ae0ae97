#pragma once

#include "core/HostServices.h"

#include <QString>

#include <memory>

class QLockFile;

namespace kt {

// The host on Linux: Qt's event loop, message boxes and desktop services.
class QtHost : public HostServices {
public:
    // lockFolder holds the single-instance lock; empty means $XDG_RUNTIME_DIR, or the temporary
    // folder when that is not set.
    explicit QtHost(QString lockFolder = {});
    ~QtHost() override;
    QtHost(const QtHost&) = delete;
    QtHost& operator=(const QtHost&) = delete;

    // Takes the lock on the first call; true when another running copy holds it.
    bool PreviousInstance() override;
    std::string ApplicationFolder() override;
    char PathSeparator() const override { return '/'; }
    MessageAnswer ShowMessage(std::string_view text, MessageButtons buttons) override;
    void DoEvents() override;
    void Sleep(int32_t milliseconds) override;
    // A path becomes a file URL; anything with a scheme goes to the desktop as it is.
    void ShellOpen(std::string_view target) override;
    // Releases the lock and ends the process.
    void End() override;

    QString LockFilePath() const { return lockPath_; }

private:
    QString lockPath_;
    std::unique_ptr<QLockFile> lock_;
};

} // namespace kt

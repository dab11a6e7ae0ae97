#pragma once

// The service's control socket: root and the members of one group read and change the rules the
// service guards by, and watch its connection table and its cuts.

#include "core/linux/UniqueFd.h"
#include "service/ControlClients.h"

#include <QString>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace kt {

class Application;

// The cut log's lines, from the thread that writes them to the control socket's thread.
class CutFeed {
public:
    static constexpr size_t kCapacity = 1024;
    // Any thread; a line beyond kCapacity waiting is dropped.
    void Push(std::string_view line) noexcept;
    // Called, from the pushing thread, when a line waits where none did.
    void SetWake(std::function<void()> wake);
    std::deque<std::string> Take();

private:
    std::mutex lock_;
    std::deque<std::string> lines_;
    std::function<void()> wake_;
};

struct ControlOptions {
    QString path;  // the socket, as the log names it
    QString group; // may use the socket besides root
    ClientLimits limits;
    // After each save of the rules file that succeeded.
    std::function<void()> saved;
};

class ControlServer {
public:
    // A client's change of the rules is saved at once, unless one was saved less than this long
    // ago: then with every other change till the pause is over.
    static constexpr std::chrono::milliseconds kSavePause{500};

    // Serves listening once app has started; Failure() says why not, and then nothing else
    // happens. The socket's path is never removed: it is systemd's, or left for the next start.
    ControlServer(Application& app, CutFeed& cuts, const ControlOptions& options,
                  UniqueFd listening);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    const std::string& Failure() const;
    // Saves a change put off to the end of the pause now: before the file is read again, which
    // must find what the clients changed.
    void SaveNow();
    // Whether changes are in force that the file does not hold yet (a save failed, or waits).
    bool Unsaved() const;
    // The file was changed by someone else and wins: changes not yet saved are not saved, and
    // whoever watches the rules is told which (changes, as RuleChanges words them).
    void FileWon(const std::string& file, const std::string& changes);
    // How long a save that failed waits to be tried again.
    static constexpr std::chrono::milliseconds kSaveRetry{2000};

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kt

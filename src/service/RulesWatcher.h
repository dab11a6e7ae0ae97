#pragma once

#include <QFileSystemWatcher>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>

namespace kt {

// Calls onQuiet once a rules file has stopped changing: its folder is watched too, since editors
// and tools replace a file by renaming another over it, which a watch on the file alone misses.
class RulesWatcher {
public:
    static constexpr std::chrono::milliseconds kQuiet{200};

    RulesWatcher(const QString& file, std::function<void()> onQuiet);
    // Waits for quiet again, as after a change (a reload asked for by signal).
    void Touch();

private:
    void Changed();

    QString file_;
    QFileSystemWatcher watcher_;
    QTimer quiet_;
    std::function<void()> onQuiet_;
};

} // namespace kt

#include "service/RulesWatcher.h"

#include <QFileInfo>

namespace kt {

RulesWatcher::RulesWatcher(const QString& file, std::function<void()> onQuiet)
    : file_(QFileInfo(file).absoluteFilePath()), onQuiet_(std::move(onQuiet)) {
    quiet_.setSingleShot(true);
    quiet_.setInterval(kQuiet);
    QObject::connect(&quiet_, &QTimer::timeout, [this] {
        // A replaced file is a new one: watch it again.
        if (!watcher_.files().contains(file_) && QFileInfo::exists(file_)) {
            watcher_.addPath(file_);
        }
        onQuiet_();
    });
    QObject::connect(&watcher_, &QFileSystemWatcher::fileChanged, [this] { Changed(); });
    QObject::connect(&watcher_, &QFileSystemWatcher::directoryChanged, [this] { Changed(); });
    watcher_.addPath(QFileInfo(file_).absolutePath());
    if (QFileInfo::exists(file_)) {
        watcher_.addPath(file_);
    }
}

void RulesWatcher::Touch() {
    Changed();
}

void RulesWatcher::Changed() {
    quiet_.start(); // restarted by every change until the file rests
}

} // namespace kt

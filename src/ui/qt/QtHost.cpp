#include "ui/qt/QtHost.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QLockFile>
#include <QMessageBox>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <cstdlib>

namespace kt {

namespace {

QString DefaultLockFolder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QDir(runtime).exists()) {
        return runtime;
    }
    return QDir::tempPath();
}

} // namespace

QtHost::QtHost(QString lockFolder) {
    if (lockFolder.isEmpty()) {
        lockFolder = DefaultLockFolder();
    }
    lockPath_ = QDir(lockFolder).filePath(QStringLiteral("KorvanTessivo.lock"));
}

QtHost::~QtHost() = default;

bool QtHost::PreviousInstance() {
    if (lock_ == nullptr) {
        lock_ = std::make_unique<QLockFile>(lockPath_);
        // A lock left by a copy that died is taken over at once (its process is gone).
        lock_->setStaleLockTime(0);
        if (!lock_->tryLock(0)) {
            const bool heldByOther = lock_->error() == QLockFile::LockFailedError;
            lock_.reset();
            // A folder we cannot write to says nothing about another copy.
            return heldByOther;
        }
    }
    return false;
}

std::string QtHost::ApplicationFolder() {
    return QCoreApplication::applicationDirPath().toStdString();
}

MessageAnswer QtHost::ShowMessage(std::string_view text, MessageButtons buttons) {
    QMessageBox box(
        QMessageBox::NoIcon,
        QString::fromUtf8(ApplicationTitle.data(), static_cast<qsizetype>(ApplicationTitle.size())),
        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
        buttons == MessageButtons::OkCancel ? QMessageBox::Ok | QMessageBox::Cancel
                                            : QMessageBox::Ok,
        QApplication::activeWindow());
    box.setDefaultButton(QMessageBox::Ok);
    // The guard goes on while the box waits for its answer.
    QTimer work;
    work.setTimerType(Qt::PreciseTimer);
    work.setInterval(1);
    QObject::connect(&work, &QTimer::timeout, [this] { RunModalWork(); });
    work.start();
    return box.exec() == QMessageBox::Ok ? MessageAnswer::Ok : MessageAnswer::Cancel;
}

void QtHost::DoEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    // Outside exec() nothing else ever runs the deferred deletes (closed menus, message boxes).
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void QtHost::Sleep(int32_t milliseconds) {
    if (milliseconds > 0) {
        QThread::msleep(static_cast<unsigned long>(milliseconds));
    }
}

void QtHost::ShellOpen(std::string_view target) {
    const QString text = QString::fromUtf8(target.data(), static_cast<qsizetype>(target.size()));
    const QUrl url = QDir::isAbsolutePath(text) ? QUrl::fromLocalFile(text) : QUrl(text);
    QDesktopServices::openUrl(url);
}

void QtHost::End() {
    lock_.reset();
    std::fflush(nullptr);
    std::exit(0);
}

} // namespace kt

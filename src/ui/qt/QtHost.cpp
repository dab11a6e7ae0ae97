#include "ui/qt/QtHost.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kt {

namespace {

// A folder of this user's alone: $XDG_RUNTIME_DIR, or one the program makes under ~/.cache.
// Never a shared temporary folder, where anyone could take the lock first.
QString DefaultLockFolder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QDir(runtime).exists()) {
        return runtime;
    }
    const QString cache = QDir::homePath() + QStringLiteral("/.cache/KorvanTessivo");
    const QByteArray path = QFile::encodeName(cache);
    QDir().mkpath(QDir::homePath() + QStringLiteral("/.cache"));
    ::mkdir(path.constData(), 0700);
    struct stat folder {};
    if (::lstat(path.constData(), &folder) != 0 || !S_ISDIR(folder.st_mode) ||
        folder.st_uid != ::geteuid() || (folder.st_mode & 077) != 0) {
        return {};
    }
    return cache;
}

} // namespace

QtHost::QtHost(QString lockFolder, QString lockName) {
    if (lockFolder.isEmpty()) {
        lockFolder = DefaultLockFolder();
    }
    if (!lockFolder.isEmpty()) {
        lockPath_ = QDir(lockFolder).filePath(lockName);
    }
}

QtHost::~QtHost() {
    ReleaseLock();
}

void QtHost::ReleaseLock() {
    // The channel goes first: once the lock is free, the next copy may listen at the same path.
    channel_.reset();
    if (lockFd_ >= 0) {
        ::close(lockFd_);
        lockFd_ = -1;
    }
}

// Only a live holder counts: the kernel drops the lock with the process that held it, and
// whatever the file holds or whoever left it there does not matter.
bool QtHost::PreviousInstance() {
    if (lockFd_ >= 0) {
        return false;
    }
    if (lockPath_.isEmpty()) {
        Diagnose("no folder of this user's own for the instance lock; a second copy may start");
        return false;
    }
    const QByteArray path = QFile::encodeName(lockPath_);
    const int fd =
        ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    // Anything but a lock taken or held by another copy leaves the question open: a copy that
    // started anyway could run beside another one, unseen.
    const auto refuse = [&](const std::string& why) {
        lockRefusal_ = "cannot take the instance lock " + path.toStdString() + ": " + why;
        if (fd >= 0) {
            ::close(fd);
        }
        return true;
    };
    if (fd < 0 && errno == ENOENT) {
        // No lock folder at all: nothing there to run beside, and nothing to lock.
        Diagnose("no folder for the instance lock (" + path.toStdString() +
                 "); a second copy may start");
        return false;
    }
    if (fd < 0) {
        return refuse(std::strerror(errno));
    }
    struct stat file {};
    if (::fstat(fd, &file) != 0 || !S_ISREG(file.st_mode) || file.st_uid != ::geteuid()) {
        return refuse("it is not a regular file of this user's");
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            ::close(fd);
            return true;
        }
        return refuse(std::strerror(errno));
    }
    lockFd_ = fd;
    return false;
}

QString QtHost::ChannelPath() const {
    QString path = lockPath_;
    path.chop(QStringLiteral(".lock").size());
    return path + QStringLiteral(".socket");
}

namespace {

// Only this user (or root) may ask: the folder and the socket's mode keep others out already.
bool SameUser(qintptr socket) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
           (peer.uid == ::geteuid() || peer.uid == 0);
}

constexpr char kAnswer[] = "shown\n";

} // namespace

void QtHost::ListenForSecondStarts(std::function<void()> bringBack) {
    if (lockFd_ < 0) {
        return; // not the copy that holds the lock
    }
    channel_ = std::make_unique<QLocalServer>();
    channel_->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket left by a copy that ended without closing it; the lock says none runs.
    QLocalServer::removeServer(ChannelPath());
    if (!channel_->listen(ChannelPath())) {
        Diagnose("a second start cannot reach this window (" +
                 channel_->errorString().toStdString() + ")");
        channel_.reset();
        return;
    }
    // Nothing is read from a client: its connection is the whole request.
    QObject::connect(channel_.get(), &QLocalServer::newConnection, channel_.get(),
                     [this, bringBack = std::move(bringBack)] {
                         while (QLocalSocket* client = channel_->nextPendingConnection()) {
                             QObject::connect(client, &QLocalSocket::disconnected, client,
                                              &QObject::deleteLater);
                             if (SameUser(client->socketDescriptor())) {
                                 bringBack();
                                 client->write(kAnswer);
                                 client->flush();
                             }
                             client->disconnectFromServer();
                         }
                     });
}

bool QtHost::AskRunningCopyToShow(std::string& why) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + kAnswerTime;
    const auto left = [&] {
        return static_cast<int>(std::max<int64_t>(
            duration_cast<milliseconds>(deadline - steady_clock::now()).count(), 1));
    };
    do {
        QLocalSocket socket;
        socket.connectToServer(ChannelPath());
        if (socket.waitForConnected(std::min(left(), 1000))) {
            QByteArray answer;
            while (answer.size() < qsizetype(sizeof kAnswer - 1) &&
                   (socket.bytesAvailable() > 0 || socket.waitForReadyRead(left()))) {
                answer += socket.read(qint64(sizeof kAnswer - 1) - answer.size());
            }
            if (answer == kAnswer) {
                return true;
            }
            why = "the running copy did not answer";
            return false;
        }
        why = socket.errorString().toStdString();
        QThread::msleep(100); // not listening yet: it is still starting
    } while (steady_clock::now() < deadline);
    return false;
}

std::string QtHost::ApplicationFolder() {
    const QString folder = QCoreApplication::applicationDirPath();
    // Installed, the read-me is among the package's documents, not beside the program in bin.
    const QString documents =
        QDir::cleanPath(folder + QStringLiteral("/../share/doc/korvan-tessivo"));
    if (!QFile::exists(folder + QStringLiteral("/readme.txt")) &&
        QFile::exists(documents + QStringLiteral("/readme.txt"))) {
        return documents.toStdString();
    }
    return folder.toStdString();
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
    boxes_.push_back(&box);
    const auto forget = qScopeGuard([this] { boxes_.pop_back(); });
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

void QtHost::WaitForWork(int32_t maxMilliseconds, int wakeHandle) {
    using namespace std::chrono;
    if (wake_ == nullptr || wake_->socket() != wakeHandle) {
        wake_.reset();
        if (wakeHandle >= 0) {
            wake_ = std::make_unique<QSocketNotifier>(wakeHandle, QSocketNotifier::Read);
            // Heard once; the tick that follows drains the table, and the notifier waits.
            QObject::connect(wake_.get(), &QSocketNotifier::activated, wake_.get(), [this] {
                wake_->setEnabled(false);
                lastWake_ = steady_clock::now();
            });
        }
    }
    auto wait = milliseconds(std::max(maxMilliseconds, 0));
    if (wake_ != nullptr && !wake_->isEnabled()) {
        const auto since = duration_cast<milliseconds>(steady_clock::now() - lastWake_);
        if (since >= kTableWakeInterval) {
            wake_->setEnabled(true);
        } else {
            wait = std::min(wait, kTableWakeInterval - since);
        }
    }
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(wait);
    QAbstractEventDispatcher::instance()->processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void QtHost::ForgetWakeHandle() {
    wake_.reset();
}

bool QtHost::ShellOpen(std::string_view target) {
    const QString text = QString::fromUtf8(target.data(), static_cast<qsizetype>(target.size()));
    const QUrl url = QDir::isAbsolutePath(text) ? QUrl::fromLocalFile(text) : QUrl(text);
    return QDesktopServices::openUrl(url);
}

// Returns: main() ends the process once every owner is destroyed, within the stop deadline.
void QtHost::End() {
    ReleaseLock();
    std::fflush(nullptr);
}

void QtHost::CloseMessages() {
    for (QMessageBox* box : boxes_) {
        box->reject();
    }
}

} // namespace kt

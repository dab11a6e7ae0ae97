// The capability drop in a process of its own, as root: with CAP_SETPCAP (the window started by
// root) and without it (the service under its unit).

#include "ui/qt/Privileges.h"
#include "../../engine/linux/Loopback.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <linux/capability.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr uint64_t kKept = uint64_t{1} << CAP_NET_ADMIN;

// Whether the effective and permitted sets in a status text are exactly the kept set, or within
// it when exactly is false.
bool KeepsOnly(const QByteArray& status, bool exactly) {
    int seen = 0;
    for (const QByteArray& line : status.split('\n')) {
        if (line.startsWith("CapEff:") || line.startsWith("CapPrm:")) {
            const uint64_t set = line.mid(7).trimmed().toULongLong(nullptr, 16);
            if (exactly ? set != kKept : (set & ~kKept) != 0) {
                std::fprintf(stderr, "%s\n", line.constData());
                return false;
            }
            ++seen;
        }
    }
    return seen == 2;
}

} // namespace

class PrivilegesTest : public QObject {
    Q_OBJECT
private slots:
    void aThreadThatTakesTheSignalLateEndsNothing_data();
    void aThreadThatTakesTheSignalLateEndsNothing();
};

void PrivilegesTest::aThreadThatTakesTheSignalLateEndsNothing_data() {
    QTest::addColumn<bool>("setpcap");
    QTest::newRow("with CAP_SETPCAP") << true;
    QTest::newRow("without CAP_SETPCAP") << false;
}

void PrivilegesTest::aThreadThatTakesTheSignalLateEndsNothing() {
    QFETCH(bool, setpcap);
    if (::geteuid() != 0) {
        QSKIP("needs root: capabilities to give up");
    }
    const auto body = [] {
        std::atomic<bool> blocking = false;
        std::thread late([&blocking] {
            sigset_t all;
            sigfillset(&all);
            ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
            blocking = true;
            std::this_thread::sleep_for(std::chrono::seconds(2));
            ::pthread_sigmask(SIG_UNBLOCK, &all, nullptr);
        });
        std::thread asleep([] { std::this_thread::sleep_for(std::chrono::seconds(3)); });
        while (!blocking) {
            std::this_thread::yield();
        }
        kt::KeepOnlyCapabilities({CAP_NET_ADMIN});
        late.join(); // it has taken the signal by now
        bool ok = true;
        for (const QString& task :
             QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile status("/proc/self/task/" + task + "/status");
            ok = status.open(QIODevice::ReadOnly) && KeepsOnly(status.readAll(), true) && ok;
        }
        // Nor does a program it starts as root get any back.
        QByteArray started;
        if (FILE* shell = ::popen("cat /proc/self/status", "r")) {
            char buffer[4096];
            for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, shell)) > 0;) {
                started.append(buffer, static_cast<qsizetype>(n));
            }
            ::pclose(shell);
        }
        ok = KeepsOnly(started, false) && ok;
        asleep.join();
        return ok ? 0 : 1;
    };
    const int status =
        setpcap ? kt::test::RunWithout({}, body) : kt::test::RunWithout({CAP_SETPCAP}, body);
    QCOMPARE(status, 0); // a negative status: the late signal ended the process
}

QTEST_GUILESS_MAIN(PrivilegesTest)
#include "PrivilegesTest.moc"

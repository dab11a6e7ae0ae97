// The capability drop as root in a child of its own: with CAP_SETPCAP (a window root started) and
// without it (the service under its unit).

#include "ui/qt/Privileges.h"
#include "../../engine/linux/Loopback.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <thread>

namespace {

constexpr uint64_t kKept = uint64_t{1} << CAP_NET_ADMIN;

// The effective and permitted sets of a status text are the kept set, or within it.
bool KeepsOnly(const QByteArray& status, bool exactly) {
    int seen = 0;
    for (const QByteArray& line : status.split('\n')) {
        const uint64_t set = line.mid(7).trimmed().toULongLong(nullptr, 16);
        const bool capability = line.startsWith("CapEff:") || line.startsWith("CapPrm:");
        if (capability && (exactly ? set != kKept : (set & ~kKept) != 0)) {
            return std::fprintf(stderr, "%s\n", line.constData()) < 0;
        }
        seen += capability ? 1 : 0;
    }
    return seen == 2;
}

} // namespace

class PrivilegesTest : public QObject {
    Q_OBJECT
private slots:
    void aThreadThatTakesTheSignalLateEndsNothing_data() {
        QTest::addColumn<bool>("setpcap");
        QTest::newRow("with CAP_SETPCAP") << true;
        QTest::newRow("without CAP_SETPCAP") << false;
    }
    void aThreadThatTakesTheSignalLateEndsNothing();
};

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
        QByteArray started(8192, '\0');
        FILE* shell = ::popen("cat /proc/self/status", "r");
        started.truncate(shell ? static_cast<qsizetype>(std::fread(started.data(), 1, 8192, shell))
                               : 0);
        ok = (shell == nullptr || ::pclose(shell) == 0) && KeepsOnly(started, false) && ok;
        asleep.join();
        return ok ? 0 : 1;
    };
    // A negative status: the late signal ended the process.
    QCOMPARE(setpcap ? kt::test::RunWithout({}, body) : kt::test::RunWithout({CAP_SETPCAP}, body),
             0);
}

QTEST_GUILESS_MAIN(PrivilegesTest)
#include "PrivilegesTest.moc"

// The built program as a user starts it: offscreen, with its own configuration and lock folders.

#include "../../TimeScale.h"
#include "../../engine/linux/Loopback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <linux/capability.h>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using kt::test::Scaled;

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

sockaddr_in At(const char* address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

Fd Listen(const char* address, uint16_t port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in a = At(address, port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd.get(), 8) != 0) {
        return Fd();
    }
    return fd;
}

struct Connection {
    Fd client;
    Fd server;
};

// A connection from `from` to the listener, both ends open, or cut already: the kernel guard may
// cut the client's end before its connect() returns (ECONNABORTED), its server end then waits on
// the listener all the same. Without a listener, only the client's end.
Connection Connect(const char* from, const char* to, uint16_t port, const Fd& listener,
                   uint16_t fromPort = 0) {
    Connection c;
    c.client = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int one = 1;
    ::setsockopt(c.client.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in local = At(from, fromPort);
    const sockaddr_in remote = At(to, port);
    if (::bind(c.client.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return Connection{};
    }
    if (::connect(c.client.get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0 &&
        errno != ECONNABORTED && errno != ECONNRESET) {
        return Connection{};
    }
    pollfd waiting{listener.get(), POLLIN, 0};
    if (listener.get() >= 0 && ::poll(&waiting, 1, Scaled(2000)) == 1) {
        c.server = Fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }
    return c;
}

// True when the socket learns within the time (scaled) that its connection is gone.
bool AbortedWithin(const Fd& fd, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + Scaled(limit);
    while (Clock::now() < deadline) {
        pollfd p{fd.get(), POLLIN, 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (::poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 1))) > 0) {
            char byte;
            const ssize_t n = ::recv(fd.get(), &byte, 1, MSG_DONTWAIT);
            return n == 0 || (n < 0 && errno != EAGAIN);
        }
    }
    return false;
}

// Data still goes both ways.
bool Alive(const Connection& c) {
    for (auto [from, to] :
         {std::pair{c.client.get(), c.server.get()}, std::pair{c.server.get(), c.client.get()}}) {
        const char out = 'k';
        if (::send(from, &out, 1, MSG_NOSIGNAL) != 1) {
            return false;
        }
        pollfd p{to, POLLIN, 0};
        char in = 0;
        if (::poll(&p, 1, Scaled(1000)) != 1 || ::recv(to, &in, 1, 0) != 1 || in != out) {
            return false;
        }
    }
    return true;
}

bool BringLoopbackUp() {
    Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(fd.get(), SIOCGIFFLAGS, &request) != 0) {
        return false;
    }
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    return ::ioctl(fd.get(), SIOCSIFFLAGS, &request) == 0;
}

// What a test sets of the environment systemd gives a service: nothing unless it says so.
void LeaveSystemdOut(QProcessEnvironment& env) {
    for (const char* name : {"INVOCATION_ID", "JOURNAL_STREAM", "NOTIFY_SOCKET", "WATCHDOG_USEC",
                             "WATCHDOG_PID", "LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES"}) {
        env.remove(name);
    }
}

// Whatever is sent to a datagram socket at path, read as it comes: a sender that finds the queue
// full waits.
class DatagramSink {
public:
    explicit DatagramSink(const QString& path)
        : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, qPrintable(path), sizeof address.sun_path - 1);
        bound_ =
            ::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        reader_ = std::thread([this] {
            std::vector<char> buffer(65536);
            while (!stop_) {
                pollfd p{fd_.get(), POLLIN, 0};
                if (::poll(&p, 1, 20) == 1) {
                    const ssize_t n = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
                    const std::lock_guard lock(lock_);
                    got_.push_back(
                        QByteArray(buffer.data(), static_cast<int>(std::max<ssize_t>(n, 0))));
                }
            }
        });
    }
    ~DatagramSink() {
        stop_ = true;
        reader_.join();
    }
    bool Bound() const { return bound_; }
    QByteArrayList Got() {
        const std::lock_guard lock(lock_);
        return got_;
    }
    // Waits for the message wanted, after the one the last wait found; true when it came.
    bool Until(const QByteArray& wanted, int milliseconds = 15000) {
        for (const auto end = Clock::now() + Scaled(std::chrono::milliseconds(milliseconds));
             Clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
            const QByteArrayList got = Got();
            if (const qsizetype at = got.indexOf(wanted, seen_); at >= 0) {
                seen_ = at + 1;
                return true;
            }
        }
        return false;
    }
    QByteArray Last(const QByteArray& prefix) {
        const QByteArrayList got = Got();
        for (auto message = got.rbegin(); message != got.rend(); ++message) {
            if (message->startsWith(prefix)) {
                return *message;
            }
        }
        return {};
    }

private:
    Fd fd_;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    QByteArrayList got_;
    qsizetype seen_ = 0;
    std::thread reader_;
};

// systemd's end of a service's notification socket.
struct Notifications {
    QTemporaryDir folder;
    DatagramSink sink{folder.path() + "/notify"};
    QString Setting() const { return "NOTIFY_SOCKET=" + folder.path() + "/notify"; }
};

// A journal entry's fields, as sd_journal_send writes those without a line break.
QMap<QByteArray, QByteArray> Fields(const QByteArray& entry) {
    QMap<QByteArray, QByteArray> fields;
    for (const QByteArray& line : entry.split('\n')) {
        if (const qsizetype equals = line.indexOf('='); equals > 0) {
            fields.insert(line.left(equals), line.mid(equals + 1));
        }
    }
    return fields;
}

// Folders of a fresh user: configuration and runtime.
struct UserFolders {
    UserFolders() {
        QDir().mkpath(Config());
        QDir().mkpath(Runtime());
        QFile::setPermissions(Runtime(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QString Config() const { return root.path() + "/config"; }
    QString Runtime() const { return root.path() + "/run"; }
    QString CutLog() const { return root.path() + "/state/KorvanTessivo/cuts.log"; }
    QString Ini() const { return Config() + "/KorvanTessivo/KorvanTessivo.ini"; }
    void Prepare(QProcess& process) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", Config());
        env.insert("XDG_RUNTIME_DIR", Runtime());
        env.insert("XDG_STATE_HOME", root.path() + "/state");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        LeaveSystemdOut(env);
        process.setProcessEnvironment(env);
        process.setProgram(KT_PROGRAM);
    }
    QTemporaryDir root;
};

QStringList IniKeys(const QString& path) {
    QSettings ini(path, QSettings::IniFormat);
    return ini.allKeys();
}

// QSettings reads the section [General] as its top level.
const QStringList ThreeKeys = {"AllowedIPString", "BlockedLocalPortsString",
                               "BlockedRemotePortsString"};

bool HasGeneralSection(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.readAll().startsWith("[General]");
}

} // namespace

class ProgramTest : public QObject {
    Q_OBJECT

private slots:
    void aSecondCopyEndsAtOnceAndSilently();
    void cutsBlockedConnectionsAndSavesOnSigterm_data();
    void cutsBlockedConnectionsAndSavesOnSigterm();
    void optionsWorkWithoutADisplay_data();
    void optionsWorkWithoutADisplay();
    void headlessCutsReloadsItsRulesAndEndsOnSigterm();
    void headlessWithoutTheRightToCutSaysSoInOneLine();
    void aWindowWhoseRulesFileIsMissingSaysSoInABox();
    void endsAtOnceOnSigtermWhileAMessageIsOpen();
    void aStuckCutHoldsUpNeitherOtherCutsNorTheEnd();
    void underSystemdEachCutIsAJournalEntryAHundredASecondAtMost();
};

void ProgramTest::aSecondCopyEndsAtOnceAndSilently() {
    if (kt::test::TimeScale() > 1) {
        // Its lock is no matter of the kernel, and nothing outside tells when it has started.
        QSKIP("slowed down, the first copy is still starting when the 2 s it has to end after "
              "SIGTERM are up");
    }
    UserFolders user;
    QProcess first;
    user.Prepare(first);
    first.start();
    QVERIFY(first.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(user.Runtime() + "/KorvanTessivo.lock"), 15000);

    QProcess second;
    user.Prepare(second);
    second.start();
    QVERIFY(second.waitForFinished(15000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(second.readAllStandardOutput(), QByteArray());
    // The running window answered that it is back (else the second start would say so).
    QCOMPARE(second.readAllStandardError(), QByteArray());
    // Nothing was written: the running copy has not saved yet and the second one read nothing.
    QVERIFY(!QFile::exists(user.Ini()));
    QCOMPARE(first.state(), QProcess::Running);

    first.terminate();
    QVERIFY(first.waitForFinished(15000));
    QCOMPARE(first.exitStatus(), QProcess::NormalExit);
    QCOMPARE(first.exitCode(), 0);
    QCOMPARE(IniKeys(user.Ini()), ThreeKeys);
    QVERIFY(HasGeneralSection(user.Ini()));
}

void ProgramTest::cutsBlockedConnectionsAndSavesOnSigterm_data() {
    QTest::addColumn<bool>("withoutBpf");
    QTest::addColumn<bool>("asService"); // root with only the unit's three capabilities
    QTest::newRow("kernel guard") << false << false;
    // Root without CAP_SYS_ADMIN, CAP_BPF and CAP_PERFMON: no BPF, so the loop polls.
    QTest::newRow("polling") << true << false;
    // No CAP_SETPCAP, so the bounding set stays as it was given.
    QTest::newRow("kernel guard, as the service's unit starts it") << false << true;
}

void ProgramTest::cutsBlockedConnectionsAndSavesOnSigterm() {
    QFETCH(bool, withoutBpf);
    QFETCH(bool, asService);
    if (::geteuid() != 0) {
        QSKIP("needs root: a network namespace of its own and the right to cut connections");
    }
    // From here on this test process, and the program it starts, live in a private network.
    if (::unshare(CLONE_NEWNET) != 0) {
        QSKIP(qPrintable(QString("no network namespace: %1").arg(strerror(errno))));
    }
    QVERIFY(BringLoopbackUp());

    constexpr uint16_t Blocked = 5555;
    constexpr uint16_t Other = 5556;
    const Fd blockedListener = Listen("127.0.0.3", Blocked);
    const Fd otherListener = Listen("127.0.0.3", Other);
    const Fd allowedListener = Listen("127.0.0.1", Blocked);
    QVERIFY(blockedListener.get() >= 0 && otherListener.get() >= 0 && allowedListener.get() >= 0);

    UserFolders user;
    QDir().mkpath(user.Config() + "/KorvanTessivo");
    {
        QFile ini(user.Ini());
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(QString("[General]\nBlockedRemotePortsString=%1\n").arg(Blocked).toUtf8());
    }
    QProcess program;
    user.Prepare(program);
    const uint64_t unitSet =
        (uint64_t{1} << CAP_NET_ADMIN) | (uint64_t{1} << CAP_BPF) | (uint64_t{1} << CAP_PERFMON);
    if (withoutBpf || asService) {
        const uint64_t dropped = asService
                                     ? ~unitSet
                                     : (uint64_t{1} << CAP_SYS_ADMIN) | (uint64_t{1} << CAP_BPF) |
                                           (uint64_t{1} << CAP_PERFMON);
        program.setChildProcessModifier([dropped] {
            for (int capability = 0; capability <= CAP_LAST_CAP; ++capability) {
                if ((dropped >> capability & 1) != 0) {
                    ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
                }
            }
        });
    }
    program.start();
    QVERIFY(program.waitForStarted());

    // Wait for the program to guard: a probe on the blocked port is cut once it runs.
    bool guarding = false;
    for (int attempt = 0; attempt < 60 && !guarding; ++attempt) {
        const Connection probe = Connect("127.0.0.2", "127.0.0.3", Blocked, blockedListener);
        QVERIFY(probe.client.get() >= 0 && probe.server.get() >= 0);
        guarding = AbortedWithin(probe.client, std::chrono::milliseconds(500));
    }
    QVERIFY2(guarding, "the program never cut a connection on the blocked port");
    // Every thread keeps only what cutting (and the guard's maps) need.
    const uint64_t kept =
        (uint64_t{1} << CAP_NET_ADMIN) | (withoutBpf ? 0 : uint64_t{1} << CAP_BPF);
    const QString tasks = QString("/proc/%1/task").arg(program.processId());
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(tasks + "/" + task + "/status");
        QVERIFY(status.open(QIODevice::ReadOnly));
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("Cap")) {
                const uint64_t set =
                    line.mid(line.indexOf(':') + 1).trimmed().toULongLong(nullptr, 16);
                QVERIFY2(line.startsWith("CapBnd") ? set == (asService ? unitSet : kept)
                                                   : (set & ~kept) == 0,
                         line.constData());
            }
        }
    }

    const Connection other = Connect("127.0.0.2", "127.0.0.3", Other, otherListener);
    const Connection allowed = Connect("127.0.0.3", "127.0.0.1", Blocked, allowedListener);
    const auto start = Clock::now();
    const Connection blocked = Connect("127.0.0.2", "127.0.0.3", Blocked, blockedListener);
    QVERIFY(blocked.client.get() >= 0 && other.client.get() >= 0 && allowed.client.get() >= 0);
    QVERIFY(AbortedWithin(blocked.client, std::chrono::milliseconds(1000)));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    qInfo("blocked connection cut after %lld ms", static_cast<long long>(took.count()));
    QVERIFY(took.count() < Scaled(1000));
    // The server's end is gone too.
    QVERIFY(AbortedWithin(blocked.server, std::chrono::milliseconds(1000)));

    QTest::qWait(Scaled(300));
    QVERIFY2(Alive(other), "a connection on another port was cut");
    QVERIFY2(Alive(allowed), "a connection to the allowed address was cut");

    // A client that comes back from the same port right after each cut: each is a new
    // connection, and each cut worked.
    constexpr int kReconnects = 100;
    const QByteArray reconnectLine = "127.0.0.2:30001 -> 127.0.0.3:5555 (blocked remote port 5555)";
    for (int i = 0; i < kReconnects; ++i) {
        const Connection again = Connect("127.0.0.2", "127.0.0.3", Blocked, Fd(), 30001);
        QVERIFY(again.client.get() < 0 ||
                AbortedWithin(again.client, std::chrono::milliseconds(1000)));
        for (pollfd p{blockedListener.get(), POLLIN, 0}; ::poll(&p, 1, 0) == 1;) {
            Fd(::accept4(blockedListener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        }
    }

    // Cut just before the stop: its line is still written on the way out.
    const Connection last = Connect("127.0.0.2", "127.0.0.3", Blocked, blockedListener);
    QVERIFY(AbortedWithin(last.client, std::chrono::milliseconds(1000)));
    // Slowed down, closing and saving take longer than the 2 s the program gives itself after
    // SIGTERM: it is killed instead, and what it saves goes unchecked.
    const bool slowed = kt::test::TimeScale() > 1;
    if (slowed) {
        program.kill();
    } else {
        QVERIFY(::kill(static_cast<pid_t>(program.processId()), SIGTERM) == 0);
    }
    QVERIFY(program.waitForFinished(Scaled(15000)));
    // The fallback is said once, and only when it happened.
    const QByteArray error = program.readAllStandardError();
    QCOMPARE(error.count("kernel guard could not load"), withoutBpf ? 1 : 0);
    QVERIFY2(!error.contains("cannot be cut"), error.constData()); // no refusal told
    if (slowed) {
        QSKIP("slowed down: ending on SIGTERM and saving are left unchecked");
    }
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QFile log(user.CutLog());
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray lines = log.readAll();
    sockaddr_in client{};
    socklen_t length = sizeof client;
    ::getsockname(last.client.get(), reinterpret_cast<sockaddr*>(&client), &length);
    QVERIFY(lines.contains(
        QString("127.0.0.2:%1 -> 127.0.0.3:%2").arg(ntohs(client.sin_port)).arg(Blocked).toUtf8()));
    QCOMPARE(lines.count(" cut " + reconnectLine), kReconnects);
    QVERIFY2(!lines.contains("refused"), lines.constData());
    QCOMPARE(IniKeys(user.Ini()), ThreeKeys);
    QVERIFY(HasGeneralSection(user.Ini()));
    QSettings ini(user.Ini(), QSettings::IniFormat);
    QCOMPARE(ini.value("BlockedRemotePortsString").toString(), QString::number(Blocked));
    QCOMPARE(ini.value("AllowedIPString").toString(), QString("127.0.0.1"));
}

// As a service or a terminal without a display starts it; settings: "NAME=value" each.
void StartWithoutDisplay(QProcess& program, const QString& state, const QStringList& arguments,
                         const QStringList& settings = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        env.remove(name);
    }
    LeaveSystemdOut(env);
    for (const QString& setting : settings) {
        env.insert(setting.section('=', 0, 0), setting.section('=', 1));
    }
    env.insert("XDG_STATE_HOME", state);
    env.insert("RUNTIME_DIRECTORY", state);
    env.insert("XDG_RUNTIME_DIR", state);
    program.setProcessEnvironment(env);
    program.start(KT_PROGRAM, arguments);
}

void ProgramTest::optionsWorkWithoutADisplay_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("error");
    QTest::addColumn<bool>("lockIsAFolder");
    QTest::addColumn<QStringList>("settings");
    QTest::newRow("version") << QStringList{"--version"} << 0
                             << QByteArray("Korvan Tessivo 1.0 Build 15\n") << QByteArray() << false
                             << QStringList{};
    QTest::newRow("help") << QStringList{"-platform", "offscreen", "--help"} << 0
                          << QByteArray("Usage: korvan-tessivo [options]") << QByteArray() << false
                          << QStringList{};
    QTest::newRow("unknown") << QStringList{"--bogus"} << 2 << QByteArray()
                             << QByteArray("Unknown option 'bogus'.\nUsage:") << false
                             << QStringList{};
    QTest::newRow("control group without control")
        << QStringList{"--headless", "--control-group", "g"} << 2 << QByteArray()
        << QByteArray("--control needs a path, --control-group a name") << false << QStringList{};
    // Nor any set it applied before: its own status, which the unit does not restart.
    QTest::newRow("no rules file, none applied before")
        << QStringList{"--headless", "--config", "/nonexistent/r.ini"} << 78 << QByteArray()
        << QByteArray("/r.ini cannot be used: it is not there\nKorvan Tessivo: no rules were "
                      "applied here before")
        << false << QStringList{};
    QTest::newRow("started by systemd without its socket")
        << QStringList{"--headless", "--control", "/nonexistent/control"} << 1 << QByteArray()
        << QByteArray("started by systemd without the control socket /nonexistent/control") << false
        << QStringList{"INVOCATION_ID=0123456789abcdef0123456789abcdef"};
    QTest::newRow("no display") << QStringList{} << 2 << QByteArray()
                                << QByteArray("the window needs a display, and neither DISPLAY nor "
                                              "WAYLAND_DISPLAY is set; to guard without one, run "
                                              "korvan-tessivo --headless\n")
                                << false << QStringList{};
    // Nobody could lock a folder: a copy that ran anyway could run beside another one.
    QTest::newRow("lock is a folder")
        << QStringList{"--headless"} << 1 << QByteArray()
        << QByteArray("cannot take the instance lock") << true << QStringList{};
}

void ProgramTest::optionsWorkWithoutADisplay() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, error);
    QFETCH(bool, lockIsAFolder);
    QFETCH(QStringList, settings);
    QTemporaryDir state;
    if (lockIsAFolder) {
        QVERIFY(QDir(state.path()).mkdir("KorvanTessivo-headless.lock"));
    }
    QProcess program;
    StartWithoutDisplay(program, state.path(), arguments, settings);
    QVERIFY(program.waitForFinished(15000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), exitCode);
    const QByteArray said = program.readAllStandardOutput();
    QVERIFY2(out.isEmpty() ? said.isEmpty() : said.startsWith(out), said.constData());
    QVERIFY2(program.readAllStandardError().contains(error), qPrintable(arguments.join(' ')));
}

// Everything it says up to its start line is that one line, naming the command that gives it the
// right from where it was started: here the build's own program.
void ProgramTest::headlessWithoutTheRightToCutSaysSoInOneLine() {
    if (::geteuid() != 0) {
        QSKIP("needs root: the right to cut is taken from it");
    }
    QTemporaryDir state;
    QFile rules(state.filePath("rules.ini"));
    QVERIFY(rules.open(QIODevice::WriteOnly) &&
            rules.write("[General]\nAllowedIPString=\nBlockedLocalPortsString=\n"
                        "BlockedRemotePortsString=8080\n") > 0);
    rules.close();
    QProcess program;
    program.setChildProcessModifier([] { ::prctl(PR_CAPBSET_DROP, CAP_NET_ADMIN, 0, 0, 0); });
    StartWithoutDisplay(program, state.path(), {"--headless", "--config", rules.fileName()});
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((program.waitForReadyRead(100), said += program.readAllStandardError())
                                     .contains("; guard: ") &&
                                 said.endsWith('\n'),
                             15000);
    QCOMPARE(said.count('\n'), 1);
    const QString command = "sudo " + QFileInfo(KT_PROGRAM).canonicalFilePath() + " --headless";
    QVERIFY2(said.contains("; guard: none, nothing is cut (the program lacks CAP_NET_ADMIN). Run "
                           "it as root (" +
                           command.toUtf8() + ")"),
             said.constData());
}

// Started from a launcher nobody reads standard error: a box waits for its answer.
void ProgramTest::aWindowWhoseRulesFileIsMissingSaysSoInABox() {
    QTemporaryDir state;
    QProcess program;
    StartWithoutDisplay(program, state.path(),
                        {"-platform", "offscreen", "--config", "/nonexistent/r.ini"});
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((program.waitForReadyRead(100), said += program.readAllStandardError())
                                 .contains("the rules in /nonexistent/r.ini cannot be used: it is "
                                           "not there\n"),
                             15000);
    QVERIFY2(!program.waitForFinished(1000), "ended without a box");
}

void ProgramTest::headlessCutsReloadsItsRulesAndEndsOnSigterm() {
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0) {
        QSKIP("needs root and a network namespace of its own");
    }
    QVERIFY(BringLoopbackUp());
    const Fd first = Listen("127.0.0.3", 21001);
    const Fd second = Listen("127.0.0.3", 21002);
    QTemporaryDir folder;
    const QString rules = folder.path() + "/rules.ini";
    // Replaced the way editors do: a new file renamed over the old.
    const auto writeRules = [&](const QByteArray& text) {
        QFile file(rules + ".new");
        return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() &&
               (file.close(), ::rename(qPrintable(rules + ".new"), qPrintable(rules)) == 0);
    };
    const QByteArray blocking = "[General]\nAllowedIPString=127.0.0.1\nBlockedLocalPortsString=\n"
                                "BlockedRemotePortsString=";
    QVERIFY(writeRules(blocking + "21001\n"));
    QProcess program;
    Notifications systemd;
    StartWithoutDisplay(program, folder.path(), {"--headless", "--config", rules},
                        {systemd.Setting()});
    // Cut within the time given, probed every 100 ms.
    const auto cutsWithin = [](const Fd& listener, uint16_t port, int milliseconds) {
        for (const auto end = Clock::now() + Scaled(std::chrono::milliseconds(milliseconds));
             Clock::now() < end;) {
            const Connection probe = Connect("127.0.0.2", "127.0.0.3", port, listener);
            if (AbortedWithin(probe.client, std::chrono::milliseconds(100))) {
                return true;
            }
        }
        return false;
    };
    QVERIFY2(cutsWithin(first, 21001, 15000), "never guarded");
    // Ready once the start line is said, with the line's words for the guard in its status.
    QVERIFY(systemd.sink.Until("READY=1"));
    program.waitForReadyRead(0);
    QByteArray error = program.readAllStandardError();
    const qsizetype guardWords = error.indexOf("; guard: ") + 9;
    QVERIFY2(guardWords > 9, error.constData());
    const QByteArray guard = error.mid(guardWords, error.indexOf('\n', guardWords) - guardWords);
    QVERIFY2(
        systemd.sink.Last("STATUS=").startsWith("STATUS=guard: " + guard + "; rules: 1 allowed"),
        systemd.sink.Got().join('|').constData());

    QVERIFY(writeRules(blocking + "21002\n"));
    QVERIFY2(cutsWithin(second, 21002, 1000), "the changed file was not applied within a second");
    QVERIFY(systemd.sink.Until("RELOADING=1") && systemd.sink.Until("READY=1"));
    QVERIFY(!cutsWithin(first, 21001, 300));
    // Half-written: the rules in force stay.
    QVERIFY(writeRules("[General]\nAllowedIPString=127.0.0.1,127.0"));
    QTest::qWait(Scaled(500));
    QVERIFY(cutsWithin(second, 21002, 1000));
    // A file others may write is refused; once mended, the next reload takes it.
    QVERIFY(writeRules(blocking + "21001\n") && ::chmod(qPrintable(rules), 0666) == 0);
    QTest::qWait(Scaled(500));
    QVERIFY(cutsWithin(second, 21002, 1000));
    QVERIFY(::chmod(qPrintable(rules), 0644) == 0 &&
            ::kill(static_cast<pid_t>(program.processId()), SIGHUP) == 0);
    QVERIFY2(cutsWithin(first, 21001, 1000), "the mended file was not applied");

    QVERIFY(::kill(static_cast<pid_t>(program.processId()), SIGTERM) == 0);
    QVERIFY(program.waitForFinished(15000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    error += program.readAllStandardError();
    QVERIFY2(program.exitCode() == 0, error.constData());
    QVERIFY(systemd.sink.Until("STOPPING=1"));
    QVERIFY2(error.contains("can be changed by other users (mode 0666)"), error.constData());
    // Nor does a start take such a file: it guards by the rules applied last, and says so.
    QVERIFY(writeRules(blocking + "21002\n") && ::chmod(qPrintable(rules), 0646) == 0);
    QProcess refused;
    StartWithoutDisplay(refused, folder.path(), {"--headless", "--config", rules},
                        {systemd.Setting()});
    QVERIFY2(cutsWithin(first, 21001, 15000), "the last applied rules are not in force");
    QVERIFY(systemd.sink.Until("READY=1"));
    QVERIFY2(systemd.sink.Last("STATUS=").contains("; guarding by the last applied rules: ") &&
                 systemd.sink.Last("STATUS=").contains("can be changed by other users"),
             systemd.sink.Last("STATUS=").constData());
    QVERIFY(!cutsWithin(second, 21002, 300));
    // Mended, the file is taken.
    QVERIFY(::chmod(qPrintable(rules), 0644) == 0 &&
            ::kill(static_cast<pid_t>(refused.processId()), SIGHUP) == 0);
    QVERIFY2(cutsWithin(second, 21002, 1000), "the mended file was not applied");
    QVERIFY(::kill(static_cast<pid_t>(refused.processId()), SIGTERM) == 0);
    QVERIFY(refused.waitForFinished(Scaled(15000)));
    QCOMPARE(refused.exitCode(), 0);
    const QByteArray refusedSaid = refused.readAllStandardError();
    QVERIFY2(refusedSaid.contains("can be changed by other users (mode 0646); guarding by the "
                                  "last applied rules") &&
                 refusedSaid.contains("are in force again"),
             refusedSaid.constData());
    QVERIFY2(error.contains("Z cut 127.0.0.2:") && error.contains("(blocked remote port 21002)") &&
                 error.contains("does not end with a line break"),
             error.constData());
    QVERIFY2(error.contains("rules: 1 allowed address, 0 blocked local ports, 1 blocked remote "
                            "port; guard: ") &&
                 error.contains(": blocked remote ports +21002 -21001\n"),
             error.constData());
    QFile log(folder.path() + "/KorvanTessivo/cuts.log");
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readAll().contains("-> 127.0.0.3:21001 (blocked remote port 21001)"));
}

// Without the right to cut, the window says so in a box at start; a stop from outside answers
// the box rather than waiting out its deadline.
void ProgramTest::endsAtOnceOnSigtermWhileAMessageIsOpen() {
    if (::geteuid() != 0) {
        QSKIP("needs root: the right to cut is taken from it");
    }
    if (kt::test::TimeScale() > 1) {
        QSKIP("slowed down: ending takes longer than the 2 s the program gives itself");
    }
    UserFolders user;
    QProcess program;
    user.Prepare(program);
    program.setChildProcessModifier([] { ::prctl(PR_CAPBSET_DROP, CAP_NET_ADMIN, 0, 0, 0); });
    program.start();
    QVERIFY(program.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(user.Runtime() + "/KorvanTessivo.lock"), 15000);
    QTest::qWait(1000);
    QCOMPARE(program.state(), QProcess::Running);
    const auto start = Clock::now();
    QVERIFY(::kill(static_cast<pid_t>(program.processId()), SIGTERM) == 0);
    QVERIFY(program.waitForFinished(15000));
    QVERIFY(Clock::now() - start < std::chrono::milliseconds(1500));
    QCOMPARE(program.exitCode(), 0);
    QVERIFY(!program.readAllStandardError().contains("stopped before"));
}

// A cut that waits for its socket, whose owner's send() holds it, holds up neither the cuts of
// other connections nor the program's end, nor the watchdog's beat. Before Linux 6.9 it holds up
// every other cut and dump, this loop's too, until its owner lets go: the beat goes on.
void ProgramTest::aStuckCutHoldsUpNeitherOtherCutsNorTheEnd() {
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0) {
        QSKIP("needs root and a network namespace of its own");
    }
    const bool serialized = kt::test::KernelSerializesSockDiag();
    QVERIFY(BringLoopbackUp());
    const kt::test::Socket listener = kt::test::Listen("127.0.0.3", 21001);
    const kt::test::Socket held = kt::test::Connect("127.0.0.2", "127.0.0.3", 21001);
    const kt::test::Socket heldServer = kt::test::Accept(listener);
    kt::test::StuckSender owner(held);
    QVERIFY2(owner.Stuck(), "no send() waits on a userfaultfd page");
    QTemporaryDir folder;
    const QString rules = folder.path() + "/rules.ini";
    QFile file(rules);
    const auto write = [&](const QByteArray& blocked) {
        QFile file(rules);
        return file.open(QIODevice::WriteOnly) &&
               file.write("[General]\nAllowedIPString=127.0.0.1\nBlockedLocalPortsString=\n"
                          "BlockedRemotePortsString=" +
                          blocked + "\n") > 0;
    };
    QVERIFY(write(""));
    QProcess program;
    Notifications systemd;
    StartWithoutDisplay(program, folder.path(), {"--headless", "--config", rules},
                        {systemd.Setting(), "WATCHDOG_USEC=1000000"});
    // Blocked once the loop runs: before 6.9 the stuck cut then holds up the loop's dumps.
    QVERIFY(systemd.sink.Until("READY=1"));
    QVERIFY(write("21001"));
    QVERIFY(::kill(static_cast<pid_t>(program.processId()), SIGHUP) == 0);
    QVERIFY(systemd.sink.Until("RELOADING=1"));
    bool cut = serialized;
    for (const auto end = Clock::now() + Scaled(std::chrono::milliseconds(15000));
         !cut && Clock::now() < end;) {
        const kt::test::Socket probe = kt::test::Connect("127.0.0.2", "127.0.0.3", 21001);
        const kt::test::Socket accepted = kt::test::Accept(listener);
        cut = kt::test::ConnectionError(probe, 100) != 0;
    }
    QVERIFY2(cut, "no other connection was cut");
    // Until the waiting cut is named, after a second, systemd hears the service is alive.
    for (int beat = 0; beat < (serialized ? 4 : 3); ++beat) {
        QVERIFY2(systemd.sink.Until("WATCHDOG=1", 1000), "the watchdog waits for the stuck cut");
    }
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT(
        (said += program.readAllStandardError()).contains("a cut waits for its socket"),
        Scaled(5000));
    if (serialized) {
        owner.Release(); // the loop waits for it there, and so would the end
    }
    const auto start = Clock::now();
    QVERIFY(::kill(static_cast<pid_t>(program.processId()), SIGTERM) == 0);
    QVERIFY(program.waitForFinished(Scaled(15000)));
    const auto took = Clock::now() - start;
    QVERIFY2(took < std::chrono::milliseconds(Scaled(2500)), "the end waited for the stuck cut");
    QCOMPARE(program.exitCode(), 0);
    if (!serialized) {
        QCOMPARE(kt::test::ConnectionError(heldServer, 0), 0); // its cut never got through
    }
}

// The journal's socket is the test's own, in a mount namespace of its own.
void ProgramTest::underSystemdEachCutIsAJournalEntryAHundredASecondAtMost() {
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        QSKIP("needs root and network and mount namespaces of its own");
    }
    QVERIFY(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
    QVERIFY(::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") == 0);
    const auto unmount = qScopeGuard([] { ::umount2("/run", MNT_DETACH); });
    QVERIFY(QDir().mkpath("/run/systemd/journal"));
    DatagramSink journal("/run/systemd/journal/socket");
    QVERIFY(journal.Bound());
    QVERIFY(BringLoopbackUp());
    const Fd listener = Listen("127.0.0.3", 21001);
    QTemporaryDir folder;
    const QString rules = folder.path() + "/rules.ini";
    QFile file(rules);
    QVERIFY(file.open(QIODevice::WriteOnly) &&
            file.write("[General]\nAllowedIPString=127.0.0.1\nBlockedLocalPortsString=\n"
                       "BlockedRemotePortsString=21001\n") > 0);
    file.close();
    QProcess program;
    StartWithoutDisplay(program, folder.path(), {"--headless", "--config", rules},
                        {"INVOCATION_ID=0123456789abcdef0123456789abcdef"});
    bool guarding = false;
    for (int attempt = 0; attempt < 150 && !guarding; ++attempt) {
        const Connection probe = Connect("127.0.0.2", "127.0.0.3", 21001, listener);
        guarding = AbortedWithin(probe.client, std::chrono::milliseconds(100));
    }
    QVERIFY2(guarding, "never guarded");
    // More than a second's worth, as fast as they come.
    std::vector<Connection> open; // each one's cut is made while it is there
    for (int i = 0; i < 300; ++i) {
        open.push_back(Connect("127.0.0.2", "127.0.0.3", 21001, listener));
    }
    QTest::qWait(Scaled(2500)); // a second for the count of those left out
    QVERIFY(::kill(static_cast<pid_t>(program.processId()), SIGTERM) == 0);
    QVERIFY(program.waitForFinished(Scaled(15000)));
    QFile log(folder.path() + "/KorvanTessivo/cuts.log");
    QVERIFY(log.open(QIODevice::ReadOnly));
    const qsizetype cuts = log.readAll().count(" cut 127.0.0.2:");
    qsizetype entries = 0;
    qsizetype leftOut = 0;
    for (const QByteArray& entry : journal.Got()) {
        const auto fields = Fields(entry);
        if (fields.value("MESSAGE_ID") != "5f6f47305c634897b088ff2b7af999f1") {
            continue;
        }
        if (fields.contains("KT_LEFT_OUT")) {
            leftOut += fields.value("KT_LEFT_OUT").toLongLong();
            QVERIFY(fields.value("MESSAGE").endsWith(" more cuts in the last second"));
            continue;
        }
        ++entries;
        QCOMPARE(fields.value("PRIORITY"), QByteArray("5"));
        QCOMPARE(fields.value("KT_RULE"), QByteArray("blocked remote port 21001"));
        QCOMPARE(fields.value("KT_LOCAL_ADDRESS") + ':' + fields.value("KT_REMOTE_ADDRESS") + ':' +
                     fields.value("KT_REMOTE_PORT"),
                 QByteArray("127.0.0.2:127.0.0.3:21001"));
        QVERIFY2(
            fields.value("MESSAGE").contains(" cut 127.0.0.2:" + fields.value("KT_LOCAL_PORT") +
                                             " -> 127.0.0.3:21001 (blocked remote port 21001)"),
            entry.constData());
    }
    qInfo("%lld cuts: %lld journal entries, %lld counted", static_cast<long long>(cuts),
          static_cast<long long>(entries), static_cast<long long>(leftOut));
    QCOMPARE(entries + leftOut, cuts);
    QVERIFY(leftOut > 0);
    QVERIFY(!program.readAllStandardError().contains(" cut 127.0.0.2:")); // not twice
}

QTEST_GUILESS_MAIN(ProgramTest)
#include "ProgramTest.moc"

// The service as the unit runs it and its clients, as separate processes over the real control
// socket, in a network namespace of the test's own: what a client changes reaches the guard, the
// rules file and every watcher; who is let in; what abuse costs the service.

#include "Loopback.h"
#include "QtRig.h"
#include "engine/RuleEditing.h"
#include "service/ControlProtocol.h"
#include "service/ControlServer.h"
#include "service/ControlSocket.h"
#include "ui/qt/ControlClient.h"
#include "ui/qt/ServiceFace.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QScopeGuard>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <optional>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace kt;
using namespace kt::test;
using namespace kt::testing;

constexpr uint16_t kGuarded = 21100; // blocked in the rules file from the start
constexpr uint16_t kAdded = 21101;   // blocked by a client
constexpr uid_t kNobody = 65534;

// The test's own group is the control group: root's, as CI runs.
std::string OwnGroup() {
    const group* own = ::getgrgid(::getgid());
    return own != nullptr ? own->gr_name : "";
}

QByteArray RulesFile(int allowed) {
    QByteArray addresses = "127.0.0.1";
    for (int i = 0; i < allowed; ++i) {
        addresses += QByteArray(","
                                "10.0.") +
                     QByteArray::number(i / 250) + '.' + QByteArray::number(i % 250 + 1);
    }
    return "[General]\nAllowedIPString=" + addresses +
           "\nBlockedLocalPortsString=" + QByteArray::number(kGuarded) +
           "\nBlockedRemotePortsString=\n";
}

Socket Dial(const QString& path);

// The service with files of its own, in a folder others may pass through to reach the socket.
class Service {
public:
    explicit Service(const QByteArray& rules) {
        ::chmod(qPrintable(folder_.path()), 0755);
        QFile ini(Ini());
        if (ini.open(QIODevice::WriteOnly)) {
            ini.write(rules);
        }
    }
    ~Service() { Stop(); }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    QString Socket() const { return folder_.path() + "/control"; }
    QString Ini() const { return folder_.path() + "/rules.ini"; }
    // handed: as systemd's socket unit starts it, on the first client, with the socket.
    bool Start(const std::string& group = OwnGroup(), bool handed = false) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"INVOCATION_ID", "JOURNAL_STREAM", "NOTIFY_SOCKET", "LISTEN_FDS",
                                 "LISTEN_PID", "WATCHDOG_USEC"}) {
            env.remove(name);
        }
        env.insert("RUNTIME_DIRECTORY", folder_.path());
        env.insert("XDG_STATE_HOME", folder_.path());
        // Memory freed is given back soon enough to be measured.
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":quarantine_size_mb=8");
        if (handed) {
            env.insert("INVOCATION_ID", "0123456789abcdef0123456789abcdef");
        }
        process_.setProcessEnvironment(env);
        const QStringList arguments = {"--headless",
                                       "--config",
                                       Ini(),
                                       "--control",
                                       Socket(),
                                       "--control-group",
                                       QString::fromStdString(group)};
        const qsizetype from = log_.size();
        if (handed) {
            process_.start("systemd-socket-activate",
                           QStringList{"-l", Socket(), KT_PROGRAM} + arguments);
            if (!QTest::qWaitFor([&] { return Log().mid(from).contains("Listening on"); }, 5000)) {
                return false;
            }
            first_ = Dial(Socket()); // starts the service
        } else {
            process_.start(KT_PROGRAM, arguments);
        }
        return QTest::qWaitFor(
            [&] { return Log().mid(from).contains(("control socket " + Socket()).toLocal8Bit()); },
            30000);
    }
    pid_t Pid() const { return static_cast<pid_t>(process_.processId()); }
    bool Stop() {
        if (process_.state() == QProcess::NotRunning) {
            return true;
        }
        ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
        return process_.waitForFinished(15000) && process_.exitCode() == 0;
    }
    QByteArray Log() { return log_ += process_.readAllStandardError(); }
    long RssKiB() const {
        QFile status(QString("/proc/%1/status").arg(process_.processId()));
        status.open(QIODevice::ReadOnly);
        const QByteArray text = status.readAll();
        const qsizetype at = text.indexOf("VmRSS:");
        return text.mid(at + 6, text.indexOf('\n', at) - at - 6).trimmed().split(' ')[0].toLong();
    }

private:
    QTemporaryDir folder_;
    QProcess process_;
    QByteArray log_;
    kt::test::Socket first_;
};

// True once a new connection to the port is cut within the time.
bool Cuts(const Socket& listener, uint16_t port, int milliseconds = 5000) {
    for (QDeadlineTimer end(milliseconds); !end.hasExpired();) {
        const Socket probe = Connect("127.0.0.2", "127.0.0.3", port);
        const Socket accepted = Accept(listener);
        if (!probe.Valid() || ConnectionError(probe, 100) != 0) {
            return true;
        }
    }
    return false;
}

Socket Dial(const QString& path) {
    Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, qPrintable(path), sizeof address.sun_path - 1);
    if (::connect(socket.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    return socket;
}

// What the service sends until it closes, or lines lines, or the time is up.
QByteArray Read(const Socket& socket, int lines = INT32_MAX, int milliseconds = 10000) {
    QByteArray said;
    char buffer[4096];
    for (QDeadlineTimer end(milliseconds); said.count('\n') < lines && !end.hasExpired();) {
        pollfd wait{socket.Fd(), POLLIN, 100};
        if (::poll(&wait, 1, 100) == 1) {
            const ssize_t n = ::recv(socket.Fd(), buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            said.append(buffer, n);
        }
    }
    return said;
}

bool Send(const Socket& socket, const QByteArray& bytes) {
    return ::send(socket.Fd(), bytes.constData(), static_cast<size_t>(bytes.size()),
                  MSG_NOSIGNAL) == bytes.size();
}

// The first line the service sends a process of these credentials, or "connect: <errno>".
std::string FirstLineAs(uid_t uid, gid_t gid, std::vector<gid_t> groups, const QString& path) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        return "pipe";
    }
    const QByteArray where = path.toLocal8Bit();
    const pid_t child = ::fork();
    if (child == 0) { // nothing that allocates: other threads may hold the allocator's lock
        char said[4096] = "credentials";
        ssize_t length = 11;
        if (::setgroups(groups.size(), groups.data()) == 0 && ::setgid(gid) == 0 &&
            ::setuid(uid) == 0) {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, where.constData(), sizeof address.sun_path - 1);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                length = std::snprintf(said, sizeof said, "connect: %d", errno);
            } else {
                for (length = 0; length < static_cast<ssize_t>(sizeof said) &&
                                 ::read(fd, said + length, 1) == 1 && said[length] != '\n';) {
                    ++length;
                }
            }
        }
        ::write(pipe[1], said, static_cast<size_t>(length));
        ::_exit(0);
    }
    ::close(pipe[1]);
    std::string line;
    char byte;
    while (::read(pipe[0], &byte, 1) == 1) {
        line += byte;
    }
    ::close(pipe[0]);
    ::waitpid(child, nullptr, 0);
    return line;
}

// What a client was told through its handlers.
struct Seen {
    std::string refused, gone;
    std::vector<std::string> errors; // of each answer, "" when done
    std::vector<std::string> cuts;
    std::vector<std::string> notices;
    RuleTexts rules;
    ControlClient::Handlers Handlers() {
        return {{},
                [this](const std::string& m) { refused = m; },
                [this](const std::string& why) { gone = why; },
                [this](const RuleTexts& r) { rules = r; },
                [this](int64_t, const std::string& e, const std::string&) { errors.push_back(e); },
                {},
                [this](const std::string& line, bool) { cuts.push_back(line); },
                {},
                [this](const std::string& text) { notices.push_back(text); }};
    }
};

bool Has(const std::vector<std::string>& lines, const std::string& part) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(part) != line.npos; });
}

enum class Abuse { TenMegabytes, NotJson, UnknownCommand, NeverReads, ThousandClients, TooMany };

} // namespace

Q_DECLARE_METATYPE(Abuse)

class ControlServiceTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void aMemberBlocksAPortTheGuardCutsAndEveryoneSeesIt();
    void aWindowIsTheServicesFaceUntilTheServiceGoes();
    void aWindowFindsTheServiceOrIsKeptOut();
    void anEditTheServiceCouldNotSaveIsToldKeptAndSavedUnlessTheFileWins();
    void onlyRootAndTheGroupGetIn_data();
    void onlyRootAndTheGroupGetIn();
    void aRequestSavesOnlyWhatChangesTheRulesAndOnce_data();
    void aRequestSavesOnlyWhatChangesTheRulesAndOnce();
    void abuseCostsTheServiceLittleAndNeverTheGuard_data();
    void abuseCostsTheServiceLittleAndNeverTheGuard();
    void theSocketIsMadeBeforeTheRightsGoOrHandedOverAndKept_data();
    void theSocketIsMadeBeforeTheRightsGoOrHandedOverAndKept();

private:
    std::unique_ptr<Service> shared_;
    Socket guarded_;
};

void ControlServiceTest::initTestCase() {
    if (::geteuid() != 0) {
        QSKIP("needs root: a network namespace of its own, other users' credentials, the guard");
    }
    const std::string error = EnterOwnNetworkNamespace();
    QVERIFY2(error.empty(), error.c_str());
    guarded_ = Listen("127.0.0.3", kGuarded);
    // Many allowed addresses: an answer with the rules is large.
    shared_ = std::make_unique<Service>(RulesFile(2000));
    QVERIFY(shared_->Start());
}

void ControlServiceTest::aMemberBlocksAPortTheGuardCutsAndEveryoneSeesIt() {
    const Socket listener = Listen("127.0.0.3", kAdded);
    Service service(RulesFile(0));
    QVERIFY(service.Start());
    struct stat socket {};
    QCOMPARE(::stat(qPrintable(service.Socket()), &socket), 0);
    QCOMPARE(socket.st_mode & 07777, 0660u);
    QCOMPARE(socket.st_gid, ::getgid());

    Seen seen;
    ControlClient client(seen.Handlers());
    client.Connect(service.Socket().toStdString(), OwnGroup());
    QTRY_VERIFY(client.IsConnected());
    client.Watch(true, true, true);
    const Socket open = Connect("127.0.0.2", "127.0.0.3", kAdded);
    const Socket accepted = Accept(listener);
    const std::string row = std::to_string(kAdded) +
                            " <--> 127.0.0.2:" + std::to_string(open.LocalPort()) + " ESTABLISHED";
    QTRY_VERIFY_WITH_TIMEOUT(Has(client.Table(), row), 5000);

    client.Add(RuleListId::BlockedLocalPorts, "70000");
    client.Add(RuleListId::BlockedLocalPorts, std::to_string(kAdded));
    QTRY_COMPARE(seen.errors.size(), size_t{2});
    QCOMPARE(seen.errors[0], std::string(InvalidPortMessage)); // the window's own words
    QCOMPARE(seen.errors[1], std::string());
    QVERIFY(ConnectionError(open) != 0);
    QTRY_VERIFY(Has(seen.cuts, "(blocked local port " + std::to_string(kAdded) + ")"));
    QTRY_VERIFY(!Has(client.Table(), row));
    const RuleTexts blocked = {
        {{"127.0.0.1"}, {std::to_string(kGuarded), std::to_string(kAdded)}, {}}};
    QVERIFY(seen.rules == blocked);

    // The client notices the service going; the rules were saved and are back after a restart.
    QVERIFY(service.Stop());
    QTRY_VERIFY(!seen.gone.empty());
    QVERIFY(service.Start());
    seen.rules = {};
    seen.gone.clear();
    client.Connect(service.Socket().toStdString(), OwnGroup());
    QTRY_VERIFY2(client.IsConnected(), seen.gone.c_str());
    client.RequestRules();
    QTRY_VERIFY(seen.rules == blocked);
    QVERIFY(Cuts(listener, kAdded));
}

// The window, in this process, as the face of the service in another: its lists and its view are
// the service's, its edits reach the guard there, and when the service goes it says so and
// guards on its own.
void ControlServiceTest::aWindowIsTheServicesFaceUntilTheServiceGoes() {
    const Socket listener = Listen("127.0.0.3", kAdded);
    Service service("; the administrator's note\n" + RulesFile(0));
    QVERIFY(service.Start());
    QtRig rig(true);
    ServiceFace face(rig.app, service.Socket().toStdString(), OwnGroup());
    face.BecomeFace();
    QVERIFY(rig.app.StartUp());
    face.Start();
    const auto until = [&](const std::function<bool()>& done) {
        return QTest::qWaitFor(
            [&] {
                rig.app.Tick();
                return done();
            },
            5000);
    };
    const QStringList guarded = {QString::number(kGuarded)};
    Click(rig.Button(ControlId::cmdBlockedLocal));
    QVERIFY(until([&] { return rig.ListRows() == guarded; }));
    // Said once, for whoever started the window.
    QCOMPARE(std::count_if(rig.host.diagnosed.begin(), rig.host.diagnosed.end(),
                           [](const std::string& line) {
                               return line.find("is the face of the service") != line.npos;
                           }),
             1);

    const Socket open = Connect("127.0.0.2", "127.0.0.3", kAdded);
    const Socket accepted = Accept(listener);
    Click(rig.Button(ControlId::cmdCurrentConnections));
    const QString row =
        QString("%1 <--> 127.0.0.2:%2 ESTABLISHED").arg(kAdded).arg(open.LocalPort());
    QVERIFY(until([&] { return rig.ListRows().contains(row); }));

    Click(rig.Button(ControlId::cmdBlockedLocal));
    for (const QString& typed : {QString("70000"), QString::number(kAdded)}) {
        rig.Window().ItemBox()->clear();
        QTest::keyClicks(rig.Window().ItemBox(), typed);
        Click(rig.Button(ControlId::cmdAdd));
    }
    QCOMPARE(rig.host.messages, std::vector<std::string>{std::string(InvalidPortMessage)});
    QVERIFY(until([&] { return ConnectionError(open, 10) != 0; }));
    QVERIFY(
        until([&] { return rig.ListRows() == guarded + QStringList{QString::number(kAdded)}; }));
    QVERIFY(until([&] {
        return rig.Window().TrayIcon()->toolTip() ==
               QString::fromUtf8("Korvan Tessivo v1.0 Build 15 \u2014 guarded by the service\n"
                                 "1 cut since start");
    }));
    QFile ini(service.Ini());
    QVERIFY(ini.open(QIODevice::ReadOnly));
    const QByteArray saved = ini.readAll(); // the administrator's comment stays
    QVERIFY(saved.contains(QByteArray::number(kAdded)) &&
            saved.startsWith("; the administrator's note\n[General]\n"));
    QVERIFY(!QFile::exists(rig.IniPath())); // the user's own rules are not the service's

    // Hidden, brought back by a second start: the service's table shows as it changes.
    Click(rig.Button(ControlId::cmdCurrentConnections));
    rig.Window().setWindowState(Qt::WindowMinimized);
    QTRY_VERIFY(!rig.Window().isVisible());
    // The table changes while nobody sees it: the window stops following it.
    const Socket other = Listen("127.0.0.3");
    const Socket early = Connect("127.0.0.2", "127.0.0.3", other.LocalPort());
    const Socket earlyAccepted = Accept(other);
    QTest::qWait(1500); // the service reads its table's changes at least once a second
    rig.app.MainWindow()->OnShowRequested();
    QVERIFY(rig.Window().isVisible());
    const QString earlyRow =
        QString("%1 <--> 127.0.0.2:%2 ESTABLISHED").arg(other.LocalPort()).arg(early.LocalPort());
    QVERIFY(until([&] { return rig.ListRows().contains(earlyRow); }));
    const Socket late = Connect("127.0.0.2", "127.0.0.3", other.LocalPort());
    const Socket lateAccepted = Accept(other);
    const QString lateRow =
        QString("%1 <--> 127.0.0.2:%2 ESTABLISHED").arg(other.LocalPort()).arg(late.LocalPort());
    QVERIFY(QTest::qWaitFor([&] { return rig.ListRows().contains(lateRow); }, 1500));

    QVERIFY(service.Stop());
    QVERIFY(until([&] { return !rig.app.IsFace(); }));
    rig.app.ShowToldMessages();
    QVERIFY(Has(rig.host.messages, "does not answer any more"));
    QVERIFY(Has(rig.host.messages, "guards by its own rules now"));
    QCOMPARE(rig.app.Mode(), GuardMode::Polling);

    // The service comes back: the window, looking as it does every 2 s, is its face again.
    QVERIFY(service.Start());
    QVERIFY(until([&] {
        face.Look();
        return rig.app.IsFace();
    }));
    QCOMPARE(rig.app.Mode(), GuardMode::Service);
    rig.app.ShowToldMessages();
    QVERIFY(Has(rig.host.messages, "is now the face of the service"));
    Click(rig.Button(ControlId::cmdBlockedLocal));
    QVERIFY(
        until([&] { return rig.ListRows() == guarded + QStringList{QString::number(kAdded)}; }));
}

// A client's edit that the service cannot save (its folder read-only for a while) is told to
// whoever watches the rules, stays in force and is saved once the folder can be written; the
// service's own save reloads nothing. An administrator's edit of the file meanwhile wins, and the
// watchers are told which changes it replaced.
void ControlServiceTest::anEditTheServiceCouldNotSaveIsToldKeptAndSavedUnlessTheFileWins() {
    Service service(RulesFile(0));
    QVERIFY(service.Start());
    Seen seen;
    ControlClient client(seen.Handlers());
    client.Connect(service.Socket().toStdString(), OwnGroup());
    QTRY_VERIFY(client.IsConnected());
    client.Watch(false, false, true);
    const QString folder = QFileInfo(service.Ini()).absolutePath();
    // The service gave up the right to write where the mode forbids it; the test did not.
    const auto writable = [&](bool yes) { return ::chmod(qPrintable(folder), yes ? 0755 : 0555); };
    const auto saved = [&](const char* port) {
        QFile ini(service.Ini());
        return ini.open(QIODevice::ReadOnly) && ini.readAll().contains(port);
    };
    const auto inForce = [&](const std::string& port) {
        const std::vector<std::string>& ports = seen.rules[1];
        return std::find(ports.begin(), ports.end(), port) != ports.end();
    };

    QCOMPARE(writable(false), 0);
    client.Add(RuleListId::BlockedLocalPorts, "47013");
    QTRY_COMPARE(seen.notices.size(), size_t{1});
    QVERIFY(Has(seen.notices, "could not save the rules"));
    QVERIFY(inForce("47013") && !saved("47013"));
    QCOMPARE(writable(true), 0);
    QTRY_VERIFY_WITH_TIMEOUT(saved("47013"), 10000);
    QTest::qWait(1000); // the file watcher sees the service's own save
    QVERIFY(inForce("47013"));
    QVERIFY(!service.Log().contains("nothing changed"));
    QVERIFY(service.Log().contains("+blocked local port 47013"));

    QCOMPARE(writable(false), 0);
    client.Add(RuleListId::BlockedLocalPorts, "47014");
    QTRY_VERIFY(inForce("47014"));
    QFile ini(service.Ini());
    QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write(RulesFile(0) + "; the administrator's edit\n");
    ini.close();
    QTRY_VERIFY_WITH_TIMEOUT(Has(seen.notices, "replaces changes that were not saved yet"), 10000);
    QVERIFY(Has(seen.notices, "-47014"));
    QTRY_VERIFY(!inForce("47014") && !inForce("47013"));
    QCOMPARE(writable(true), 0);
    QTest::qWait(3000); // a save tried again would come within 2 s
    QVERIFY(!saved("47014"));
}

// Before it loads any guard, the window looks for the service: there, not there, or there but
// out of this user's reach (the socket's mode), which the window then explains.
void ControlServiceTest::aWindowFindsTheServiceOrIsKeptOut() {
    const std::string path = shared_->Socket().toStdString();
    QCOMPARE(LookForService(path), ServiceFound::Listening);
    QCOMPARE(LookForService(path + "-none"), ServiceFound::None);
    const pid_t child = ::fork();
    if (child == 0) { // nothing that allocates: other threads may hold the allocator's lock
        const bool nobody =
            ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0;
        ::_exit(nobody ? static_cast<int>(LookForService(path)) : 99);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QCOMPARE(WEXITSTATUS(status), static_cast<int>(ServiceFound::KeptOut));
}

void ControlServiceTest::onlyRootAndTheGroupGetIn_data() {
    QTest::addColumn<uid_t>("uid");
    QTest::addColumn<bool>("primary");       // the group is the process's primary group
    QTest::addColumn<bool>("supplementary"); // the group is among its other groups only
    QTest::addColumn<QString>("answer");     // hello, refused, or what connect() says
    QTest::newRow("root") << uid_t{0} << false << false << "hello";
    QTest::newRow("member") << kNobody << true << false << "hello";
    // Still in the group's rights since login, but no longer in the user database.
    QTest::newRow("taken out") << kNobody << false << true << "refused";
    QTest::newRow("outsider") << kNobody << false << false << QString("connect: %1").arg(EACCES);
}

void ControlServiceTest::onlyRootAndTheGroupGetIn() {
    QFETCH(uid_t, uid);
    QFETCH(bool, primary);
    QFETCH(bool, supplementary);
    QFETCH(QString, answer);
    const gid_t own = ::getgid();
    const std::string line = FirstLineAs(
        uid, primary || uid == 0 ? own : kNobody,
        supplementary ? std::vector<gid_t>{own} : std::vector<gid_t>{}, shared_->Socket());
    ControlMessage message;
    std::string why;
    if (answer == "hello") {
        QVERIFY2(ParseControlMessage(line, message, why), line.c_str());
        QCOMPARE(message.kind, ControlMessage::Kind::Hello);
    } else if (answer == "refused") {
        QVERIFY2(ParseControlMessage(line, message, why), line.c_str());
        QCOMPARE(message.kind, ControlMessage::Kind::Refused);
        QCOMPARE(message.error, NotInGroupText(OwnGroup()));
        QTRY_VERIFY(shared_->Log().contains("uid 65534 pid"));
    } else {
        QCOMPARE(QString::fromStdString(line), answer);
    }
}

void ControlServiceTest::aRequestSavesOnlyWhatChangesTheRulesAndOnce_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QStringList>("errors"); // of each edit
    QTest::addColumn<int>("saves");
    QTest::addColumn<QByteArray>("file"); // what the rules file then holds
    const QString badPort = QString::fromUtf8(InvalidPortMessage);
    QTest::newRow("delete of an entry not there")
        << QByteArray(R"({"cmd":"delete","list":"blockedRemotePorts","entry":"9"})")
        << QStringList{""} << 0 << QByteArray("BlockedRemotePortsString=\n");
    QTest::newRow("add of an entry there, in another form")
        << QByteArray(R"({"cmd":"add","list":"blockedLocalPorts","entry":"021100"})")
        << QStringList{""} << 0 << QByteArray("BlockedLocalPortsString=21100\n");
    QTest::newRow("batch that changes nothing")
        << QByteArray(
               R"({"cmd":"batch","edits":[{"op":"add","list":"allowed","entry":"127.0.0.1"},)"
               R"({"op":"add","list":"blockedRemotePorts","entry":"http"}]})")
        << QStringList{"", badPort} << 0 << QByteArray("AllowedIPString=127.0.0.1\n");
    QByteArray edits;
    for (int i = 1; i <= 100; ++i) {
        edits += QByteArray(i > 1 ? "," : "") + R"({"op":"add","list":"allowed","entry":"10.9.0.)" +
                 QByteArray::number(i) + R"("})";
    }
    QTest::newRow("batch of 100 adds")
        << R"({"cmd":"batch","edits":[)" + edits + "]}" << QStringList(100, "") << 1
        << QByteArray(",10.9.0.99,10.9.0.100\"\n");
    // The first at once, the rest together once the pause after it is over.
    QByteArray adds, ports;
    for (int i = 1; i <= 20; ++i) {
        adds += R"({"cmd":"add","list":"blockedRemotePorts","entry":")" + QByteArray::number(i) +
                "\"}\n";
        ports += QByteArray::number(i) + (i < 20 ? "," : "\"\n"); // a list is quoted
    }
    adds.chop(1);
    QTest::newRow("20 adds in a burst")
        << adds << QStringList(20, "") << 2 << "BlockedRemotePortsString=\"" + ports;
}

// Saves seen as the renames that replace the rules file; each follows the creation of its scratch
// file, so that the kernel cannot merge two renames into one event.
void ControlServiceTest::aRequestSavesOnlyWhatChangesTheRulesAndOnce() {
    QFETCH(QByteArray, request);
    QFETCH(QStringList, errors);
    QFETCH(int, saves);
    QFETCH(QByteArray, file);
    Service service(RulesFile(0));
    QVERIFY(service.Start());
    const Socket renames(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    const QByteArray folder = QFileInfo(service.Ini()).absolutePath().toLocal8Bit();
    QVERIFY(::inotify_add_watch(renames.Fd(), folder.constData(), IN_CREATE | IN_MOVED_TO) >= 0);
    struct stat before {};
    QCOMPARE(::stat(qPrintable(service.Ini()), &before), 0);
    const Socket client = Dial(service.Socket());
    QVERIFY(Send(client, request + '\n'));
    const qsizetype requests = request.count('\n') + 1;
    const QList<QByteArray> said = Read(client, static_cast<int>(requests) + 1).split('\n');
    QVERIFY(said.size() > requests);
    std::vector<std::string> told; // after hello, each answer's errors
    for (qsizetype line = 1; line <= requests; ++line) {
        ControlMessage answer;
        std::string why;
        QVERIFY2(ParseControlMessage(said[line].toStdString(), answer, why), said[line].data());
        const auto& each =
            answer.command == "batch" ? answer.errors : std::vector<std::string>{answer.error};
        told.insert(told.end(), each.begin(), each.end());
    }
    QCOMPARE(told.size(), static_cast<size_t>(errors.size()));
    for (qsizetype i = 0; i < errors.size(); ++i) {
        QCOMPARE(QString::fromStdString(told[static_cast<size_t>(i)]), errors[i]);
    }
    QTest::qWait(static_cast<int>(ControlServer::kSavePause.count()) + 300); // what waited for it
    int saved = 0;
    alignas(inotify_event) char events[4096];
    for (ssize_t n; (n = ::read(renames.Fd(), events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            saved += (event->mask & IN_MOVED_TO) != 0 && event->len > 0 &&
                     std::string_view(event->name) == "rules.ini";
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    QCOMPARE(saved, saves);
    struct stat after {};
    QCOMPARE(::stat(qPrintable(service.Ini()), &after), 0);
    QCOMPARE(after.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
                 after.st_mtim.tv_sec == before.st_mtim.tv_sec && after.st_ino == before.st_ino,
             saves == 0);
    QFile ini(service.Ini());
    QVERIFY(ini.open(QIODevice::ReadOnly));
    const QByteArray holds = ini.readAll();
    QVERIFY2(holds.contains(file), holds.constData());
}

void ControlServiceTest::abuseCostsTheServiceLittleAndNeverTheGuard_data() {
    QTest::addColumn<Abuse>("abuse");
    QTest::addColumn<QByteArray>("answer"); // in what the abuser reads
    QTest::addColumn<QByteArray>("logged"); // in the service's log
    QTest::newRow("10 MB, no line break") << Abuse::TenMegabytes << QByteArray("longer than 65536")
                                          << QByteArray("longer than 65536");
    QTest::newRow("bad JSON") << Abuse::NotJson << QByteArray("not JSON") << QByteArray("not JSON");
    QTest::newRow("unknown command")
        << Abuse::UnknownCommand << QByteArray("no command") << QByteArray("format-disk");
    QTest::newRow("never reads") << Abuse::NeverReads << QByteArray()
                                 << QByteArray("does not read");
    QTest::newRow("one too many") << Abuse::TooMany << QByteArray("try again later")
                                  << QByteArray("of this user already");
    QTest::newRow("1,000 come and go") << Abuse::ThousandClients << QByteArray() << QByteArray();
}

void ControlServiceTest::abuseCostsTheServiceLittleAndNeverTheGuard() {
    QFETCH(Abuse, abuse);
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, logged);
    Service& service = *shared_;
    const qsizetype logBefore = service.Log().size();
    const long rssBefore = service.RssKiB();
    QByteArray said;
    const Socket abuser = Dial(service.Socket());
    QVERIFY(abuser.Valid());
    switch (abuse) {
    case Abuse::TenMegabytes: {
        const QByteArray flood(10 * 1024 * 1024, 'x');
        qsizetype sent = 0;
        for (ssize_t n = 1; n > 0 && sent < flood.size(); sent += n) {
            n = ::send(abuser.Fd(), flood.constData() + sent,
                       static_cast<size_t>(flood.size() - sent), MSG_NOSIGNAL);
        }
        QVERIFY(sent < flood.size()); // it stopped taking them
        said = Read(abuser);
        break;
    }
    case Abuse::NotJson:
    case Abuse::UnknownCommand:
        QVERIFY(Send(abuser, abuse == Abuse::NotJson ? "{oops\n" : "{\"cmd\":\"format-disk\"}\n"));
        said = Read(abuser, 2);
        // and the connection still serves
        QVERIFY(Send(abuser, "{\"cmd\":\"rules\"}\n"));
        QVERIFY(Read(abuser, 1).contains("\"reply\":\"rules\""));
        break;
    case Abuse::NeverReads: {
        QByteArray requests = "{\"cmd\":\"watch\",\"events\":[\"table\",\"cuts\",\"rules\"]}\n";
        for (int i = 0; i < 4000; ++i) {
            requests += "{\"cmd\":\"rules\"}\n";
        }
        QVERIFY(Send(abuser, requests));
        pollfd closed{abuser.Fd(), POLLRDHUP, 0};
        QVERIFY(::poll(&closed, 1, 10000) == 1); // dropped, without reading a byte
        break;
    }
    case Abuse::ThousandClients:
        for (int i = 0; i < 1000; ++i) {
            QVERIFY(Dial(service.Socket()).Valid());
        }
        break;
    case Abuse::TooMany: { // until one user has all it may have; another still gets in
        std::vector<Socket> clients;
        while (said.isEmpty() && clients.size() < 100) {
            clients.push_back(Dial(service.Socket()));
            if (const QByteArray first = Read(clients.back(), 1); !first.contains("hello")) {
                said = first;
            }
        }
        const std::string member = FirstLineAs(kNobody, ::getgid(), {}, service.Socket());
        QVERIFY2(member.find("\"hello\"") != std::string::npos, member.c_str());
        break;
    }
    }
    QVERIFY2(said.contains(answer), said.left(300).constData());
    QTRY_VERIFY2(service.Log().mid(logBefore).contains(logged),
                 service.Log().mid(logBefore).constData());
    QVERIFY2(Cuts(guarded_, kGuarded, 1000), "the guard stopped cutting");
    const long grown = service.RssKiB() - rssBefore;
    qInfo("the service's memory grew by %ld KiB", grown);
    QVERIFY(grown < 32 * 1024);
    QTRY_VERIFY(Read(Dial(service.Socket()), 1).contains("hello")); // once the abusers are gone
}

void ControlServiceTest::theSocketIsMadeBeforeTheRightsGoOrHandedOverAndKept_data() {
    QTest::addColumn<bool>("handed");
    QTest::newRow("made by the service") << false;
    QTest::newRow("handed over as systemd does") << true;
}

// Made here, the socket is a group's the service is not in, which takes CAP_CHOWN: it is made
// before the service gives that up. Handed over, it is served and its path outlives the service.
void ControlServiceTest::theSocketIsMadeBeforeTheRightsGoOrHandedOverAndKept() {
    QFETCH(bool, handed);
    const std::string group = "kt-test-" + std::to_string(::getpid());
    QCOMPARE(QProcess::execute("groupadd", {"--system", QString::fromStdString(group)}), 0);
    const auto removeGroup =
        qScopeGuard([&] { QProcess::execute("groupdel", {QString::fromStdString(group)}); });
    const std::optional<gid_t> gid = GroupId(group);
    QVERIFY(gid);
    Service service(RulesFile(0));
    QVERIFY(service.Start(group, handed));
    const QByteArray path = service.Socket().toLocal8Bit();
    struct stat info {};
    QCOMPARE(::stat(path.constData(), &info), 0);
    if (!handed) {
        QCOMPARE(info.st_gid, *gid);
        QCOMPARE(info.st_mode & 07777, mode_t{0660});
        QFile status(QString("/proc/%1/status").arg(service.Pid()));
        QVERIFY(status.open(QIODevice::ReadOnly));
        const QByteArray text = status.readAll();
        const qsizetype at = text.indexOf("CapEff:") + 7;
        const uint64_t effective =
            text.mid(at, text.indexOf('\n', at) - at).trimmed().toULongLong(nullptr, 16);
        QVERIFY2((effective & (uint64_t{1} << CAP_CHOWN)) == 0, text.constData());
        // A member, through the group alone.
        const std::string member = FirstLineAs(kNobody, *gid, {}, service.Socket());
        QVERIFY2(member.find("\"hello\"") != std::string::npos, member.c_str());
    }
    QVERIFY(Read(Dial(service.Socket()), 1).contains("\"event\":\"hello\""));
    QVERIFY(service.Stop());
    QCOMPARE(::stat(path.constData(), &info), 0);
    QVERIFY(S_ISSOCK(info.st_mode));
}

QTEST_MAIN(ControlServiceTest)
#include "ControlServiceTest.moc"

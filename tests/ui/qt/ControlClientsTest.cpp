// The control server in this process, with small limits, and its clients as other users'
// processes over a real socket: who gets a place, who is closed for saying nothing, what a
// watcher gets that takes a large table and one that does not.

#include "QtRig.h"
#include "core/linux/UniqueFd.h"
#include "service/ControlProtocol.h"
#include "service/ControlServer.h"
#include "service/ControlSocket.h"
#include "ui/qt/ControlClient.h"

#include <QTest>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace kt;
using namespace kt::testing;

std::string OwnGroup() {
    const group* own = ::getgrgid(::getgid());
    return own != nullptr ? own->gr_name : "";
}

int Dial(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return fd;
}

// Each whole line of text as the client reads it; a line that is none, an Error saying so.
std::vector<ControlMessage> Messages(const std::string& text) {
    std::vector<ControlMessage> messages;
    for (size_t at = 0, end; (end = text.find('\n', at)) != text.npos; at = end + 1) {
        std::string why;
        if (!ParseControlMessage(std::string_view(text).substr(at, end - at),
                                 messages.emplace_back(), why)) {
            messages.back().error = "unreadable: " + text.substr(at, end - at);
        }
    }
    return messages;
}

// A client in this process over the real socket, reading only when asked to.
struct Peer {
    explicit Peer(const std::string& path) : fd(Dial(path)) {}
    explicit Peer(UniqueFd end) : fd(std::move(end)) {}
    bool Say(const std::string& line) const {
        return ::send(fd.Get(), line.data(), line.size(), MSG_NOSIGNAL) > 0;
    }
    // Takes what has come, without waiting.
    const std::string& Take() {
        char buffer[65536];
        ssize_t n;
        while ((n = ::recv(fd.Get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            got.append(buffer, static_cast<size_t>(n));
        }
        closed = closed || n == 0 || (n < 0 && errno != EAGAIN);
        return got;
    }
    UniqueFd fd;
    std::string got;
    bool closed = false;
};

// A process of uid's, in the test's group, that opens connections, says the first line of each,
// and holds them until it is let go.
class Holder {
public:
    Holder(uid_t uid, int connections, const std::string& path) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
            return;
        }
        if ((child_ = ::fork()) == 0) { // nothing that allocates: another thread may hold its lock
            if (::setgroups(0, nullptr) != 0 || ::setgid(::getgid()) != 0 || ::setuid(uid) != 0) {
                ::_exit(1);
            }
            for (int i = 0; i < connections; ++i) {
                const int fd = Dial(path);
                char c = 0;
                while (::read(fd, &c, 1) == 1 && c != '\n') {
                    ::write(ends[1], &c, 1);
                }
                ::write(ends[1], "\n", 1);
            }
            char go;
            ::read(ends[1], &go, 1);
            ::_exit(0);
        }
        ::close(ends[1]);
        end_.fd = UniqueFd(ends[0]);
    }
    ~Holder() { LetGo(); }

    // The first line of each connection, the server answering meanwhile.
    std::vector<ControlMessage> Lines(int count) {
        (void)QTest::qWaitFor([&] { // the caller counts what came
            return std::ranges::count(end_.Take(), '\n') >= count;
        });
        return Messages(end_.got);
    }
    void LetGo() {
        if (child_ > 0 && end_.Say("x")) {
            ::waitpid(std::exchange(child_, -1), nullptr, 0);
        }
    }

private:
    pid_t child_ = -1;
    Peer end_{UniqueFd()};
};

// The window's program core as the service's, serving a socket of a folder of its own.
struct ServerRig {
    explicit ServerRig(const ClientLimits& limits) {
        ::chmod(qPrintable(folder.path()), 0755); // other users pass through to the socket
        if (!rig.app.StartUp()) {
            return;
        }
        std::string why;
        UniqueFd listening = MakeControlSocket(Path(), OwnGroup(), why);
        server.emplace(
            rig.app, cuts,
            ControlOptions{
                QString::fromStdString(Path()), QString::fromStdString(OwnGroup()), limits, {}},
            std::move(listening));
    }
    std::string Path() const { return folder.path().toStdString() + "/control"; }
    bool Logged(const std::string& part) const {
        return std::any_of(rig.host.diagnosed.begin(), rig.host.diagnosed.end(),
                           [&](const std::string& line) { return line.find(part) != line.npos; });
    }

    QTemporaryDir folder;
    QtRig rig;
    CutFeed cuts;
    std::optional<ControlServer> server;
};

constexpr uid_t kMember = 65534, kOtherMember = 65533;
constexpr uint32_t kFrom = 0x0200007f, kTo = 0x0300007f; // 127.0.0.2 and .3, in s_addr's order

} // namespace

class ControlClientsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (::geteuid() != 0) {
            QSKIP("needs root: clients of other users");
        }
    }

    // Three places a user, five in all: two members cannot take root's last one, and a place
    // comes free when its client goes.
    void eachUserHasPlacesAndRootTheLast() {
        ServerRig server({.perUser = 3, .total = 5});
        QVERIFY(server.server && server.server->Failure().empty());
        struct Step {
            uid_t uid;
            int tries, admitted;
            bool firstLetGo; // the first member's connections go before
        };
        const Step steps[] = {{kMember, 4, 3, false},
                              {kOtherMember, 3, 1, false},
                              {0, 2, 1, false},
                              {kOtherMember, 2, 2, true}};
        std::vector<std::unique_ptr<Holder>> holders;
        for (size_t i = 0; i < std::size(steps); ++i) {
            const Step& step = steps[i];
            if (step.firstLetGo) {
                holders.front()->LetGo();
                QTest::qWait(200); // the server sees them go
            }
            holders.push_back(std::make_unique<Holder>(step.uid, step.tries, server.Path()));
            const std::vector<ControlMessage> lines = holders.back()->Lines(step.tries);
            QCOMPARE(lines.size(), static_cast<size_t>(step.tries));
            for (size_t k = 0; k < lines.size(); ++k) { // past its places, told why and closed
                const ControlMessage& line = lines[k];
                QVERIFY2(static_cast<int>(k) < step.admitted
                             ? line.kind == ControlMessage::Kind::Hello
                             : line.kind == ControlMessage::Kind::Error && line.closing &&
                                   line.error.find("try again later") != line.error.npos,
                         (std::to_string(i) + ": " + line.error).c_str());
            }
        }
    }

    // Closed after saying nothing for the idle time, told why; a watcher may stay silent.
    void aClientThatSaysNothingIsClosed() {
        ServerRig server({.idle = std::chrono::milliseconds(300)});
        QVERIFY(server.server && server.server->Failure().empty());
        Peer silent(server.Path()), watcher(server.Path()), talker(server.Path());
        QVERIFY(watcher.Say("{\"cmd\":\"watch\",\"events\":[\"cuts\"]}\n"));
        for (int tick = 0; tick < 12; ++tick) {
            QTest::qWait(100);
            QVERIFY(talker.Say("{\"cmd\":\"rules\"}\n"));
            for (Peer* peer : {&silent, &watcher, &talker}) {
                peer->Take();
            }
        }
        QVERIFY2(silent.closed && Messages(silent.got).back().closing, silent.got.c_str());
        QVERIFY(server.Logged("asked nothing"));
        QVERIFY2(!watcher.closed && !talker.closed, (watcher.got + talker.got).c_str());
    }

    // A table larger than the bound reaches a reader whole while it changes, the changes after
    // the version it was sent; a watcher that does not take it is dropped, told why last.
    void aLargeTableReachesItsReaderAsItChanges() {
        ServerRig server({.unsent = 32 * 1024});
        QVERIFY(server.server && server.server->Failure().empty());
        for (uint16_t port = 1; port <= 10000; ++port) {
            server.rig.table.rows.push_back(MakeRow(TcpEstablished, kFrom, port, kTo, 8080));
        }
        std::string gone;
        ControlClient::Handlers told{};
        told.Gone = [&](const std::string& why) { gone = why; };
        ControlClient reader(told);
        reader.Connect(server.Path(), OwnGroup());
        Peer sleeper(server.Path());
        QVERIFY(sleeper.Say("{\"cmd\":\"watch\",\"events\":[\"table\"]}\n"));
        QTRY_VERIFY(reader.IsConnected());
        reader.Watch(true, false, false);
        for (uint16_t tick = 1; tick <= 40; ++tick) { // a connection replaced every 25 ms
            server.rig.table.rows[tick * 200] =
                MakeRow(TcpEstablished, kFrom, 20000 + tick, kTo, 8080);
            server.rig.app.Tick();
            QTest::qWait(25);
            if (server.Logged("does not read")) { // it reads once dropped, to hear why
                sleeper.Take();
            }
        }
        QVERIFY(QTest::qWaitFor([&] {
            server.rig.app.Tick();
            const std::vector<std::string>& rows = reader.Table();
            const auto has = [&](uint16_t port) {
                return std::ranges::count(rows, std::to_string(port) +
                                                    " <--> 127.0.0.3:8080 ESTABLISHED") == 1;
            };
            return rows.size() == 10000 && has(20040) && !has(8001); // the last one replaced
        }));
        QVERIFY2(gone.empty(), gone.c_str());
        QVERIFY(QTest::qWaitFor([&] { return sleeper.Take(), sleeper.closed; }));
        const ControlMessage last = Messages(sleeper.got).back();
        QVERIFY2(last.kind == ControlMessage::Kind::Error && last.closing, last.error.c_str());
    }
};

QTEST_MAIN(ControlClientsTest)
#include "ControlClientsTest.moc"

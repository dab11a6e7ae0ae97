// The control server in this process, with small limits, and its clients as other users'
// processes over a real socket: who gets a place, who is closed for saying nothing, what a
// watcher that does not read is told.

#include "QtRig.h"
#include "core/qt/ControlProtocol.h"
#include "ui/qt/ControlServer.h"
#include "ui/qt/ControlSocket.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTest>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
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

// What has come on fd by now, without waiting; closed set once the peer has closed.
std::string Drain(int fd, bool* closed = nullptr) {
    std::string got;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) != 0;) {
        if (n < 0) {
            if (errno == EAGAIN) {
                return got;
            }
            break; // reset: closed too
        }
        got.append(buffer, static_cast<size_t>(n));
    }
    if (closed != nullptr) {
        *closed = true;
    }
    return got;
}

ControlMessage Parsed(std::string_view line) {
    ControlMessage message;
    std::string why;
    if (!ParseControlMessage(line, message, why)) {
        message.error = "unreadable: " + std::string(line);
    }
    return message;
}

// A process of uid's, in the test's group, that opens connections, says the first line of each,
// and holds them until it is let go.
class Holder {
public:
    Holder(uid_t uid, int connections, const std::string& path) {
        int out[2], release[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0) {
            return;
        }
        child_ = ::fork();
        if (child_ == 0) { // nothing that allocates: other threads may hold the allocator's lock
            if (::setgroups(0, nullptr) != 0 || ::setgid(::getgid()) != 0 || ::setuid(uid) != 0) {
                ::_exit(1);
            }
            for (int i = 0; i < connections; ++i) {
                const int fd = Dial(path);
                char line[1024];
                size_t n = 0;
                while (n < sizeof line - 1 && ::read(fd, line + n, 1) == 1 && line[n++] != '\n') {
                }
                if (n == 0 || line[n - 1] != '\n') {
                    line[n++] = '\n';
                }
                ::write(out[1], line, n);
            }
            char go;
            ::read(release[0], &go, 1);
            ::_exit(0);
        }
        ::close(out[1]);
        ::close(release[0]);
        out_ = out[0];
        release_ = release[1];
        ::fcntl(out_, F_SETFL, O_NONBLOCK);
    }
    ~Holder() { LetGo(); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    // The first line of each connection, the server answering meanwhile.
    std::vector<ControlMessage> Lines(int count) {
        std::string got;
        (void)QTest::qWaitFor( // the caller counts what came
            [&] {
                char buffer[4096];
                for (ssize_t n; (n = ::read(out_, buffer, sizeof buffer)) > 0;) {
                    got.append(buffer, static_cast<size_t>(n));
                }
                return std::count(got.begin(), got.end(), '\n') >= count;
            },
            10000);
        std::vector<ControlMessage> lines;
        for (size_t at = 0, end; (end = got.find('\n', at)) != got.npos; at = end + 1) {
            lines.push_back(Parsed(std::string_view(got).substr(at, end - at)));
        }
        return lines;
    }
    void LetGo() {
        if (child_ > 0) {
            ::write(release_, "x", 1);
            ::waitpid(child_, nullptr, 0);
            ::close(out_);
            ::close(release_);
            child_ = -1;
        }
    }

private:
    pid_t child_ = -1;
    int out_ = -1, release_ = -1;
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
        server.emplace(rig.app, cuts,
                       ControlOptions{QString::fromStdString(Path()),
                                      QString::fromStdString(OwnGroup()), limits},
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
            for (int k = 0; k < step.tries; ++k) {
                const ControlMessage& line = lines[static_cast<size_t>(k)];
                if (k < step.admitted) {
                    QVERIFY2(line.kind == ControlMessage::Kind::Hello,
                             (std::to_string(i) + ": " + line.error).c_str());
                } else { // told why, and closed
                    QVERIFY2(line.kind == ControlMessage::Kind::Error && line.closing &&
                                 line.error.find("try again later") != std::string::npos,
                             (std::to_string(i) + ": " + line.error).c_str());
                }
            }
        }
    }

    void aClientThatSaysNothingIsClosed() {
        ServerRig server({.idle = std::chrono::milliseconds(300)});
        QVERIFY(server.server && server.server->Failure().empty());
        const int silent = Dial(server.Path()), watcher = Dial(server.Path()),
                  talker = Dial(server.Path());
        const auto closeAll = qScopeGuard([&] {
            for (const int fd : {silent, watcher, talker}) {
                ::close(fd);
            }
        });
        const std::string watch = "{\"cmd\":\"watch\",\"events\":[\"cuts\"]}\n",
                          rules = "{\"cmd\":\"rules\"}\n";
        QVERIFY(::send(watcher, watch.data(), watch.size(), MSG_NOSIGNAL) > 0);
        std::string heard[3];
        bool closed[3] = {};
        QElapsedTimer time;
        time.start();
        for (int tick = 0; time.elapsed() < 1200; ++tick) {
            QTest::qWait(100);
            QVERIFY(::send(talker, rules.data(), rules.size(), MSG_NOSIGNAL) > 0);
            for (int i = 0; i < 3; ++i) {
                heard[i] +=
                    Drain(std::array{silent, watcher, talker}[static_cast<size_t>(i)], &closed[i]);
            }
        }
        QVERIFY2(closed[0], heard[0].c_str());
        const std::string last = heard[0].substr(heard[0].rfind('\n', heard[0].size() - 2) + 1);
        QVERIFY2(Parsed(last.substr(0, last.size() - 1)).closing, last.c_str());
        QVERIFY(server.Logged("asked nothing"));
        QVERIFY2(!closed[1] && !closed[2], (heard[1] + heard[2]).c_str());
    }

    // A watcher that does not read is dropped, told so after what it was sent; one that reads
    // beside it gets every line.
    void aWatcherThatDoesNotReadIsDroppedAndToldLast() {
        ServerRig server({.unsent = 256 * 1024});
        QVERIFY(server.server && server.server->Failure().empty());
        const int reader = Dial(server.Path()), sleeper = Dial(server.Path());
        const auto closeAll = qScopeGuard([&] {
            ::close(reader);
            ::close(sleeper);
        });
        const std::string watch = "{\"cmd\":\"watch\",\"events\":[\"cuts\"]}\n";
        for (const int fd : {reader, sleeper}) {
            QVERIFY(::send(fd, watch.data(), watch.size(), MSG_NOSIGNAL) > 0);
        }
        std::string read, slept; // it reads no more once it watches
        for (auto [fd, got] : {std::pair{reader, &read}, std::pair{sleeper, &slept}}) {
            QVERIFY(QTest::qWaitFor([&] {
                *got += Drain(fd);
                return got->find("\"watch\"") != got->npos;
            }));
        }
        const std::string padding(200, 'c');
        int pushed = 0;
        for (int round = 0; round < 100 && !server.Logged("does not read"); ++round) {
            for (int i = 0; i < 500; ++i) {
                server.cuts.Push(std::to_string(++pushed) + " " + padding);
            }
            QVERIFY2(QTest::qWaitFor(
                         [&] {
                             read += Drain(reader);
                             return read.find('"' + std::to_string(pushed) + ' ') != read.npos;
                         },
                         5000),
                     read.substr(read.size() > 300 ? read.size() - 300 : 0).c_str());
        }
        QVERIFY(server.Logged("does not read"));
        bool closed = false;
        QVERIFY(QTest::qWaitFor([&] {
            slept += Drain(sleeper, &closed);
            return closed;
        }));
        size_t lines = 0, cuts = 0;
        ControlMessage last;
        for (size_t at = 0, end; (end = slept.find('\n', at)) != slept.npos; at = end + 1) {
            last = Parsed(std::string_view(slept).substr(at, end - at));
            ++lines;
            cuts += last.kind == ControlMessage::Kind::Cut ? 1 : 0;
        }
        QVERIFY2(last.kind == ControlMessage::Kind::Error && last.closing, last.error.c_str());
        QVERIFY(cuts > 0 && cuts < static_cast<size_t>(pushed));
        QCOMPARE(lines, cuts + 3); // hello, the watch's answer, and why it was dropped
        // the reader had each one
        QCOMPARE(std::count(read.begin(), read.end(), '\n'), pushed + 2);
    }
};

QTEST_MAIN(ControlClientsTest)
#include "ControlClientsTest.moc"

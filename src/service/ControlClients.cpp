// Each connection is a QLocalSocket over a descriptor accepted by hand (see ControlServer.cpp).
// A client's output waits in a queue of its own and goes into Qt's buffer only as that empties:
// what a client leaves unread is counted in whole lines, and a table is turned into lines only
// when the client gets to it, so that a table copy is shared rather than held by each watcher.
#include "service/ControlClients.h"

#include "service/ControlProtocol.h"

#include <QLocalSocket>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace kt {

namespace {

// What Qt's buffer is filled to; the rest waits as lines in the client's queue.
constexpr qint64 kFill = 64 * 1024;
// How long the last line of a closed client may take to be read before the socket goes anyway.
constexpr int kCloseGraceMs = 2000;
// A table the client is taking, part after part, is a copy of its own only once the table has
// changed meanwhile; it is counted against the client only when it stops taking parts for this
// long, so that a reader of a large table is not dropped for the first change it sees.
constexpr auto kTaking = std::chrono::milliseconds(250);

std::string Duration(std::chrono::milliseconds time) {
    return time.count() % 1000 == 0 ? std::to_string(time.count() / 1000) + " s"
                                    : std::to_string(time.count()) + " ms";
}

} // namespace

ControlClients::ControlClients(int listening, const ClientLimits& limits, Handlers handlers)
    : listening_(listening), limits_(limits), handlers_(std::move(handlers)),
      incoming_(std::make_unique<QSocketNotifier>(listening, QSocketNotifier::Read)) {
    QObject::connect(incoming_.get(), &QSocketNotifier::activated, &context_, [this] { Accept(); });
}

ControlClients::~ControlClients() {
    for (const auto& client : clients_) {
        QObject::disconnect(client->socket.get(), nullptr, nullptr, nullptr);
        QObject::disconnect(client->timer.get(), nullptr, nullptr, nullptr);
    }
    clients_.clear();
}

std::string ControlClients::Name(const ucred& peer) {
    return "uid " + std::to_string(peer.uid) + " pid " + std::to_string(peer.pid);
}

bool ControlClients::AnyWatchesTable() const {
    return std::any_of(clients_.begin(), clients_.end(), [](const auto& client) {
        return client->table && client->admitted && !client->closing;
    });
}

void ControlClients::Accept() {
    for (;;) {
        const int fd = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            if (errno != EAGAIN) {
                handlers_.Log(std::string("accepting a client: ") + std::strerror(errno));
                // Out of descriptors, the socket stays readable: look again later, not at once.
                incoming_->setEnabled(false);
                QTimer::singleShot(100, &context_, [this] { incoming_->setEnabled(true); });
            }
            return;
        }
        auto socket = std::make_unique<QLocalSocket>();
        if (socket->setSocketDescriptor(fd)) {
            Admit(std::move(socket));
        } else {
            ::close(fd);
        }
    }
}

void ControlClients::Admit(std::unique_ptr<QLocalSocket> socket) {
    size_t all = 0, closingUnadmitted = 0;
    for (const auto& other : clients_) {
        all += other->admitted && !other->gone ? 1 : 0;
        closingUnadmitted += !other->admitted && !other->gone ? 1 : 0;
    }
    if (closingUnadmitted >= limits_.total) {
        // A flood of refused peers: those still being told why are enough.
        handlers_.Log("a client closed untold: " + std::to_string(closingUnadmitted) +
                      " refused ones are still being told why");
        socket->abort();
        return;
    }
    auto owned = std::make_unique<Client>();
    Client& c = *owned;
    c.socket = std::move(socket);
    c.timer = std::make_unique<QTimer>();
    c.timer->setSingleShot(true);
    // Qt reads no more than one line's worth ahead, even of a peer that is only being refused.
    c.socket->setReadBufferSize(static_cast<qint64>(kControlMaxLine) + 1);
    QObject::connect(c.socket.get(), &QLocalSocket::disconnected, c.socket.get(), [this, &c] {
        c.gone = true;
        SweepLater();
    });
    QObject::connect(c.socket.get(), &QLocalSocket::bytesWritten, c.socket.get(), [this, &c] {
        c.taken = std::chrono::steady_clock::now();
        Push(c);
    });
    clients_.push_back(std::move(owned));

    socklen_t length = sizeof c.peer;
    if (::getsockopt(static_cast<int>(c.socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED,
                     &c.peer, &length) != 0) {
        handlers_.Log(std::string("a client's credentials: ") + std::strerror(errno));
        Close(c, ErrorLine("the service cannot tell who you are", {}, true));
        return;
    }
    if (const std::string refusal = handlers_.Refusal(c.peer); !refusal.empty()) {
        Close(c, refusal);
        return;
    }
    const size_t mine =
        static_cast<size_t>(std::count_if(clients_.begin(), clients_.end(), [&](const auto& other) {
            return other->admitted && !other->gone && other->peer.uid == c.peer.uid;
        }));
    if (mine >= limits_.perUser) {
        handlers_.Log(Name(c.peer) + " refused: " + std::to_string(mine) +
                      " clients of this user already");
        Close(c, ErrorLine("you have " + std::to_string(mine) +
                               " connections to the service already; close one or try again later",
                           {}, true));
        return;
    }
    if (all >= limits_.total || (c.peer.uid != 0 && all + 1 >= limits_.total)) {
        handlers_.Log(Name(c.peer) + " refused: " + std::to_string(all) + " clients already" +
                      (all < limits_.total ? ", and the last place is root's" : ""));
        Close(c, ErrorLine("the service has " + std::to_string(all) +
                               " clients already; try again later",
                           {}, true));
        return;
    }
    c.admitted = true;
    QObject::connect(c.socket.get(), &QLocalSocket::readyRead, c.socket.get(),
                     [this, &c] { Read(c); });
    QObject::connect(c.timer.get(), &QTimer::timeout, c.socket.get(), [this, &c] { Idle(c); });
    c.timer->start(limits_.idle);
    Send(c, handlers_.Hello());
    Read(c); // what came with the connection
}

void ControlClients::Read(Client& client) {
    while (!client.closing && client.socket->canReadLine()) {
        const QByteArray line = client.socket->readLine(static_cast<qint64>(kControlMaxLine) + 2);
        if (!line.endsWith('\n')) {
            break;
        }
        client.timer->start(limits_.idle);
        handlers_.Request(client,
                          std::string_view(line.constData(), static_cast<size_t>(line.size()) - 1));
    }
    if (!client.closing && client.socket->bytesAvailable() > static_cast<qint64>(kControlMaxLine)) {
        const std::string error =
            "a line is longer than " + std::to_string(kControlMaxLine) + " bytes";
        Drop(client, Name(client.peer) + " dropped: " + error, ErrorLine(error, {}, true));
    }
}

void ControlClients::Idle(Client& client) {
    // A watcher may be silent; it is timed again from its next request.
    if (client.closing || client.table || client.cuts || client.rules) {
        return;
    }
    const std::string idle = Duration(limits_.idle);
    Drop(client, Name(client.peer) + " closed: it asked nothing for " + idle,
         ErrorLine("closed: nothing was asked for " + idle, {}, true));
}

void ControlClients::Send(Client& client, std::string line) {
    if (client.closing) {
        return;
    }
    client.unsentBytes += line.size();
    client.unsent.push_back({std::move(line), nullptr, 0, 0});
    Push(client);
    size_t unsent = client.unsentBytes;
    if (!client.unsent.empty() && client.unsent.front().rows &&
        std::chrono::steady_clock::now() - client.taken < kTaking) {
        unsent -= client.unsent.front().bytes;
    }
    if (unsent > limits_.unsent) {
        Drop(client,
             Name(client.peer) + " dropped: it does not read what it is sent (" +
                 std::to_string(client.unsentBytes) + " bytes waiting)",
             ErrorLine("you did not read what the service sent", {}, true));
    }
}

void ControlClients::SendTable(Client& client, TableRows rows) {
    if (client.closing || !rows) {
        return;
    }
    size_t rowBytes = 0;
    for (const std::string& row : *rows) {
        rowBytes += row.size();
    }
    client.unsentBytes += rowBytes;
    if (client.unsent.empty()) {
        client.taken = std::chrono::steady_clock::now();
    }
    client.unsent.push_back({{}, std::move(rows), 0, rowBytes});
    Push(client);
}

void ControlClients::Push(Client& client) {
    while (!client.closing && !client.unsent.empty() && client.socket->bytesToWrite() < kFill) {
        Client::Unsent& next = client.unsent.front();
        if (!next.rows) {
            client.socket->write(next.line.data(), static_cast<qint64>(next.line.size()));
            client.unsentBytes -= next.line.size();
            client.unsent.pop_front();
            continue;
        }
        const std::vector<std::string>& rows = *next.rows;
        const size_t n = std::min(rows.size() - next.next, kControlRowsPerEvent);
        const auto from = rows.begin() + static_cast<ptrdiff_t>(next.next);
        TableEdit part{next.next == 0, static_cast<int64_t>(next.next), 0,
                       std::vector<std::string>(from, from + static_cast<ptrdiff_t>(n))};
        for (const std::string& row : part.rows) {
            next.bytes -= row.size();
            client.unsentBytes -= row.size();
        }
        next.next += n;
        const std::string line = TableLine(part);
        client.socket->write(line.data(), static_cast<qint64>(line.size()));
        if (next.next >= rows.size()) {
            client.unsent.pop_front();
        }
    }
}

void ControlClients::Drop(Client& client, const std::string& why, const std::string& line) {
    if (client.closing) {
        return;
    }
    handlers_.Log(why);
    Close(client, line);
    if (handlers_.Left) {
        handlers_.Left();
    }
}

void ControlClients::Close(Client& client, const std::string& line) {
    client.closing = true;
    client.table = client.cuts = client.rules = false;
    client.unsent.clear();
    client.unsentBytes = 0;
    // After what Qt holds already, so that it comes last; then closed once read, or soon anyway.
    client.socket->write(line.data(), static_cast<qint64>(line.size()));
    QObject::disconnect(client.timer.get(), &QTimer::timeout, nullptr, nullptr);
    QObject::connect(client.timer.get(), &QTimer::timeout, client.socket.get(), [this, &client] {
        client.gone = true;
        client.socket->abort();
        SweepLater();
    });
    client.timer->start(kCloseGraceMs);
    client.socket->disconnectFromServer();
}

void ControlClients::SweepLater() {
    if (std::exchange(sweepDue_, true)) {
        return;
    }
    // Not now: the client's own signal may be what is running.
    QTimer::singleShot(0, &context_, [this] {
        sweepDue_ = false;
        std::erase_if(clients_, [](const std::unique_ptr<Client>& client) {
            if (!client->gone) {
                return false;
            }
            QObject::disconnect(client->socket.get(), nullptr, nullptr, nullptr);
            QObject::disconnect(client->timer.get(), nullptr, nullptr, nullptr);
            client->socket.release()->deleteLater();
            return true;
        });
        if (handlers_.Left) {
            handlers_.Left();
        }
    });
}

} // namespace kt

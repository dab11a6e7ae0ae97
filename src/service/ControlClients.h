#pragma once

// The control socket's clients: who is let in and how many, how long one may say nothing, and
// what its unread output may cost. What they ask is answered elsewhere, through Handlers.

#include <QObject>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/types.h>
#include <vector>

class QLocalSocket;
class QSocketNotifier;
class QTimer;

namespace kt {

struct ClientLimits {
    size_t perUser = 16;
    // In all; the last of them is only ever root's, so that members cannot keep root out.
    size_t total = 64;
    // A client that asks nothing for this long and watches nothing is closed.
    std::chrono::milliseconds idle{30000};
    // What one client may leave unread beyond what its socket holds, a table it is being sent
    // included; past it the client is dropped. 64 clients stay well within 64 MB.
    size_t unsent = 512 * 1024;
};

// A table sent in parts as its reader takes them; shared, it costs one copy however many read it.
using TableRows = std::shared_ptr<const std::vector<std::string>>;

class ControlClients {
public:
    struct Client {
        ucred peer{};
        bool table = false, cuts = false, rules = false; // what it watches

    private:
        friend class ControlClients;
        struct Unsent {
            std::string line;
            TableRows rows; // when not a line: the rows from next on, reset first
            size_t next = 0;
            size_t bytes = 0; // the rows' not yet sent
        };
        std::unique_ptr<QLocalSocket> socket;
        std::unique_ptr<QTimer> timer; // idle, then the end of a close
        std::deque<Unsent> unsent;
        size_t unsentBytes = 0;
        std::chrono::steady_clock::time_point taken{}; // when its socket last took bytes
        bool admitted = false;                         // holds a slot until its socket is gone
        bool closing = false, gone = false;
    };

    struct Handlers {
        // The first line of an admitted client.
        std::function<std::string()> Hello;
        // May the peer use the service at all? When not, the line it is told.
        std::function<std::string(const ucred& peer)> Refusal;
        std::function<void(Client& client, std::string_view line)> Request;
        // For standard error, already limited in rate.
        std::function<void(const std::string& line)> Log;
        // A client left: what is watched may have changed.
        std::function<void()> Left;
    };

    // Accepts on listening, a non-blocking listening socket that stays the caller's.
    ControlClients(int listening, const ClientLimits& limits, Handlers handlers);
    ~ControlClients();
    ControlClients(const ControlClients&) = delete;
    ControlClients& operator=(const ControlClients&) = delete;

    // Queued after what the client has not read yet.
    void Send(Client& client, std::string line);
    // The table whole, as its reset, in parts as the client reads them.
    void SendTable(Client& client, TableRows rows);
    // Tells the client why in one line after what it was sent, and closes.
    void Drop(Client& client, const std::string& why, const std::string& line);

    template <typename Each> void ForEach(const Each& each) {
        for (const auto& client : clients_) {
            if (client->admitted && !client->closing) {
                each(*client);
            }
        }
    }
    bool AnyWatchesTable() const;
    static std::string Name(const ucred& peer);

private:
    void Accept();
    void Admit(std::unique_ptr<QLocalSocket> socket);
    void Read(Client& client);
    void Idle(Client& client);
    void Push(Client& client);
    void Close(Client& client, const std::string& line);
    void SweepLater();

    int listening_;
    ClientLimits limits_;
    Handlers handlers_;
    QObject context_; // of every queued call
    std::unique_ptr<QSocketNotifier> incoming_;
    std::vector<std::unique_ptr<Client>> clients_;
    bool sweepDue_ = false;
};

} // namespace kt

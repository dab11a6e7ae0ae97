// Accepted by hand on a socket made or handed over elsewhere, each connection a QLocalSocket:
// QLocalServer removes the path of a socket it adopted when it closes, which would take systemd's
// socket away. Every read and write stays asynchronous on the loop that already runs the service.
#include "ui/qt/ControlServer.h"

#include "core/Application.h"
#include "core/linux/UniqueFd.h"
#include "core/qt/ControlProtocol.h"
#include "core/qt/QtText.h"
#include "engine/Engine.h"
#include "manager/MainForm.h"
#include "manager/Manager.h"
#include "ui/qt/ControlSocket.h"
#include "ui/qt/PacedWrite.h"

#include <QLocalSocket>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <span>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace kt {

void CutFeed::Push(std::string_view line) noexcept {
    const std::lock_guard guard(lock_);
    try {
        if (lines_.size() >= kCapacity) {
            return;
        }
        lines_.emplace_back(line);
        // Under the lock: the server cannot go while it is woken.
        if (lines_.size() == 1 && wake_) {
            wake_();
        }
    } catch (const std::exception&) {
    }
}

void CutFeed::SetWake(std::function<void()> wake) {
    const std::lock_guard guard(lock_);
    wake_ = std::move(wake);
}

std::deque<std::string> CutFeed::Take() {
    const std::lock_guard guard(lock_);
    return std::exchange(lines_, {});
}

namespace {

using Clock = std::chrono::steady_clock;
// Lines about clients on standard error: at most kLogBurst in each kLogPeriod.
constexpr auto kLogPeriod = std::chrono::seconds(10);
constexpr int kLogBurst = 20;

std::string Failed(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// The user database's groups of uid: the peer's credentials carry only its primary group, and a
// user taken out of the group loses access at once.
bool InGroupDatabase(uid_t uid, gid_t gid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (size_t{1} << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr) {
        return false;
    }
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 2; ++attempt) {
        int count = static_cast<int>(groups.size());
        if (::getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) >= 0) {
            return std::find(groups.begin(), groups.begin() + count, gid) != groups.begin() + count;
        }
        if (count <= static_cast<int>(groups.size()) || count > 65536) {
            return false;
        }
        groups.resize(static_cast<size_t>(count));
    }
    return false;
}

// The Current Connections list box as the Manager fills it, by difference; each change goes to
// the clients that watch the table.
class TableFace final : public MainForm {
public:
    std::function<void(int64_t first, int64_t count, std::span<const std::string> rows)> Changed;
    const std::vector<std::string>& Rows() const { return rows_; }
    size_t Bytes() const { return bytes_; }

    void ClearListRows() override { ReplaceListRows(0, ListRowCount(), {}); }
    void AppendListRow(std::string_view text) override {
        const std::string row(text);
        ReplaceListRows(ListRowCount(), 0, std::span(&row, 1));
    }
    int32_t ListRowCount() const override { return static_cast<int32_t>(rows_.size()); }
    std::string ListRowText(int32_t row) const override {
        return row >= 0 && row < ListRowCount() ? rows_[static_cast<size_t>(row)] : std::string();
    }
    bool ListRowSelected(int32_t) const override { return false; }
    void ReplaceListRows(int32_t first, int32_t count,
                         std::span<const std::string> texts) override {
        if (first < 0 || count < 0 || first + count > ListRowCount()) {
            return;
        }
        const auto from = rows_.begin() + first;
        for (auto row = from; row != from + count; ++row) {
            bytes_ -= row->size();
        }
        for (const std::string& text : texts) {
            bytes_ += text.size();
        }
        rows_.insert(rows_.erase(from, from + count), texts.begin(), texts.end());
        if (Changed) {
            Changed(first, count, texts);
        }
    }
    void SetHeadText(std::string_view) override {}
    void SetItemBoxEnabled(bool) override {}
    void SetDeleteMenuEnabled(bool) override {}
    void SetAddButtonEnabled(bool) override {}
    // Every row: a client filters for itself.
    Value ShowConnectedValue() const override { return Value(int32_t{0}); }

private:
    std::vector<std::string> rows_;
    size_t bytes_ = 0;
};

// One table change as lines of at most kControlRowsPerEvent rows each.
template <typename Send>
void InChunks(bool reset, int64_t first, int64_t count, std::span<const std::string> rows,
              const Send& send) {
    size_t done = 0;
    do {
        const size_t n = std::min(rows.size() - done, kControlRowsPerEvent);
        TableEdit part{reset && done == 0, first + static_cast<int64_t>(done),
                       done == 0 ? count : 0,
                       std::vector<std::string>(rows.begin() + static_cast<ptrdiff_t>(done),
                                                rows.begin() + static_cast<ptrdiff_t>(done + n))};
        send(TableLine(part));
        done += n;
    } while (done < rows.size());
}

} // namespace

class ControlServer::Impl {
public:
    Impl(Application& app, CutFeed& cuts, const ControlOptions& options, UniqueFd listening);
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void BroadcastRules();
    void SaveNow() { save_.Flush(); }

    std::string failure;

private:
    struct Client {
        std::unique_ptr<QLocalSocket> socket;
        ucred peer{};
        bool table = false, cuts = false, rules = false;
        bool gone = false;
    };

    void Accept();
    void Admit(std::unique_ptr<QLocalSocket> socket);
    void Read(Client& client);
    void Handle(Client& client, std::string_view line);
    // The edits in turn, each one's error (empty when done); saved once if any changed.
    std::vector<std::string> Edit(std::span<const RuleEdit> edits, std::string& warning);
    void SendRules(Client& client, std::optional<int64_t> id, bool event);
    void Send(Client& client, const std::string& line);
    void SendTable(Client& client);
    void BroadcastTable(int64_t first, int64_t count, std::span<const std::string> rows);
    void DrainCuts();
    // A change shows to a watcher within a view interval or two, as in a window.
    void LookOftenWhileWatched();
    // Tells the client why in one line, if its socket takes it, and closes.
    void Drop(Client& client, const std::string& why, const std::string& line);
    void SweepLater();
    void Log(const std::string& line);
    static std::string Name(const ucred& peer);

    Application& app_;
    CutFeed& cuts_;
    Manager* manager_ = nullptr;
    std::string group_;
    gid_t gid_ = 0;
    QObject server_; // the context of every queued call
    UniqueFd listening_;
    std::unique_ptr<QSocketNotifier> incoming_;
    std::vector<std::unique_ptr<Client>> clients_;
    TableFace face_;
    int rulesListener_ = -1;
    // The rules file, written once a pause while clients keep changing the rules.
    std::string saveFailure_;
    PacedWrite save_{ControlServer::kSavePause, [this] {
                         saveFailure_.clear();
                         if (std::string why; !app_.SaveRules(why)) {
                             saveFailure_ = why;
                         }
                     }};
    bool sweepDue_ = false;
    Clock::time_point logWindow_{};
    int logged_ = 0;
    uint64_t unlogged_ = 0;
};

ControlServer::Impl::Impl(Application& app, CutFeed& cuts, const ControlOptions& options,
                          UniqueFd listening)
    : app_(app), cuts_(cuts), group_(ToUtf8(options.group)), listening_(std::move(listening)) {
    const std::optional<gid_t> gid = GroupId(group_);
    if (!gid) {
        failure = "there is no group " + group_ + " (addgroup --system " + group_ + ")";
        return;
    }
    gid_ = *gid;
    if (app.AppManager == nullptr) {
        failure = "the program has not started";
        return;
    }
    if (!listening_.Valid()) {
        failure = "no socket";
        return;
    }
    incoming_ = std::make_unique<QSocketNotifier>(listening_.Get(), QSocketNotifier::Read);
    QObject::connect(incoming_.get(), &QSocketNotifier::activated, &server_, [this] { Accept(); });

    // The service keeps the connection view a window would show, for the clients to watch.
    manager_ = app.AppManager.get();
    manager_->oConnections = app.GetEngine();
    face_.Changed = [this](int64_t first, int64_t count, std::span<const std::string> rows) {
        BroadcastTable(first, count, rows);
    };
    manager_->oMainForm = &face_;
    manager_->SetCurrentMode(Manager::CurrentConnectionsMode);
    rulesListener_ = app.Rules().Listen([this](const RuleChange&) { BroadcastRules(); });
    cuts_.Take(); // from before anyone could watch
    cuts_.SetWake([this] {
        QMetaObject::invokeMethod(
            &server_, [this] { DrainCuts(); }, Qt::QueuedConnection);
    });
}

ControlServer::Impl::~Impl() {
    cuts_.SetWake({});
    if (manager_ != nullptr) {
        manager_->oMainForm = nullptr;
        manager_->oConnections = nullptr;
        app_.Rules().Unlisten(rulesListener_);
    }
    for (const auto& client : clients_) {
        QObject::disconnect(client->socket.get(), nullptr, nullptr, nullptr);
    }
    clients_.clear();
}

std::string ControlServer::Impl::Name(const ucred& peer) {
    return "uid " + std::to_string(peer.uid) + " pid " + std::to_string(peer.pid);
}

void ControlServer::Impl::Log(const std::string& line) {
    const auto now = Clock::now();
    if (now >= logWindow_ + kLogPeriod) {
        if (unlogged_ != 0) {
            app_.Host().Diagnose("control socket: " + std::to_string(unlogged_) +
                                 " more lines about clients left out");
        }
        logWindow_ = now;
        logged_ = 0;
        unlogged_ = 0;
    }
    if (logged_ < kLogBurst) {
        ++logged_;
        app_.Host().Diagnose("control socket: " + line);
    } else {
        ++unlogged_;
    }
}

void ControlServer::Impl::Accept() {
    for (;;) {
        UniqueFd fd(::accept4(listening_.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd.Valid()) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            if (errno != EAGAIN) {
                Log(Failed("accepting a client", errno));
                // Out of descriptors, the socket stays readable: look again later, not at once.
                incoming_->setEnabled(false);
                QTimer::singleShot(100, &server_, [this] { incoming_->setEnabled(true); });
            }
            return;
        }
        auto socket = std::make_unique<QLocalSocket>();
        if (socket->setSocketDescriptor(fd.Get())) {
            fd.Release(); // the socket's now
            Admit(std::move(socket));
        }
    }
}

void ControlServer::Impl::Admit(std::unique_ptr<QLocalSocket> socket) {
    const int fd = static_cast<int>(socket->socketDescriptor());
    const auto refuse = [&](const std::string& why, const std::string& line) {
        Log(why);
        // Straight into the peer's queue, which a fresh connection has room for; never waited on.
        ::send(fd, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        socket->abort();
    };
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
        refuse(Failed("a client's credentials", errno),
               ErrorLine("the service cannot tell who you are", {}, true));
        return;
    }
    if (peer.uid != 0 && peer.gid != gid_ && !InGroupDatabase(peer.uid, gid_)) {
        refuse(Name(peer) + " refused: neither root nor in the group " + group_,
               RefusedLine(NotInGroupText(group_)));
        return;
    }
    const auto live = std::count_if(clients_.begin(), clients_.end(),
                                    [](const auto& client) { return !client->gone; });
    if (static_cast<size_t>(live) >= ControlServer::kMaxClients) {
        refuse(Name(peer) + " refused: " + std::to_string(live) + " clients already",
               ErrorLine("the service has " + std::to_string(live) +
                             " clients already; try again later",
                         {}, true));
        return;
    }
    auto client = std::make_unique<Client>();
    Client& c = *client;
    c.socket = std::move(socket);
    c.peer = peer;
    // Qt reads no more than one line's worth ahead.
    c.socket->setReadBufferSize(static_cast<qint64>(kControlMaxLine) + 1);
    QObject::connect(c.socket.get(), &QLocalSocket::readyRead, c.socket.get(),
                     [this, &c] { Read(c); });
    QObject::connect(c.socket.get(), &QLocalSocket::disconnected, c.socket.get(), [this, &c] {
        c.gone = true;
        SweepLater();
    });
    clients_.push_back(std::move(client));
    Send(c, HelloLine(app_.Guarded() ? "kernel" : "polling"));
    Read(c); // what came with the connection
}

void ControlServer::Impl::Read(Client& client) {
    while (!client.gone && client.socket->canReadLine()) {
        const QByteArray line = client.socket->readLine(static_cast<qint64>(kControlMaxLine) + 2);
        if (!line.endsWith('\n')) {
            break;
        }
        Handle(client, std::string_view(line.constData(), static_cast<size_t>(line.size()) - 1));
    }
    if (!client.gone && client.socket->bytesAvailable() > static_cast<qint64>(kControlMaxLine)) {
        const std::string error =
            "a line is longer than " + std::to_string(kControlMaxLine) + " bytes";
        Drop(client, Name(client.peer) + " dropped: " + error, ErrorLine(error, {}, true));
    }
}

void ControlServer::Impl::Handle(Client& client, std::string_view line) {
    const ParsedRequest parsed = ParseControlRequest(line);
    if (!parsed.request) {
        Log(Name(client.peer) + ": " + parsed.error + ": " + Excerpt(line));
        Send(client, ErrorLine(parsed.error, parsed.id, false));
        return;
    }
    const ControlRequest& request = *parsed.request;
    switch (request.command) {
    case ControlRequest::Command::Rules:
        SendRules(client, request.id, false);
        break;
    case ControlRequest::Command::Add:
    case ControlRequest::Command::Delete: {
        std::string warning;
        const RuleEdit edit{request.list, request.command == ControlRequest::Command::Add,
                            request.entry};
        const std::vector<std::string> errors = Edit(std::span(&edit, 1), warning);
        Send(client, AnswerLine(request, errors.front(), warning));
        break;
    }
    case ControlRequest::Command::Batch: {
        std::string warning;
        const std::vector<std::string> errors = Edit(request.edits, warning);
        Send(client, BatchAnswerLine(request, errors, warning));
        break;
    }
    case ControlRequest::Command::Watch:
        client.table = request.table;
        LookOftenWhileWatched();
        client.cuts = request.cuts;
        client.rules = request.rules;
        Send(client, AnswerLine(request, {}, {}));
        if (request.rules) {
            SendRules(client, std::nullopt, true);
        }
        if (request.table) {
            SendTable(client);
        }
        break;
    }
}

std::vector<std::string> ControlServer::Impl::Edit(std::span<const RuleEdit> edits,
                                                   std::string& warning) {
    const std::vector<RuleOutcome> outcomes = app_.Rules().Apply(edits, RuleOrigin::Client);
    std::vector<std::string> errors;
    bool changed = false;
    for (const RuleOutcome& outcome : outcomes) {
        errors.push_back(outcome.error);
        changed = changed || outcome.changed;
    }
    // An edit that changed nothing leaves the file, the guard and the table as they are. A save
    // put off to the end of the pause tells its failure as the window's saves do, once, on
    // standard error.
    if (changed && save_.Changed() && !saveFailure_.empty()) {
        warning = SaveFailedText(saveFailure_);
    }
    return errors;
}

void ControlServer::Impl::SendRules(Client& client, std::optional<int64_t> id, bool event) {
    for (const std::string& line : RulesLines(app_.Rules().Entries(), id, event)) {
        Send(client, line);
    }
}

void ControlServer::Impl::Send(Client& client, const std::string& line) {
    if (client.gone) {
        return;
    }
    client.socket->write(line.data(), static_cast<qint64>(line.size()));
    const auto waiting = static_cast<size_t>(client.socket->bytesToWrite());
    if (waiting > ControlServer::kMaxQueued + face_.Bytes()) {
        Drop(client,
             Name(client.peer) + " dropped: it does not read what it is sent (" +
                 std::to_string(waiting) + " bytes waiting)",
             ErrorLine("you did not read what the service sent", {}, true));
    }
}

void ControlServer::Impl::SendTable(Client& client) {
    InChunks(true, 0, 0, face_.Rows(), [&](const std::string& line) { Send(client, line); });
}

void ControlServer::Impl::BroadcastTable(int64_t first, int64_t count,
                                         std::span<const std::string> rows) {
    if (std::none_of(clients_.begin(), clients_.end(),
                     [](const auto& client) { return client->table && !client->gone; })) {
        return;
    }
    InChunks(false, first, count, rows, [&](const std::string& line) {
        for (const auto& client : clients_) {
            if (client->table) {
                Send(*client, line);
            }
        }
    });
}

void ControlServer::Impl::BroadcastRules() {
    if (std::none_of(clients_.begin(), clients_.end(),
                     [](const auto& client) { return client->rules && !client->gone; })) {
        return;
    }
    const std::vector<std::string> lines = RulesLines(app_.Rules().Entries(), std::nullopt, true);
    for (const auto& client : clients_) {
        if (client->rules) {
            for (const std::string& line : lines) {
                Send(*client, line);
            }
        }
    }
}

void ControlServer::Impl::DrainCuts() {
    for (const std::string& cut : cuts_.Take()) {
        const std::string line = CutLine(cut);
        for (const auto& client : clients_) {
            if (client->cuts) {
                Send(*client, line);
            }
        }
    }
}

void ControlServer::Impl::Drop(Client& client, const std::string& why, const std::string& line) {
    Log(why);
    ::send(static_cast<int>(client.socket->socketDescriptor()), line.data(), line.size(),
           MSG_DONTWAIT | MSG_NOSIGNAL);
    client.gone = true;
    client.socket->abort();
    SweepLater();
}

void ControlServer::Impl::LookOftenWhileWatched() {
    app_.LookOften(std::any_of(clients_.begin(), clients_.end(),
                               [](const auto& client) { return client->table && !client->gone; }));
}

void ControlServer::Impl::SweepLater() {
    if (std::exchange(sweepDue_, true)) {
        return;
    }
    // Not now: the client's own signal may be what is running.
    QTimer::singleShot(0, &server_, [this] {
        sweepDue_ = false;
        std::erase_if(clients_, [](const std::unique_ptr<Client>& client) {
            if (!client->gone) {
                return false;
            }
            QObject::disconnect(client->socket.get(), nullptr, nullptr, nullptr);
            client->socket.release()->deleteLater();
            return true;
        });
        LookOftenWhileWatched();
    });
}

ControlServer::ControlServer(Application& app, CutFeed& cuts, const ControlOptions& options,
                             UniqueFd listening)
    : impl_(std::make_unique<Impl>(app, cuts, options, std::move(listening))) {}

ControlServer::~ControlServer() = default;

void ControlServer::SaveNow() {
    impl_->SaveNow();
}

const std::string& ControlServer::Failure() const {
    return impl_->failure;
}

} // namespace kt

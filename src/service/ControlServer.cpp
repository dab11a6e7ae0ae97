// Accepted by hand on a socket made or handed over elsewhere, each connection a QLocalSocket:
// QLocalServer removes the path of a socket it adopted when it closes, which would take systemd's
// socket away. Every read and write stays asynchronous on the loop that already runs the service.
#include "service/ControlServer.h"

#include "core/Application.h"
#include "core/linux/UniqueFd.h"
#include "core/qt/QtText.h"
#include "engine/Engine.h"
#include "manager/MainForm.h"
#include "manager/Manager.h"
#include "service/ControlProtocol.h"
#include "service/ControlSocket.h"
#include "service/PacedWrite.h"

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
    // Shared until the table next changes.
    TableRows Rows() const { return rows_; }

    void ClearListRows() override { ReplaceListRows(0, ListRowCount(), {}); }
    void AppendListRow(std::string_view text) override {
        const std::string row(text);
        ReplaceListRows(ListRowCount(), 0, std::span(&row, 1));
    }
    int32_t ListRowCount() const override { return static_cast<int32_t>(rows_->size()); }
    std::string ListRowText(int32_t row) const override {
        return row >= 0 && row < ListRowCount() ? (*rows_)[static_cast<size_t>(row)]
                                                : std::string();
    }
    bool ListRowSelected(int32_t) const override { return false; }
    void ReplaceListRows(int32_t first, int32_t count,
                         std::span<const std::string> texts) override {
        if (first < 0 || count < 0 || first + count > ListRowCount()) {
            return;
        }
        if (rows_.use_count() > 1) { // a watcher is still being sent the table as it was
            rows_ = std::make_shared<std::vector<std::string>>(*rows_);
        }
        std::vector<std::string>& rows = *rows_;
        const auto from = rows.begin() + first;
        rows.insert(rows.erase(from, from + count), texts.begin(), texts.end());
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
    std::shared_ptr<std::vector<std::string>> rows_ = std::make_shared<std::vector<std::string>>();
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

namespace {

std::string RuleEntryName(RuleListId list) {
    switch (list) {
    case RuleListId::Allowed:
        return "allowed address";
    case RuleListId::BlockedLocalPorts:
        return "blocked local port";
    case RuleListId::BlockedRemotePorts:
        break;
    }
    return "blocked remote port";
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
    bool Unsaved() const { return unsaved_ || save_.Waiting(); }
    void FileWon(const std::string& file, const std::string& changes);

    std::string failure;

private:
    using Client = ControlClients::Client;

    std::string Refusal(const ucred& peer);
    void Handle(Client& client, std::string_view line);
    // The edits in turn, each one's error (empty when done); saved once if any changed.
    std::vector<std::string> Edit(const Client& client, std::span<const RuleEdit> edits,
                                  std::string& warning);
    void Save();
    // Told to every client that watches the rules.
    void Notice(const std::string& text);
    void SendRules(Client& client, std::optional<int64_t> id, bool event);
    void Send(Client& client, const std::string& line);
    void BroadcastTable(int64_t first, int64_t count, std::span<const std::string> rows);
    void DrainCuts();
    // A change shows to a watcher within a view interval or two, as in a window.
    void LookOftenWhileWatched();
    void Log(const std::string& line);
    static std::string Name(const ucred& peer) { return ControlClients::Name(peer); }

    Application& app_;
    CutFeed& cuts_;
    Manager* manager_ = nullptr;
    std::string group_;
    gid_t gid_ = 0;
    QObject server_; // the context of every queued call
    UniqueFd listening_;
    TableFace face_;
    int rulesListener_ = -1;
    // The rules file, written once a pause while clients keep changing the rules.
    std::string saveFailure_;
    std::function<void()> saved_;
    // Changes in force that a failed save left out of the file, till a save succeeds or the file
    // wins; tried again every kSaveRetry.
    bool unsaved_ = false;
    QTimer retry_;
    PacedWrite save_{ControlServer::kSavePause, [this] { Save(); }};
    Clock::time_point logWindow_{};
    int logged_ = 0;
    uint64_t unlogged_ = 0;
    // Last: its clients go before anything their requests reach.
    std::unique_ptr<ControlClients> clients_;
};

ControlServer::Impl::Impl(Application& app, CutFeed& cuts, const ControlOptions& options,
                          UniqueFd listening)
    : app_(app), cuts_(cuts), group_(ToUtf8(options.group)), listening_(std::move(listening)),
      saved_(options.saved) {
    retry_.setSingleShot(true);
    QObject::connect(&retry_, &QTimer::timeout, [this] { Save(); });
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
    clients_ = std::make_unique<ControlClients>(
        listening_.Get(), options.limits,
        ControlClients::Handlers{
            [this] { return HelloLine(app_.Guarded() ? "kernel" : "polling"); },
            [this](const ucred& peer) { return Refusal(peer); },
            [this](Client& client, std::string_view line) { Handle(client, line); },
            [this](const std::string& line) { Log(line); }, [this] { LookOftenWhileWatched(); }});
}

ControlServer::Impl::~Impl() {
    cuts_.SetWake({});
    if (manager_ != nullptr) {
        manager_->oMainForm = nullptr;
        manager_->oConnections = nullptr;
        app_.Rules().Unlisten(rulesListener_);
    }
    clients_.reset();
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

std::string ControlServer::Impl::Refusal(const ucred& peer) {
    if (peer.uid == 0 || peer.gid == gid_ || InGroupDatabase(peer.uid, gid_)) {
        return {};
    }
    Log(Name(peer) + " refused: neither root nor in the group " + group_);
    return RefusedLine(NotInGroupText(group_));
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
        const std::vector<std::string> errors = Edit(client, std::span(&edit, 1), warning);
        Send(client, AnswerLine(request, errors.front(), warning));
        break;
    }
    case ControlRequest::Command::Batch: {
        std::string warning;
        const std::vector<std::string> errors = Edit(client, request.edits, warning);
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
            clients_->SendTable(client, face_.Rows());
        }
        break;
    }
}

std::vector<std::string> ControlServer::Impl::Edit(const Client& client,
                                                   std::span<const RuleEdit> edits,
                                                   std::string& warning) {
    const std::vector<RuleOutcome> outcomes = app_.Rules().Apply(edits, RuleOrigin::Client);
    std::vector<std::string> errors;
    bool changed = false;
    // Who changed what, in one line a request: "uid 1000: +blocked local port 8080".
    constexpr size_t kNamed = 20;
    std::string said;
    size_t named = 0;
    for (size_t i = 0; i < outcomes.size() && i < edits.size(); ++i) {
        const RuleOutcome& outcome = outcomes[i];
        errors.push_back(outcome.error);
        changed = changed || outcome.changed;
        if (outcome.changed && named++ < kNamed) {
            said += (said.empty() ? "" : ", ") + std::string(edits[i].add ? "+" : "-") +
                    RuleEntryName(edits[i].list) + ' ' + edits[i].entry;
        }
    }
    if (named > kNamed) {
        said += " and " + std::to_string(named - kNamed) + " more";
    }
    if (!said.empty()) {
        app_.Host().Diagnose("uid " + std::to_string(client.peer.uid) + ": " + said);
    }
    // An edit that changed nothing leaves the file, the guard and the table as they are. A save
    // put off to the end of the pause tells its failure as the window's saves do, once, on
    // standard error.
    if (changed && save_.Changed() && !saveFailure_.empty()) {
        warning = SaveFailedText(saveFailure_);
    }
    return errors;
}

void ControlServer::Impl::Save() {
    std::string why;
    if (app_.SaveRules(why)) {
        saveFailure_.clear();
        retry_.stop();
        if (unsaved_) {
            unsaved_ = false;
            app_.Host().Diagnose("the rules left unsaved are saved now");
        }
        if (saved_) {
            saved_();
        }
        return;
    }
    saveFailure_ = why;
    if (!unsaved_) {
        unsaved_ = true;
        Notice("The service could not save the rules (" + why +
               "). They stay in force, and are saved as soon as the file can be written.");
    }
    retry_.start(ControlServer::kSaveRetry);
}

void ControlServer::Impl::FileWon(const std::string& file, const std::string& changes) {
    if (!Unsaved()) {
        return;
    }
    save_.Cancel();
    retry_.stop();
    unsaved_ = false;
    saveFailure_.clear();
    app_.Host().Diagnose("the rules file " + file +
                         " was changed meanwhile and replaces rules not yet saved: " + changes);
    Notice("The rules file " + file +
           " was changed meanwhile; it replaces changes that were not saved yet (" + changes +
           ").");
}

void ControlServer::Impl::Notice(const std::string& text) {
    if (!clients_) {
        return;
    }
    const std::string line = NoticeLine(text);
    clients_->ForEach([&](Client& client) {
        if (client.rules) {
            Send(client, line);
        }
    });
}

void ControlServer::Impl::SendRules(Client& client, std::optional<int64_t> id, bool event) {
    for (const std::string& line : RulesLines(app_.Rules().Entries(), id, event)) {
        Send(client, line);
    }
}

void ControlServer::Impl::Send(Client& client, const std::string& line) {
    clients_->Send(client, line);
}

void ControlServer::Impl::BroadcastTable(int64_t first, int64_t count,
                                         std::span<const std::string> rows) {
    if (!clients_ || !clients_->AnyWatchesTable()) {
        return;
    }
    InChunks(false, first, count, rows, [&](const std::string& line) {
        clients_->ForEach([&](Client& client) {
            if (client.table) {
                Send(client, line);
            }
        });
    });
}

void ControlServer::Impl::BroadcastRules() {
    if (!clients_) {
        return;
    }
    bool watched = false;
    clients_->ForEach([&](Client& client) { watched = watched || client.rules; });
    if (!watched) {
        return;
    }
    const std::vector<std::string> lines = RulesLines(app_.Rules().Entries(), std::nullopt, true);
    clients_->ForEach([&](Client& client) {
        if (client.rules) {
            for (const std::string& line : lines) {
                Send(client, line);
            }
        }
    });
}

void ControlServer::Impl::DrainCuts() {
    for (const std::string& cut : cuts_.Take()) {
        const std::string line = CutLine(cut);
        clients_->ForEach([&](Client& client) {
            if (client.cuts) {
                Send(client, line);
            }
        });
    }
}

void ControlServer::Impl::LookOftenWhileWatched() {
    app_.LookOften(clients_ && clients_->AnyWatchesTable());
}

ControlServer::ControlServer(Application& app, CutFeed& cuts, const ControlOptions& options,
                             UniqueFd listening)
    : impl_(std::make_unique<Impl>(app, cuts, options, std::move(listening))) {}

ControlServer::~ControlServer() = default;

bool ControlServer::Unsaved() const {
    return impl_->Unsaved();
}

void ControlServer::FileWon(const std::string& file, const std::string& changes) {
    impl_->FileWon(file, changes);
}

void ControlServer::SaveNow() {
    impl_->SaveNow();
}

const std::string& ControlServer::Failure() const {
    return impl_->failure;
}

} // namespace kt

#include "ui/qt/ControlClient.h"

#include "core/qt/QtText.h"

#include <QLocalSocket>
#include <QTimer>

namespace kt {

class ControlClient::Impl {
public:
    explicit Impl(Handlers handlers) : handlers_(std::move(handlers)) {}
    // Within a handler the socket's own signal runs: it goes once that is over.
    ~Impl() { Drop(depth_ > 0); }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // A socket of its own for each connection: nothing of the last one can reach the next.
    void Connect(const std::string& path, const std::string& group) {
        Disconnect();
        path_ = path;
        group_ = group;
        finished_ = false;
        socket_ = std::make_unique<QLocalSocket>();
        QLocalSocket* socket = socket_.get();
        // The service's lines are bounded too: a table change carries a few hundred rows.
        socket->setReadBufferSize(static_cast<qint64>(kControlMaxServiceLine) + 1);
        QObject::connect(socket, &QLocalSocket::readyRead, socket,
                         [this] { Within([this] { Read(); }); });
        QObject::connect(
            socket, &QLocalSocket::errorOccurred, socket,
            [this](QLocalSocket::LocalSocketError error) { Within([&] { Failed(error); }); });
        QObject::connect(socket, &QLocalSocket::disconnected, socket, [this] {
            Within([this] { Finish(handlers_.Gone, "the service went away"); });
        });
        // Later, so that no handler runs before Connect returns.
        QTimer::singleShot(0, socket,
                           [socket, path = FromUtf8(path)] { socket->connectToServer(path); });
    }

    void Disconnect() {
        finished_ = true; // closing here tells nobody
        connected_ = false;
        table_.clear();
        rules_ = {};
        Drop(true);
    }

    bool IsConnected() const { return connected_ && !finished_; }

    int64_t Send(ControlRequest request) {
        if (!IsConnected()) {
            return 0;
        }
        request.id = ++lastId_;
        const std::string line = RequestLine(request);
        socket_->write(line.data(), static_cast<qint64>(line.size()));
        socket_->flush(); // now, not when the loop next runs: a click's rule cuts at once
        return *request.id;
    }

    const std::vector<std::string>& Table() const { return table_; }

private:
    void Failed(QLocalSocket::LocalSocketError error) {
        if (connected_ && error == QLocalSocket::PeerClosedError) {
            return; // disconnected follows
        }
        if (!connected_ && error == QLocalSocket::SocketAccessError) {
            // The socket's mode kept this user out before the service could say so.
            Finish(handlers_.Refused, NotInGroupText(group_));
            return;
        }
        const bool absent = error == QLocalSocket::ServerNotFoundError ||
                            error == QLocalSocket::ConnectionRefusedError;
        Finish(handlers_.Gone,
               connected_
                   ? "the connection to the service failed: " + ToUtf8(socket_->errorString())
               : absent ? "no service answers at " + path_
                        : "the service at " + path_ +
                              " cannot be reached: " + ToUtf8(socket_->errorString()));
    }

    // Ends the connection and tells handler, once.
    void Finish(const std::function<void(const std::string&)>& handler, const std::string& why) {
        if (std::exchange(finished_, true)) {
            return;
        }
        connected_ = false;
        Drop(true);
        if (handler) {
            handler(why);
        }
    }

    // Runs what a signal of the socket asks; a handler may destroy the client, and then nothing
    // of it is touched again.
    template <typename Work> void Within(const Work& work) {
        const std::weak_ptr<bool> alive = alive_;
        ++depth_;
        work();
        if (!alive.expired()) {
            --depth_;
        }
    }

    void Read() {
        const std::weak_ptr<bool> alive = alive_;
        while (!finished_ && socket_->canReadLine()) {
            const QByteArray line =
                socket_->readLine(static_cast<qint64>(kControlMaxServiceLine) + 2);
            if (!line.endsWith('\n')) {
                break;
            }
            ControlMessage message;
            std::string why;
            if (!ParseControlMessage(
                    std::string_view(line.constData(), static_cast<size_t>(line.size()) - 1),
                    message, why)) {
                Finish(handlers_.Gone, why);
                return;
            }
            Dispatch(message);
            if (alive.expired()) {
                return;
            }
        }
        if (!finished_ && socket_->bytesAvailable() > static_cast<qint64>(kControlMaxServiceLine)) {
            Finish(handlers_.Gone, "the service sent a line longer than this program takes");
        }
    }

    void Dispatch(const ControlMessage& message) {
        switch (message.kind) {
        case ControlMessage::Kind::Hello:
            connected_ = true;
            Call(handlers_.Connected, message.guard);
            break;
        case ControlMessage::Kind::Refused:
            Finish(handlers_.Refused, message.error);
            break;
        case ControlMessage::Kind::Error:
            if (message.closing) {
                Finish(handlers_.Gone, message.error);
            } else {
                Call(handlers_.Answered, message.id.value_or(0), message.error, std::string());
            }
            break;
        case ControlMessage::Kind::Answer:
            if (message.command == "batch") {
                Call(handlers_.BatchAnswered, message.id.value_or(0), message.errors,
                     message.warning);
            } else if (message.command != "watch") {
                Call(handlers_.Answered, message.id.value_or(0), message.error, message.warning);
            }
            break;
        case ControlMessage::Kind::Rules:
            for (size_t list = 0; list < message.rules.size(); ++list) {
                auto& into = rules_[list];
                into.insert(into.end(), message.rules[list].begin(), message.rules[list].end());
            }
            if (!message.more) {
                Call(handlers_.Rules, std::exchange(rules_, {}));
            }
            break;
        case ControlMessage::Kind::Table:
            Apply(message.table);
            break;
        case ControlMessage::Kind::Cut:
            Call(handlers_.Cut, message.line, message.refused);
            break;
        case ControlMessage::Kind::Notice:
            Call(handlers_.Notice, message.line);
            break;
        }
    }

    void Apply(const TableEdit& edit) {
        if (edit.reset) {
            table_.clear();
        }
        const auto size = static_cast<int64_t>(table_.size());
        if (edit.first > size || edit.count > size - edit.first) {
            Finish(handlers_.Gone, "the service sent a table change outside its table");
            return;
        }
        const auto from = table_.begin() + edit.first;
        table_.insert(table_.erase(from, from + edit.count), edit.rows.begin(), edit.rows.end());
        Call(handlers_.TableChanged, edit);
    }

    template <typename Handler, typename... Arguments>
    static void Call(const Handler& handler, const Arguments&... arguments) {
        if (handler) {
            handler(arguments...);
        }
    }

    // Closes the socket without a word to anyone; later, when its own signal may be what runs.
    void Drop(bool later) {
        if (socket_ != nullptr) {
            QObject::disconnect(socket_.get(), nullptr, nullptr, nullptr);
            socket_->abort();
            if (later) {
                socket_.release()->deleteLater();
            }
            socket_.reset();
        }
    }

    Handlers handlers_;
    std::unique_ptr<QLocalSocket> socket_;
    std::string path_;
    std::string group_;
    bool connected_ = false; // the service said hello
    bool finished_ = true;
    int64_t lastId_ = 0;
    int depth_ = 0; // signals of the socket running
    std::vector<std::string> table_;
    RuleTexts rules_; // the parts of the rules told so far
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

ControlClient::ControlClient(Handlers handlers)
    : impl_(std::make_unique<Impl>(std::move(handlers))) {}

ControlClient::~ControlClient() = default;

void ControlClient::Connect(const std::string& path, const std::string& group) {
    impl_->Connect(path, group);
}

void ControlClient::Disconnect() {
    impl_->Disconnect();
}

bool ControlClient::IsConnected() const {
    return impl_->IsConnected();
}

int64_t ControlClient::RequestRules() {
    return impl_->Send(ControlRequest{});
}

int64_t ControlClient::Add(RuleListId list, const std::string& entry) {
    return impl_->Send(
        {ControlRequest::Command::Add, std::nullopt, list, entry, false, false, false, {}});
}

int64_t ControlClient::Delete(RuleListId list, const std::string& entry) {
    return impl_->Send(
        {ControlRequest::Command::Delete, std::nullopt, list, entry, false, false, false, {}});
}

int64_t ControlClient::Batch(std::vector<RuleEdit> edits) {
    // In requests the service reads whole: an entry's text may grow sixfold as JSON escapes it.
    constexpr size_t kRoom = kControlMaxLine / 2;
    int64_t id = 0;
    ControlRequest request;
    request.command = ControlRequest::Command::Batch;
    size_t size = 0;
    for (RuleEdit& edit : edits) {
        const size_t cost = edit.entry.size() * 6 + 64;
        if (!request.edits.empty() && size + cost > kRoom) {
            id = impl_->Send(request);
            request.edits.clear();
            size = 0;
        }
        size += cost;
        request.edits.push_back(std::move(edit));
    }
    return request.edits.empty() ? id : impl_->Send(request);
}

int64_t ControlClient::Watch(bool table, bool cuts, bool rules) {
    ControlRequest request;
    request.command = ControlRequest::Command::Watch;
    request.table = table;
    request.cuts = cuts;
    request.rules = rules;
    return impl_->Send(request);
}

const std::vector<std::string>& ControlClient::Table() const {
    return impl_->Table();
}

} // namespace kt

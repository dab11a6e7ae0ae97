#include "ui/qt/ControlClient.h"

#include "core/qt/QtText.h"

#include <QLocalSocket>
#include <QTimer>

namespace kt {

class ControlClient::Impl {
public:
    explicit Impl(Handlers handlers) : handlers_(std::move(handlers)) {
        // The service's lines are bounded too: a table change carries a few hundred rows.
        socket_.setReadBufferSize(static_cast<qint64>(kControlMaxServiceLine) + 1);
        QObject::connect(&socket_, &QLocalSocket::readyRead, &socket_, [this] { Read(); });
        QObject::connect(&socket_, &QLocalSocket::errorOccurred, &socket_,
                         [this](QLocalSocket::LocalSocketError error) { Failed(error); });
        QObject::connect(&socket_, &QLocalSocket::disconnected, &socket_,
                         [this] { Finish(handlers_.Gone, "the service went away"); });
    }

    void Connect(const std::string& path, const std::string& group) {
        Disconnect();
        path_ = path;
        group_ = group;
        finished_ = false;
        // Later, so that no handler runs before Connect returns; unless disconnected meanwhile.
        QTimer::singleShot(0, &socket_, [this, attempt = ++attempts_] {
            if (attempt == attempts_ && !finished_) {
                socket_.connectToServer(FromUtf8(path_));
            }
        });
    }

    void Disconnect() {
        finished_ = true; // closing here tells nobody
        connected_ = false;
        socket_.abort();
        table_.clear();
    }

    bool IsConnected() const { return connected_ && !finished_; }

    int64_t Send(ControlRequest request) {
        if (!IsConnected()) {
            return 0;
        }
        request.id = ++lastId_;
        const std::string line = RequestLine(request);
        socket_.write(line.data(), static_cast<qint64>(line.size()));
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
        Finish(handlers_.Gone, (connected_ ? "the connection to the service failed: "
                                           : "no service answers at " + path_ + ": ") +
                                   ToUtf8(socket_.errorString()));
    }

    // Ends the connection and tells handler, once.
    void Finish(const std::function<void(const std::string&)>& handler, const std::string& why) {
        if (std::exchange(finished_, true)) {
            return;
        }
        connected_ = false;
        socket_.abort();
        if (handler) {
            handler(why);
        }
    }

    void Read() {
        // A handler may destroy the client: nothing of it is touched after that.
        const std::weak_ptr<bool> alive = alive_;
        while (!finished_ && socket_.canReadLine()) {
            const QByteArray line =
                socket_.readLine(static_cast<qint64>(kControlMaxServiceLine) + 2);
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
        if (!finished_ && socket_.bytesAvailable() > static_cast<qint64>(kControlMaxServiceLine)) {
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
            if (message.command != "watch") {
                Call(handlers_.Answered, message.id.value_or(0), message.error, message.warning);
            }
            break;
        case ControlMessage::Kind::Rules:
            Call(handlers_.Rules, message.rules);
            break;
        case ControlMessage::Kind::Table:
            Apply(message.table);
            break;
        case ControlMessage::Kind::Cut:
            Call(handlers_.Cut, message.line, message.refused);
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

    Handlers handlers_;
    QLocalSocket socket_;
    std::string path_;
    std::string group_;
    bool connected_ = false; // the service said hello
    bool finished_ = true;
    int64_t lastId_ = 0;
    uint64_t attempts_ = 0;
    std::vector<std::string> table_;
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
    return impl_->Send({ControlRequest::Command::Add, std::nullopt, list, entry});
}

int64_t ControlClient::Delete(RuleListId list, const std::string& entry) {
    return impl_->Send({ControlRequest::Command::Delete, std::nullopt, list, entry});
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

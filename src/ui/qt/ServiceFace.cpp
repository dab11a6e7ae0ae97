#include "ui/qt/ServiceFace.h"

#include "core/Application.h"
#include "core/Settings.h"
#include "core/linux/UniqueFd.h"
#include "manager/Manager.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unordered_set>

namespace kt {

namespace {

// Each entry of from that is not in other, in from's order: a set, so that an edit costs the
// length of the lists, not their product (allowed lists run to thousands).
template <typename Act>
void EachMissing(const std::vector<std::string>& from, const std::vector<std::string>& other,
                 Act act) {
    const std::unordered_set<std::string_view> in(other.begin(), other.end());
    for (const std::string& entry : from) {
        if (!in.contains(entry)) {
            act(entry);
        }
    }
}

} // namespace

ServiceFound LookForService(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return ServiceFound::None;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        return ServiceFound::None;
    }
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
        errno == EAGAIN) { // a full backlog: someone listens
        return ServiceFound::Listening;
    }
    return errno == EACCES || errno == EPERM ? ServiceFound::KeptOut : ServiceFound::None;
}

ServiceFace::ServiceFace(Application& app, std::string path, std::string group)
    : app_(app), path_(std::move(path)), group_(std::move(group)),
      client_(ControlClient::Handlers{
          .Connected =
              [this](const std::string&) {
                  connecting_ = false;
                  if (app_.IsFace()) {
                      app_.Host().Diagnose("this window is the face of the service at " + path_);
                  } else {
                      app_.JoinService([this] { SendEdits(); }, path_);
                  }
                  tableWatched_ = true;
                  client_.Watch(true, true, true);
                  FollowView();
              },
          .Refused =
              [this](const std::string& message) {
                  connecting_ = false;
                  refused_ = true; // asking again would be refused again
                  if (app_.IsFace()) {
                      Leave(message);
                  }
              },
          .Gone =
              [this](const std::string& why) {
                  connecting_ = false;
                  if (app_.IsFace()) {
                      Leave("The service that guarded this machine does not answer any more (" +
                            why + ").");
                  }
              },
          .Rules =
              [this](const RuleTexts& rules) {
                  service_ = rules;
                  app_.ServiceRules(rules);
              },
          .Answered =
              [this](int64_t, const std::string& error, const std::string& warning) {
                  for (const std::string& text : {error, warning}) {
                      if (!text.empty()) {
                          app_.Tell(text);
                      }
                  }
                  if (!error.empty()) {
                      client_.RequestRules(); // the window showed the edit before it was refused
                  }
              },
          .TableChanged =
              [this](const TableEdit& edit) {
                  if (Manager* manager = app_.AppManager.get(); manager && app_.IsFace()) {
                      manager->oServiceLines = &client_.Table();
                      if (edit.reset) {
                          manager->RefreshCurrentConnections();
                      } else {
                          manager->ServiceLinesChanged(static_cast<int32_t>(edit.first),
                                                       static_cast<int32_t>(edit.count), edit.rows);
                      }
                  }
              },
          .Cut =
              [this](const std::string& line, bool refused) {
                  // "<time> cut <connection>": the tray names the connection.
                  constexpr std::string_view cut = " cut ";
                  if (const size_t at = line.find(cut); !refused && at != std::string::npos) {
                      app_.ServiceCut(line.substr(at + cut.size()));
                  }
              },
          .BatchAnswered =
              [this](int64_t, const std::vector<std::string>& errors, const std::string& warning) {
                  // One box for each thing to say, however many entries it concerns.
                  std::vector<std::string> said;
                  for (const std::string& text : errors) {
                      if (!text.empty() &&
                          std::find(said.begin(), said.end(), text) == said.end()) {
                          said.push_back(text);
                      }
                  }
                  for (const std::string& text : said) {
                      app_.Tell(text);
                  }
                  if (!warning.empty()) {
                      app_.Tell(warning);
                  }
                  if (!said.empty()) {
                      client_.RequestRules(); // the window showed edits that were refused
                  }
              },
          .Notice = [this](const std::string& text) { app_.Tell(text); },
      }) {}

void ServiceFace::BecomeFace() {
    app_.BecomeFace([this] { SendEdits(); });
}

void ServiceFace::Start() {
    connecting_ = true;
    client_.Connect(path_, group_);
    FollowView();
}

void ServiceFace::Look() {
    if (!app_.IsFace() && !connecting_ && !refused_ && !client_.IsConnected() &&
        LookForService(path_) == ServiceFound::Listening) {
        Start();
    }
}

void ServiceFace::FollowView() {
    if (Manager* manager = app_.AppManager.get()) {
        // Hidden in the tray, the window follows the service's rules and cuts, not its table:
        // the service then looks at its table less often.
        manager->OnServiceLinesWanted = [this](bool wanted) {
            if (wanted != tableWatched_ && client_.IsConnected()) {
                tableWatched_ = wanted;
                client_.Watch(wanted, true, true);
            }
        };
    }
}

// What the user changed in the window's lists since the service last told its rules goes there
// in one batch; the service answers with its rules, which the lists then show.
void ServiceFace::SendEdits() {
    Manager* manager = app_.AppManager.get();
    if (manager == nullptr || !app_.IsFace()) {
        return;
    }
    const RuleEntries now = CurrentRuleEntries(*manager);
    if (!client_.IsConnected()) {
        app_.Tell("The service has not answered yet: the change was not made.");
        app_.ServiceRules(service_);
        return;
    }
    std::vector<RuleEdit> edits;
    for (size_t list = 0; list < service_.size(); ++list) {
        const auto id = static_cast<RuleListId>(list);
        EachMissing(service_[list], now[list], [&](const std::string& entry) {
            edits.push_back({id, false, entry});
        });
        EachMissing(now[list], service_[list], [&](const std::string& entry) {
            edits.push_back({id, true, entry});
        });
        service_[list] = now[list];
    }
    if (!edits.empty()) {
        client_.Batch(std::move(edits));
    }
}

void ServiceFace::Leave(const std::string& said) {
    if (Manager* manager = app_.AppManager.get()) {
        manager->oServiceLines = nullptr; // the client's copy is emptied when it disconnects
    }
    app_.LeaveService(said);
}

} // namespace kt

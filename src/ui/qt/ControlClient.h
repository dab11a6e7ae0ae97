#pragma once

// The window's side of the service's control socket: it reads and changes the service's rules,
// and follows its connection table and its cuts. Everything is asynchronous on Qt's event loop;
// each handler is called from there, and may be left empty.

#include "service/ControlProtocol.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kt {

class ControlClient {
public:
    static constexpr std::string_view kDefaultPath = "/run/korvan-tessivo/control";
    static constexpr std::string_view kDefaultGroup = "korvan-tessivo";

    struct Handlers {
        // The service took this user; guard is "kernel" or "polling".
        std::function<void(const std::string& guard)> Connected;
        // This user may not use the service: message says how to join its group.
        std::function<void(const std::string& message)> Refused;
        // No service answers at the path, or the one that did went away: why, in words. The
        // client is then disconnected and may Connect() again.
        std::function<void(const std::string& why)> Gone;
        // The rules, answered to RequestRules() and, once watched, after every change; a large
        // set comes in parts, told once whole.
        std::function<void(const RuleTexts& rules)> Rules;
        // Add or Delete number id was done (error empty; warning when the service could not
        // save the rules) or refused, with the window's own words ("This is not a valid port
        // number.").
        std::function<void(int64_t id, const std::string& error, const std::string& warning)>
            Answered;
        // The table changed: rows [first, first + count) became rows (Table() holds the result).
        // The first change after Watch() has reset set: the copy was emptied before.
        std::function<void(const TableEdit& edit)> TableChanged;
        // A cut or a refused cut, as the cut log's line.
        std::function<void(const std::string& line, bool refused)> Cut;
        // Batch number id was done: each edit's error, in its order (empty when done); warning
        // when the service could not save the rules.
        std::function<void(int64_t id, const std::vector<std::string>& errors,
                           const std::string& warning)>
            BatchAnswered;
        // Something the service tells whoever watches its rules (a save that failed, edits a
        // changed file replaced), in words for a box.
        std::function<void(const std::string& text)> Notice;
    };

    explicit ControlClient(Handlers handlers);
    ~ControlClient();
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    // Answered by Connected, Refused or Gone. group names the socket's group in the message of a
    // refusal that the socket's mode makes before the service sees the user.
    void Connect(const std::string& path = std::string(kDefaultPath),
                 const std::string& group = std::string(kDefaultGroup));
    // Closes without calling Gone.
    void Disconnect();
    // True from Connected until Gone or Disconnect.
    bool IsConnected() const;

    // Each answers the request's number; nothing is sent (0) while not connected.
    int64_t RequestRules();
    int64_t Add(RuleListId list, const std::string& entry);
    int64_t Delete(RuleListId list, const std::string& entry);
    // Every edit at once: one save and one rule switch at the service.
    int64_t Batch(std::vector<RuleEdit> edits);
    // Replaces what is watched; a watched table is sent whole first, watched rules at once.
    int64_t Watch(bool table, bool cuts, bool rules);

    // The service's connection lines, as the Current Connections view shows them, while watched.
    const std::vector<std::string>& Table() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kt

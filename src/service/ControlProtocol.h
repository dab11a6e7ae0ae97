#pragma once

// The service's control socket speaks one JSON object per line, both ways. This unit turns lines
// into typed messages and back; it knows nothing of sockets, so that a fuzzer can feed it.

#include "core/Settings.h"
#include "rules/RuleModel.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kt {

inline constexpr int kControlProtocol = 1;
// What the service reads of one line; a longer one ends the connection.
inline constexpr size_t kControlMaxLine = 64 * 1024;
// What a client reads of one line from the service: a table event or a part of the rules carries
// at most kControlRowsPerEvent rows or entries.
inline constexpr size_t kControlMaxServiceLine = 16 * 1024 * 1024;
inline constexpr size_t kControlRowsPerEvent = 512;
// An entry longer than this is no address or port anyway.
inline constexpr size_t kControlMaxEntry = 256;

inline constexpr std::array<std::string_view, 3> kRuleListNames = {"allowed", "blockedLocalPorts",
                                                                   "blockedRemotePorts"};

// The three rule lists as text, in the order of RuleListId.
using RuleTexts = RuleEntries;

struct ControlRequest {
    enum class Command { Rules, Add, Delete, Watch, Batch };
    Command command = Command::Rules;
    std::optional<int64_t> id; // echoed in the answer
    RuleListId list = RuleListId::Allowed;
    std::string entry;
    bool table = false, cuts = false, rules = false; // what Watch asks for
    std::vector<RuleEdit> edits;                     // Batch: each add or delete, in turn
};

// A request, or why the line is none (error, in words for the log and the client). id is the
// line's "id" when it had a usable one, so that even a refusal can be matched.
struct ParsedRequest {
    std::optional<ControlRequest> request;
    std::string error;
    std::optional<int64_t> id;
};
ParsedRequest ParseControlRequest(std::string_view line);

// Replaces rows [first, first + count) of the client's copy of the table with rows; reset first
// empties the copy.
struct TableEdit {
    bool reset = false;
    int64_t first = 0;
    int64_t count = 0;
    std::vector<std::string> rows;
};

// What the service sends: an answer ("reply") to a request, or an event.
struct ControlMessage {
    enum class Kind {
        Hello,   // first line after the peer check passed: protocol and guard
        Refused, // the peer may not use the service; the connection closes
        Error,   // a request could not be read (or the client is dropped: closing)
        Answer,  // to add, delete, batch or watch: error empty when done
        Rules,   // a part of the rule lists, answered to "rules" or as an event
        Table,
        Cut,
        Notice, // something the service tells whoever watches its rules, in words for a box
    };
    Kind kind = Kind::Error;
    std::optional<int64_t> id;
    std::string command; // which request an Answer answers
    std::string error;   // Refused, Error, a failed Answer
    std::string warning; // a done Answer whose rules could not be saved
    std::string guard;   // Hello: "kernel" or "polling"
    RuleTexts rules;
    bool more = false;               // Rules: further parts follow, to be appended
    std::vector<std::string> errors; // a batch's Answer: each edit's error, empty when done
    TableEdit table;
    std::string line; // Cut: the cut log's line; Notice: its text
    bool refused = false;
    bool closing = false;
};
// False, with why, for a line that is not a message of this protocol.
bool ParseControlMessage(std::string_view line, ControlMessage& message, std::string& why);

// Each a whole line, ending in '\n'.
std::string RequestLine(const ControlRequest& request);
std::string HelloLine(std::string_view guard);
std::string RefusedLine(std::string_view message);
std::string ErrorLine(std::string_view error, std::optional<int64_t> id, bool closing);
std::string AnswerLine(const ControlRequest& request, std::string_view error,
                       std::string_view warning);
// Every edit's error (empty when done), in the batch's order.
std::string BatchAnswerLine(const ControlRequest& request, std::span<const std::string> errors,
                            std::string_view warning);
// Every rule in one line, however many.
std::string RulesLine(const RuleTexts& rules, std::optional<int64_t> id, bool event);
// The rules in lines of at most kControlRowsPerEvent entries; all but the last say more follow.
std::vector<std::string> RulesLines(const RuleTexts& rules, std::optional<int64_t> id, bool event);
std::string TableLine(const TableEdit& edit);
std::string CutLine(std::string_view logLine);
std::string NoticeLine(std::string_view text);

// What a peer that is neither root nor in the group is told, here and by the client when the
// socket's mode already kept it out.
std::string NotInGroupText(std::string_view group);
// A line's start as the log names it: control characters replaced, at most 60 bytes.
std::string Excerpt(std::string_view line);

} // namespace kt

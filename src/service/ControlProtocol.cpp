// JSON by Qt's own parser: it is in the program already, checks UTF-8 and nesting, and leaves no
// hand-made escaping to get wrong.
#include "service/ControlProtocol.h"

#include "core/qt/QtText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

namespace kt {
namespace {

// Whole numbers a double holds exactly.
constexpr double kMaxWhole = 9007199254740992.0;

std::optional<int64_t> WholeNumber(const QJsonValue& value) {
    if (!value.isDouble()) {
        return std::nullopt;
    }
    const double number = value.toDouble();
    if (number != std::floor(number) || std::fabs(number) > kMaxWhole) {
        return std::nullopt;
    }
    return static_cast<int64_t>(number);
}

QString Text(std::string_view text) {
    return FromUtf8(text);
}

std::string Line(const QJsonObject& object) {
    const QByteArray json = QJsonDocument(object).toJson(QJsonDocument::Compact);
    std::string line(json.constData(), static_cast<size_t>(json.size()));
    line += '\n';
    return line;
}

QJsonArray TextArray(std::span<const std::string> texts) {
    QJsonArray array;
    for (const std::string& text : texts) {
        array.append(Text(text));
    }
    return array;
}

// False when value is not an array of texts.
bool Texts(const QJsonValue& value, std::vector<std::string>& texts) {
    if (!value.isArray()) {
        return false;
    }
    texts.clear();
    for (const QJsonValue item : value.toArray()) {
        if (!item.isString()) {
            return false;
        }
        texts.push_back(ToUtf8(item.toString()));
    }
    return true;
}

void PutRules(QJsonObject& object, const RuleTexts& rules) {
    for (size_t i = 0; i < rules.size(); ++i) {
        object.insert(Text(kRuleListNames[i]), TextArray(rules[i]));
    }
}

std::string RulesPart(const RuleTexts& rules, std::optional<int64_t> id, bool event, bool more) {
    QJsonObject object;
    object.insert(event ? QStringLiteral("event") : QStringLiteral("reply"),
                  QStringLiteral("rules"));
    if (!event) {
        object.insert(QStringLiteral("ok"), true);
    }
    if (id) {
        object.insert(QStringLiteral("id"), static_cast<qint64>(*id));
    }
    if (more) {
        object.insert(QStringLiteral("more"), true);
    }
    PutRules(object, rules);
    return Line(object);
}

constexpr std::string_view kBareFields[] = {"cmd", "id"};
constexpr std::string_view kEditFields[] = {"cmd", "id", "list", "entry"};
constexpr std::string_view kWatchFields[] = {"cmd", "id", "events"};
constexpr std::string_view kBatchFields[] = {"cmd", "id", "edits"};
constexpr std::string_view kBatchEditFields[] = {"op", "list", "entry"};

std::optional<std::string> FirstUnknownField(const QJsonObject& object,
                                             std::span<const std::string_view> known) {
    for (auto field = object.begin(); field != object.end(); ++field) {
        const std::string name = ToUtf8(field.key());
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            return name;
        }
    }
    return std::nullopt;
}

bool ParseEntry(const QJsonObject& object, RuleListId& list, std::string& entry,
                std::string& error) {
    const std::string name = ToUtf8(object.value(QStringLiteral("list")).toString());
    const auto known = std::find(kRuleListNames.begin(), kRuleListNames.end(), name);
    if (known == kRuleListNames.end()) {
        error = "\"list\" must be allowed, blockedLocalPorts or blockedRemotePorts";
        return false;
    }
    list = static_cast<RuleListId>(known - kRuleListNames.begin());
    const QJsonValue value = object.value(QStringLiteral("entry"));
    entry = ToUtf8(value.toString());
    if (!value.isString() || entry.size() > kControlMaxEntry) {
        error =
            "\"entry\" must be a text of at most " + std::to_string(kControlMaxEntry) + " bytes";
        return false;
    }
    return true;
}

// Each edit names its operation, "add" or "delete", beside the fields of a single one.
bool ParseBatch(const QJsonValue& value, std::vector<RuleEdit>& edits, std::string& error) {
    if (!value.isArray()) {
        error = "\"edits\" must be a list of edits";
        return false;
    }
    for (const QJsonValue item : value.toArray()) {
        const QJsonObject edit = item.toObject();
        const std::string op = ToUtf8(edit.value(QStringLiteral("op")).toString());
        const std::string at = "edit " + std::to_string(edits.size() + 1) + ": ";
        if (!item.isObject() || (op != "add" && op != "delete")) {
            error = at + "\"op\" must be add or delete";
            return false;
        }
        RuleEdit parsed;
        parsed.add = op == "add";
        if (!ParseEntry(edit, parsed.list, parsed.entry, error)) {
            error = at + error;
            return false;
        }
        if (const auto unknown = FirstUnknownField(edit, kBatchEditFields)) {
            error = at + "no field \"" + Excerpt(*unknown) + "\"";
            return false;
        }
        edits.push_back(std::move(parsed));
    }
    return true;
}

bool ParseRequestFields(const QJsonObject& object, ControlRequest& request, std::string& error) {
    const QJsonValue command = object.value(QStringLiteral("cmd"));
    if (!command.isString()) {
        error = "no \"cmd\" text";
        return false;
    }
    const std::string name = ToUtf8(command.toString());
    std::span<const std::string_view> fields = kBareFields;
    if (name == "rules") {
        request.command = ControlRequest::Command::Rules;
    } else if (name == "add" || name == "delete") {
        request.command =
            name == "add" ? ControlRequest::Command::Add : ControlRequest::Command::Delete;
        fields = kEditFields;
        if (!ParseEntry(object, request.list, request.entry, error)) {
            return false;
        }
    } else if (name == "batch") {
        request.command = ControlRequest::Command::Batch;
        fields = kBatchFields;
        if (!ParseBatch(object.value(QStringLiteral("edits")), request.edits, error)) {
            return false;
        }
    } else if (name == "watch") {
        request.command = ControlRequest::Command::Watch;
        fields = kWatchFields;
        std::vector<std::string> events;
        if (!Texts(object.value(QStringLiteral("events")), events)) {
            error = "\"events\" must be a list of texts";
            return false;
        }
        for (const std::string& event : events) {
            if (event == "table") {
                request.table = true;
            } else if (event == "cuts") {
                request.cuts = true;
            } else if (event == "rules") {
                request.rules = true;
            } else {
                error = "no event \"" + Excerpt(event) + "\"; there are table, cuts and rules";
                return false;
            }
        }
    } else {
        error = "no command \"" + Excerpt(name) +
                "\"; there are rules, add, delete, batch and "
                "watch";
        return false;
    }
    if (const auto unknown = FirstUnknownField(object, fields)) {
        error = "\"" + name + "\" takes no field \"" + Excerpt(*unknown) + "\"";
        return false;
    }
    return true;
}

bool ParseTable(const QJsonObject& object, TableEdit& edit) {
    const auto first = WholeNumber(object.value(QStringLiteral("first")));
    const auto count = WholeNumber(object.value(QStringLiteral("count")));
    if (!first || !count || *first < 0 || *count < 0) {
        return false;
    }
    edit.reset = object.value(QStringLiteral("reset")).toBool();
    edit.first = *first;
    edit.count = *count;
    return Texts(object.value(QStringLiteral("rows")), edit.rows);
}

} // namespace

ParsedRequest ParseControlRequest(std::string_view line) {
    ParsedRequest parsed;
    if (line.size() > kControlMaxLine) {
        parsed.error = "the line is longer than " + std::to_string(kControlMaxLine) + " bytes";
        return parsed;
    }
    QJsonParseError failure{};
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray::fromRawData(line.data(), static_cast<qsizetype>(line.size())), &failure);
    if (failure.error != QJsonParseError::NoError) {
        parsed.error = "not JSON (" + ToUtf8(failure.errorString()) + " at byte " +
                       std::to_string(failure.offset) + ")";
        return parsed;
    }
    if (!document.isObject()) {
        parsed.error = "not a JSON object";
        return parsed;
    }
    const QJsonObject object = document.object();
    if (object.contains(QStringLiteral("id"))) {
        parsed.id = WholeNumber(object.value(QStringLiteral("id")));
        if (!parsed.id) {
            parsed.error = "\"id\" must be a whole number";
            return parsed;
        }
    }
    ControlRequest request;
    request.id = parsed.id;
    if (ParseRequestFields(object, request, parsed.error)) {
        parsed.request = std::move(request);
    }
    return parsed;
}

bool ParseControlMessage(std::string_view line, ControlMessage& message, std::string& why) {
    message = ControlMessage{};
    QJsonParseError failure{};
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray::fromRawData(line.data(), static_cast<qsizetype>(line.size())), &failure);
    if (failure.error != QJsonParseError::NoError || !document.isObject()) {
        why = "the service sent a line that is no JSON object";
        return false;
    }
    const QJsonObject object = document.object();
    const auto text = [&object](const char* key) {
        return ToUtf8(object.value(QLatin1String(key)).toString());
    };
    message.id = WholeNumber(object.value(QStringLiteral("id")));
    message.error = text("error");
    message.warning = text("warning");
    message.closing = object.value(QStringLiteral("closing")).toBool();
    const std::string reply = text("reply");
    const std::string event = text("event");
    bool ok = true;
    if (event == "hello") {
        message.kind = ControlMessage::Kind::Hello;
        message.guard = text("guard");
        ok = WholeNumber(object.value(QStringLiteral("protocol"))) == kControlProtocol;
    } else if (reply == "refused" || reply == "error") {
        message.kind =
            reply == "refused" ? ControlMessage::Kind::Refused : ControlMessage::Kind::Error;
    } else if (reply == "rules" || event == "rules") {
        message.kind = ControlMessage::Kind::Rules;
        message.more = object.value(QStringLiteral("more")).toBool();
        for (size_t i = 0; i < message.rules.size() && ok; ++i) {
            ok = Texts(object.value(Text(kRuleListNames[i])), message.rules[i]);
        }
    } else if (reply == "add" || reply == "delete" || reply == "watch" || reply == "batch") {
        message.kind = ControlMessage::Kind::Answer;
        message.command = reply;
        ok = object.value(QStringLiteral("ok")).isBool();
        if (ok && reply == "batch") {
            ok = Texts(object.value(QStringLiteral("errors")), message.errors);
        }
    } else if (event == "table") {
        message.kind = ControlMessage::Kind::Table;
        ok = ParseTable(object, message.table);
    } else if (event == "cut") {
        message.kind = ControlMessage::Kind::Cut;
        message.line = text("line");
        message.refused = object.value(QStringLiteral("refused")).toBool();
    } else if (event == "notice") {
        message.kind = ControlMessage::Kind::Notice;
        message.line = text("text");
        ok = !message.line.empty();
    } else {
        ok = false;
    }
    if (!ok) {
        why = "the service sent a message this program does not know: " + Excerpt(line);
    }
    return ok;
}

std::string RequestLine(const ControlRequest& request) {
    QJsonObject object;
    if (request.id) {
        object.insert(QStringLiteral("id"), static_cast<qint64>(*request.id));
    }
    switch (request.command) {
    case ControlRequest::Command::Rules:
        object.insert(QStringLiteral("cmd"), QStringLiteral("rules"));
        break;
    case ControlRequest::Command::Add:
    case ControlRequest::Command::Delete:
        object.insert(QStringLiteral("cmd"), request.command == ControlRequest::Command::Add
                                                 ? QStringLiteral("add")
                                                 : QStringLiteral("delete"));
        object.insert(QStringLiteral("list"),
                      Text(kRuleListNames[static_cast<size_t>(request.list)]));
        object.insert(QStringLiteral("entry"), Text(request.entry));
        break;
    case ControlRequest::Command::Batch: {
        object.insert(QStringLiteral("cmd"), QStringLiteral("batch"));
        QJsonArray edits;
        for (const RuleEdit& edit : request.edits) {
            edits.append(QJsonObject{{"op", edit.add ? "add" : "delete"},
                                     {"list", Text(kRuleListNames[static_cast<size_t>(edit.list)])},
                                     {"entry", Text(edit.entry)}});
        }
        object.insert(QStringLiteral("edits"), edits);
        break;
    }
    case ControlRequest::Command::Watch: {
        object.insert(QStringLiteral("cmd"), QStringLiteral("watch"));
        QJsonArray events;
        for (const auto& [wanted, name] :
             {std::pair{request.table, "table"}, std::pair{request.cuts, "cuts"},
              std::pair{request.rules, "rules"}}) {
            if (wanted) {
                events.append(QLatin1String(name));
            }
        }
        object.insert(QStringLiteral("events"), events);
        break;
    }
    }
    return Line(object);
}

std::string HelloLine(std::string_view guard) {
    return Line({{"event", "hello"}, {"protocol", kControlProtocol}, {"guard", Text(guard)}});
}

std::string RefusedLine(std::string_view message) {
    return Line({{"reply", "refused"}, {"ok", false}, {"error", Text(message)}});
}

std::string ErrorLine(std::string_view error, std::optional<int64_t> id, bool closing) {
    QJsonObject object{{"reply", "error"}, {"ok", false}, {"error", Text(error)}};
    if (id) {
        object.insert(QStringLiteral("id"), static_cast<qint64>(*id));
    }
    if (closing) {
        object.insert(QStringLiteral("closing"), true);
    }
    return Line(object);
}

std::string AnswerLine(const ControlRequest& request, std::string_view error,
                       std::string_view warning) {
    const char* name = request.command == ControlRequest::Command::Add      ? "add"
                       : request.command == ControlRequest::Command::Delete ? "delete"
                       : request.command == ControlRequest::Command::Batch  ? "batch"
                                                                            : "watch";
    QJsonObject object{{"reply", name}, {"ok", error.empty()}};
    if (request.id) {
        object.insert(QStringLiteral("id"), static_cast<qint64>(*request.id));
    }
    if (!error.empty()) {
        object.insert(QStringLiteral("error"), Text(error));
    }
    if (!warning.empty()) {
        object.insert(QStringLiteral("warning"), Text(warning));
    }
    return Line(object);
}

std::string RulesLine(const RuleTexts& rules, std::optional<int64_t> id, bool event) {
    return RulesPart(rules, id, event, false);
}

std::string BatchAnswerLine(const ControlRequest& request, std::span<const std::string> errors,
                            std::string_view warning) {
    const bool all = std::all_of(errors.begin(), errors.end(),
                                 [](const std::string& error) { return error.empty(); });
    QJsonObject object{{"reply", "batch"}, {"ok", all}, {"errors", TextArray(errors)}};
    if (request.id) {
        object.insert(QStringLiteral("id"), static_cast<qint64>(*request.id));
    }
    if (!warning.empty()) {
        object.insert(QStringLiteral("warning"), Text(warning));
    }
    return Line(object);
}

std::vector<std::string> RulesLines(const RuleTexts& rules, std::optional<int64_t> id, bool event) {
    std::vector<std::string> lines;
    RuleTexts part;
    size_t inPart = 0;
    for (size_t list = 0; list < rules.size(); ++list) {
        for (const std::string& entry : rules[list]) {
            if (inPart == kControlRowsPerEvent) {
                lines.push_back(RulesPart(part, id, event, true));
                part = {};
                inPart = 0;
            }
            part[list].push_back(entry);
            ++inPart;
        }
    }
    lines.push_back(RulesLine(part, id, event));
    return lines;
}

std::string TableLine(const TableEdit& edit) {
    QJsonObject object{{"event", "table"},
                       {"first", static_cast<qint64>(edit.first)},
                       {"count", static_cast<qint64>(edit.count)},
                       {"rows", TextArray(edit.rows)}};
    if (edit.reset) {
        object.insert(QStringLiteral("reset"), true);
    }
    return Line(object);
}

std::string CutLine(std::string_view logLine) {
    // "<time> cut ..." or "<time> refused ...: <reason>", as the cut log writes them.
    const size_t space = logLine.find(' ');
    const bool refused =
        space != std::string_view::npos && logLine.substr(space + 1).starts_with("refused ");
    return Line({{"event", "cut"}, {"refused", refused}, {"line", Text(logLine)}});
}

std::string NoticeLine(std::string_view text) {
    return Line({{"event", "notice"}, {"text", Text(text)}});
}

std::string NotInGroupText(std::string_view group) {
    const std::string name(group);
    return "Only root and members of the group " + name +
           " may see and change the rules of the Korvan Tessivo service. To join it: sudo adduser "
           "$USER " +
           name + ". Joining takes effect at the next login.";
}

std::string Excerpt(std::string_view line) {
    constexpr size_t kLength = 60;
    std::string excerpt;
    for (const char c : line.substr(0, kLength)) {
        const auto byte = static_cast<unsigned char>(c);
        excerpt += byte < 0x20 || byte >= 0x7f ? '?' : c;
    }
    if (line.size() > kLength) {
        excerpt += "...";
    }
    return excerpt;
}

} // namespace kt

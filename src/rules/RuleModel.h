#pragma once

// The three rule lists of the program: their entries in the order they were added, their
// validation and normal form, their stored text, and the notice that tells who asked for what.
// The window, the service's control socket and the reload of the rules file all change the rules
// here.

#include "core/Settings.h"
#include "engine/GuardRules.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kt {

class SettingsStore;

enum class RuleListId : uint8_t { Allowed, BlockedLocalPorts, BlockedRemotePorts };
inline constexpr size_t kRuleLists = 3;

// Who changed the rules.
enum class RuleOrigin : uint8_t { Start, Window, Client, Reload };

// One entry added to or deleted from one list.
struct RuleEdit {
    RuleListId list = RuleListId::Allowed;
    bool add = true;
    std::string entry;

    bool operator==(const RuleEdit&) const = default;
};

// What changed: the edits made (none that changed nothing), or the whole set replaced.
struct RuleChange {
    RuleOrigin origin = RuleOrigin::Start;
    bool replaced = false;
    std::vector<RuleEdit> edits;
};

// What one edit did: error in the window's own words when the entry is not valid.
struct RuleOutcome {
    std::string error;
    bool changed = false;

    bool operator==(const RuleOutcome&) const = default;
};

// An entry as the rules hold it: blanks trimmed, an address in its plain form, a port as its
// number. Nothing, with the window's message in error, for an entry that is no address or port;
// nothing and no error for a blank one.
std::optional<std::string> NormalRuleEntry(RuleListId list, std::string_view text,
                                           std::string& error);

// Entries in the order they were added, each once; finding, adding and deleting one cost the
// same whatever the number of entries.
class OrderedEntries {
public:
    bool Contains(std::string_view entry) const;
    // False when it was there already.
    bool Add(std::string_view entry);
    // False when it was not there.
    bool Erase(std::string_view entry);
    size_t Size() const { return index_.size(); }
    std::vector<std::string> Entries() const;
    // The stored text: the entries joined by commas.
    std::string Text() const;

private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const {
            return std::hash<std::string_view>{}(text);
        }
    };
    // An erased entry leaves an empty slot until the slots are compacted.
    std::vector<std::string> slots_;
    std::unordered_map<std::string, size_t, Hash, std::equal_to<>> index_;
    void Compact();
};

class RuleModel {
public:
    using Listener = std::function<void(const RuleChange&)>;

    RuleModel() = default;
    RuleModel(const RuleModel&) = delete;
    RuleModel& operator=(const RuleModel&) = delete;

    RuleOutcome Add(RuleListId list, std::string_view entry, RuleOrigin origin);
    RuleOutcome Delete(RuleListId list, std::string_view entry, RuleOrigin origin);
    // Every edit in turn, told in one notice (none when nothing changed); an outcome per edit.
    std::vector<RuleOutcome> Apply(std::span<const RuleEdit> batch, RuleOrigin origin);
    // The whole set, taken as it is (entries already in their normal form); always told.
    void Replace(const RuleEntries& all, RuleOrigin origin);

    bool Contains(RuleListId list, std::string_view entry) const;
    size_t Size(RuleListId list) const { return lists_[Index(list)].Size(); }
    RuleEntries Entries() const;
    std::vector<std::string> Entries(RuleListId list) const;
    // The stored text of each list: allowed addresses, blocked local ports, blocked remote ports.
    RuleStrings Texts() const;
    GuardRules ForGuard() const;

    // From the store as a start takes it: what is valid, with a line for each entry left out.
    std::vector<std::string> Load(SettingsStore& store, RuleOrigin origin);
    // From the store only when it holds all three lists, whole and valid; else the rules stay
    // and why says what is wrong. Told only when the texts changed (changed).
    bool Reload(SettingsStore& store, std::string& why, RuleOrigin origin, bool& changed);
    // All three lists in one write; false when the store could not keep them.
    bool Save(SettingsStore& store) const;

    // Each listener hears every change, in the order they listened.
    int Listen(Listener listener);
    void Unlisten(int id);

private:
    static size_t Index(RuleListId list) { return static_cast<size_t>(list); }
    // The edit made, if it changed anything; outcome says what happened.
    std::optional<RuleEdit> Make(RuleListId list, bool add, std::string_view entry,
                                 RuleOutcome& outcome);
    void Tell(const RuleChange& change);

    OrderedEntries lists_[kRuleLists];
    std::vector<std::pair<int, Listener>> listeners_;
    int nextListener_ = 0;
};

// The edits as a guard takes them: an address counts only in its plain form, a port only from
// 1 to 65535.
std::vector<GuardRuleEdit> GuardEdits(std::span<const RuleEdit> edits);

} // namespace kt

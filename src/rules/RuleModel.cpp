#include "rules/RuleModel.h"

#include "core/SettingsStore.h"
#include "engine/Conversions.h"
#include "engine/RuleEditing.h"

#include <algorithm>
#include <charconv>

namespace kt {

namespace {

std::optional<GuardRuleEdit> GuardEdit(const RuleEdit& edit) {
    using Kind = GuardRuleEdit::Kind;
    GuardRuleEdit guard;
    guard.add = edit.add;
    if (edit.list == RuleListId::Allowed) {
        if (NormalizeIPAddress(edit.entry) != edit.entry) {
            return std::nullopt; // the engine compares texts: another form never matches
        }
        const std::optional<uint32_t> ipv4 = ParseIPAddress(edit.entry);
        guard.address = ipv4 ? MappedAddress(*ipv4) : *ParseIPv6Address(edit.entry);
        return guard;
    }
    guard.kind = edit.list == RuleListId::BlockedLocalPorts ? Kind::BlockedLocalPort
                                                            : Kind::BlockedRemotePort;
    uint32_t port = 0;
    const char* end = edit.entry.data() + edit.entry.size();
    if (std::from_chars(edit.entry.data(), end, port).ptr != end || port < 1 || port > 65535) {
        return std::nullopt;
    }
    guard.port = static_cast<uint16_t>(port);
    return guard;
}

} // namespace

std::optional<std::string> NormalRuleEntry(RuleListId list, std::string_view text,
                                           std::string& error) {
    error.clear();
    const std::string_view entry = TrimBlanks(text);
    if (entry.empty()) {
        return std::nullopt;
    }
    if (list == RuleListId::Allowed) {
        std::optional<std::string> plain = NormalizeIPAddress(entry);
        if (!plain) {
            error = InvalidAddressMessage;
        }
        return plain;
    }
    // As a list of numbers would keep it: "80.4" is port 80.
    const Value value{entry};
    if (!IsValidPort(value)) {
        error = InvalidPortMessage;
        return std::nullopt;
    }
    return std::to_string(ToLongSafe(value));
}

bool OrderedEntries::Contains(std::string_view entry) const {
    return index_.find(entry) != index_.end();
}

bool OrderedEntries::Add(std::string_view entry) {
    if (entry.empty() || Contains(entry)) {
        return false;
    }
    index_.emplace(std::string(entry), slots_.size());
    slots_.emplace_back(entry);
    return true;
}

bool OrderedEntries::Erase(std::string_view entry) {
    const auto found = index_.find(entry);
    if (found == index_.end()) {
        return false;
    }
    slots_[found->second].clear();
    index_.erase(found);
    // Compacted once the empty slots outnumber the entries: each delete's share stays constant.
    if (slots_.size() > 64 && slots_.size() > 2 * index_.size()) {
        Compact();
    }
    return true;
}

void OrderedEntries::Compact() {
    std::erase_if(slots_, [](const std::string& slot) { return slot.empty(); });
    for (size_t i = 0; i < slots_.size(); ++i) {
        index_.find(slots_[i])->second = i;
    }
}

std::vector<std::string> OrderedEntries::Entries() const {
    std::vector<std::string> entries;
    entries.reserve(index_.size());
    for (const std::string& slot : slots_) {
        if (!slot.empty()) {
            entries.push_back(slot);
        }
    }
    return entries;
}

std::string OrderedEntries::Text() const {
    std::string text;
    for (const std::string& slot : slots_) {
        if (!slot.empty()) {
            if (!text.empty()) {
                text += ',';
            }
            text += slot;
        }
    }
    return text;
}

std::optional<RuleEdit> RuleModel::Make(RuleListId list, bool add, std::string_view entry,
                                        RuleOutcome& outcome) {
    std::optional<std::string> normal = NormalRuleEntry(list, entry, outcome.error);
    if (!add) {
        // The window deletes the line it shows; a client may name an entry in another form.
        outcome.error.clear();
        if (!normal && lists_[Index(list)].Contains(TrimBlanks(entry))) {
            normal = std::string(TrimBlanks(entry));
        }
    }
    if (!normal) {
        return std::nullopt;
    }
    OrderedEntries& entries = lists_[Index(list)];
    outcome.changed = add ? entries.Add(*normal) : entries.Erase(*normal);
    if (!outcome.changed) {
        return std::nullopt;
    }
    return RuleEdit{list, add, std::move(*normal)};
}

RuleOutcome RuleModel::Add(RuleListId list, std::string_view entry, RuleOrigin origin) {
    const RuleEdit edit{list, true, std::string(entry)};
    return Apply(std::span(&edit, 1), origin).front();
}

RuleOutcome RuleModel::Delete(RuleListId list, std::string_view entry, RuleOrigin origin) {
    const RuleEdit edit{list, false, std::string(entry)};
    return Apply(std::span(&edit, 1), origin).front();
}

std::vector<RuleOutcome> RuleModel::Apply(std::span<const RuleEdit> batch, RuleOrigin origin) {
    std::vector<RuleOutcome> outcomes(batch.size());
    RuleChange change{origin, false, {}};
    for (size_t i = 0; i < batch.size(); ++i) {
        if (auto made = Make(batch[i].list, batch[i].add, batch[i].entry, outcomes[i])) {
            change.edits.push_back(std::move(*made));
        }
    }
    if (!change.edits.empty()) {
        Tell(change);
    }
    return outcomes;
}

void RuleModel::Replace(const RuleEntries& all, RuleOrigin origin) {
    for (size_t i = 0; i < kRuleLists; ++i) {
        lists_[i] = OrderedEntries();
        for (const std::string& entry : all[i]) {
            lists_[i].Add(entry);
        }
    }
    Tell(RuleChange{origin, true, {}});
}

bool RuleModel::Contains(RuleListId list, std::string_view entry) const {
    return lists_[Index(list)].Contains(entry);
}

RuleEntries RuleModel::Entries() const {
    RuleEntries entries;
    for (size_t i = 0; i < kRuleLists; ++i) {
        entries[i] = lists_[i].Entries();
    }
    return entries;
}

std::vector<std::string> RuleModel::Entries(RuleListId list) const {
    return lists_[Index(list)].Entries();
}

RuleStrings RuleModel::Texts() const {
    return {lists_[0].Text(), lists_[1].Text(), lists_[2].Text()};
}

GuardRules RuleModel::ForGuard() const {
    GuardRules rules;
    for (size_t i = 0; i < kRuleLists; ++i) {
        for (const std::string& entry : lists_[i].Entries()) {
            const auto edit = GuardEdit({static_cast<RuleListId>(i), true, entry});
            if (!edit) {
                continue;
            }
            switch (edit->kind) {
            case GuardRuleEdit::Kind::AllowedAddress:
                rules.allowedAddresses.push_back(edit->address);
                break;
            case GuardRuleEdit::Kind::BlockedLocalPort:
                rules.blockedLocalPorts.push_back(edit->port);
                break;
            case GuardRuleEdit::Kind::BlockedRemotePort:
                rules.blockedRemotePorts.push_back(edit->port);
                break;
            }
        }
    }
    return rules;
}

namespace {

constexpr std::string_view kKeys[kRuleLists] = {AllowedIPKey, BlockedLocalPortsKey,
                                                BlockedRemotePortsKey};

std::vector<std::string> Split(std::string_view text) {
    std::vector<std::string> entries;
    for (size_t start = 0; start < text.size();) {
        const size_t comma = std::min(text.find(',', start), text.size());
        if (comma > start) {
            entries.emplace_back(text.substr(start, comma - start));
        }
        start = comma + 1;
    }
    return entries;
}

} // namespace

std::vector<std::string> RuleModel::Load(SettingsStore& store, RuleOrigin origin) {
    std::vector<std::string> complaints;
    RuleEntries all;
    for (size_t i = 0; i < kRuleLists; ++i) {
        const std::string text = store.Read(SettingsApplication, SettingsSection, kKeys[i],
                                            i == 0 ? AllowedIPDefault : "");
        all[i] = Split(CleanRuleList(text, kKeys[i], i == 0, complaints));
    }
    Replace(all, origin);
    return complaints;
}

bool RuleModel::Reload(SettingsStore& store, std::string& why, RuleOrigin origin, bool& changed) {
    RuleStrings clean;
    if (!ReadWholeRules(store, clean, why)) {
        return false;
    }
    changed = clean != Texts();
    if (!changed) {
        return true;
    }
    Replace({Split(clean[0]), Split(clean[1]), Split(clean[2])}, origin);
    return true;
}

bool RuleModel::Save(SettingsStore& store) const {
    const RuleStrings texts = Texts();
    return store.WriteAll(SettingsApplication, SettingsSection,
                          {{BlockedLocalPortsKey, texts[1]},
                           {BlockedRemotePortsKey, texts[2]},
                           {AllowedIPKey, texts[0]}});
}

int RuleModel::Listen(Listener listener) {
    listeners_.emplace_back(nextListener_, std::move(listener));
    return nextListener_++;
}

void RuleModel::Unlisten(int id) {
    std::erase_if(listeners_, [id](const auto& listener) { return listener.first == id; });
}

void RuleModel::Tell(const RuleChange& change) {
    // A listener may stop listening while it is told.
    const auto listeners = listeners_;
    for (const auto& [id, listener] : listeners) {
        listener(change);
    }
}

std::vector<GuardRuleEdit> GuardEdits(std::span<const RuleEdit> edits) {
    std::vector<GuardRuleEdit> guard;
    guard.reserve(edits.size());
    for (const RuleEdit& edit : edits) {
        if (auto made = GuardEdit(edit)) {
            guard.push_back(*made);
        }
    }
    return guard;
}

} // namespace kt

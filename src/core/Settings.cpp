#include "core/Settings.h"

#include "core/SettingsStore.h"
#include "engine/Conversions.h"
#include "manager/Manager.h"

#include <algorithm>
#include <optional>
#include <string>

namespace kt {

namespace {

std::string_view Trimmed(std::string_view entry) {
    const auto blanks = [](std::string_view& s) {
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
            s.remove_prefix(1);
        }
        while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
            s.remove_suffix(1);
        }
    };
    blanks(entry);
    while (entry.size() >= 1 && (entry.front() == '"' || entry.front() == '\'')) {
        entry.remove_prefix(1);
        blanks(entry);
    }
    while (!entry.empty() && (entry.back() == '"' || entry.back() == '\'')) {
        entry.remove_suffix(1);
        blanks(entry);
    }
    return entry;
}

std::optional<std::string> PlainPort(std::string_view entry) {
    if (entry.empty() || entry.size() > 5) {
        return std::nullopt;
    }
    int32_t port = 0;
    for (const char c : entry) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) {
        return std::nullopt;
    }
    return std::to_string(port);
}

// An entry as a line of text can show it: bounded, without control characters.
std::string Printable(std::string_view entry) {
    constexpr size_t kShown = 64;
    std::string shown;
    for (const char c : entry.substr(0, kShown)) {
        shown += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    }
    return entry.size() > kShown ? shown + "..." : shown;
}

} // namespace

std::string CleanRuleList(std::string_view text, std::string_view key, bool addresses,
                          std::vector<std::string>& complaints) {
    std::string clean;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string_view::npos) {
            comma = text.size();
        }
        const std::string_view raw = text.substr(start, comma - start);
        start = comma + 1;
        const std::string_view entry = Trimmed(raw);
        if (entry.empty()) {
            continue;
        }
        const std::optional<std::string> plain =
            addresses ? NormalizeIPAddress(entry) : PlainPort(entry);
        if (!plain) {
            complaints.push_back(std::string(key) + ": \"" + Printable(entry) + "\" is not " +
                                 (addresses ? "an IPv4 address" : "a port from 1 to 65535"));
            continue;
        }
        if (!clean.empty()) {
            clean += ',';
        }
        clean += *plain;
    }
    return clean;
}

std::vector<std::string> LoadSettings(Manager& manager, SettingsStore& store) {
    const std::string localPorts =
        store.Read(SettingsApplication, SettingsSection, BlockedLocalPortsKey, "");
    const std::string remotePorts =
        store.Read(SettingsApplication, SettingsSection, BlockedRemotePortsKey, "");
    const std::string allowed =
        store.Read(SettingsApplication, SettingsSection, AllowedIPKey, AllowedIPDefault);
    std::vector<std::string> complaints;
    manager.LoadListFromString(manager.oAllowedIP,
                               CleanRuleList(allowed, AllowedIPKey, true, complaints));
    manager.LoadListFromString(manager.oBlockedLocalPorts,
                               CleanRuleList(localPorts, BlockedLocalPortsKey, false, complaints));
    manager.LoadListFromString(
        manager.oBlockedRemotePorts,
        CleanRuleList(remotePorts, BlockedRemotePortsKey, false, complaints));
    return complaints;
}

bool ReadWholeRules(SettingsStore& store, RuleStrings& clean, std::string& why) {
    constexpr std::string_view keys[] = {AllowedIPKey, BlockedLocalPortsKey, BlockedRemotePortsKey};
    std::vector<std::string> texts;
    if (!store.ReadAll(SettingsApplication, SettingsSection, keys, texts, why)) {
        return false;
    }
    std::vector<std::string> complaints;
    for (size_t i = 0; i < 3; ++i) {
        clean[i] = CleanRuleList(texts[i], keys[i], i == 0, complaints);
    }
    if (!complaints.empty()) {
        why = complaints.front();
        if (complaints.size() > 1) {
            why += " (and " + std::to_string(complaints.size() - 1) + " more)";
        }
        return false;
    }
    return true;
}

bool ReloadSettings(Manager& manager, SettingsStore& store, std::string& why) {
    RuleStrings clean;
    if (!ReadWholeRules(store, clean, why)) {
        return false;
    }
    manager.LoadListFromString(manager.oAllowedIP, clean[0]);
    manager.LoadListFromString(manager.oBlockedLocalPorts, clean[1]);
    manager.LoadListFromString(manager.oBlockedRemotePorts, clean[2]);
    return true;
}

namespace {

constexpr std::string_view kListNames[] = {"allowed address", "blocked local port",
                                           "blocked remote port"};

std::vector<std::string_view> Entries(std::string_view text) {
    std::vector<std::string_view> entries;
    for (size_t start = 0; start < text.size();) {
        const size_t comma = std::min(text.find(',', start), text.size());
        entries.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

} // namespace

RuleStrings CurrentRules(const Manager& manager) {
    return {manager.SaveListToString(manager.oAllowedIP),
            manager.SaveListToString(manager.oBlockedLocalPorts),
            manager.SaveListToString(manager.oBlockedRemotePorts)};
}

RuleEntries CurrentRuleEntries(const Manager& manager) {
    RuleEntries entries;
    const List* lists[] = {&manager.oAllowedIP, &manager.oBlockedLocalPorts,
                           &manager.oBlockedRemotePorts};
    for (size_t i = 0; i < entries.size(); ++i) {
        for (int32_t item = 0; item < lists[i]->GetItemCount(); ++item) {
            entries[i].push_back(ToText(lists[i]->GetItem(item)).value_or(""));
        }
    }
    return entries;
}

std::string RuleCounts(const RuleStrings& rules) {
    std::string text;
    for (size_t i = 0; i < rules.size(); ++i) {
        const size_t count = Entries(rules[i]).size();
        text += (i == 0 ? "" : ", ") + std::to_string(count) + ' ' + std::string(kListNames[i]) +
                (count == 1 ? ""
                 : i == 0   ? "es"
                            : "s");
    }
    return text;
}

std::string RuleChanges(const RuleStrings& before, const RuleStrings& after) {
    std::string text;
    for (size_t i = 0; i < before.size(); ++i) {
        const std::vector<std::string_view> old = Entries(before[i]);
        const std::vector<std::string_view> now = Entries(after[i]);
        std::string changes;
        for (const std::string_view entry : now) {
            if (!std::binary_search(old.begin(), old.end(), entry)) {
                changes += " +" + std::string(entry);
            }
        }
        for (const std::string_view entry : old) {
            if (!std::binary_search(now.begin(), now.end(), entry)) {
                changes += " -" + std::string(entry);
            }
        }
        if (!changes.empty()) {
            text += (text.empty() ? "" : "; ") + std::string(kListNames[i]) +
                    (i == 0 ? "es" : "s") + changes;
        }
    }
    return text.empty() && before != after ? "the same entries, in another order" : text;
}

bool SaveSettings(const Manager& manager, SettingsStore& store) {
    const std::string localPorts = manager.SaveListToString(manager.oBlockedLocalPorts);
    const std::string remotePorts = manager.SaveListToString(manager.oBlockedRemotePorts);
    const std::string allowed = manager.SaveListToString(manager.oAllowedIP);
    return store.WriteAll(SettingsApplication, SettingsSection,
                          {{BlockedLocalPortsKey, localPorts},
                           {BlockedRemotePortsKey, remotePorts},
                           {AllowedIPKey, allowed}});
}

} // namespace kt

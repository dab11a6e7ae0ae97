#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace kt {

class Manager;
class SettingsStore;

inline constexpr std::string_view SettingsApplication = "KorvanTessivo";
inline constexpr std::string_view SettingsSection = "General";
inline constexpr std::string_view BlockedLocalPortsKey = "BlockedLocalPortsString";
inline constexpr std::string_view BlockedRemotePortsKey = "BlockedRemotePortsString";
inline constexpr std::string_view AllowedIPKey = "AllowedIPString";
inline constexpr std::string_view AllowedIPDefault = "127.0.0.1";

// Fills the three rule lists of manager from the store. Entries are trimmed of blanks and
// surrounding quotes and addresses kept in their plain form; an entry that is no address or port
// is left out rather than turned into another rule. Answers one line for each entry left out
// ("AllowedIPString: "abc" is not an IPv4 address").
std::vector<std::string> LoadSettings(Manager& manager, SettingsStore& store);
// The stored text of a rule list as the rules hold it, with a line in complaints for each entry
// left out.
std::string CleanRuleList(std::string_view text, std::string_view key, bool addresses,
                          std::vector<std::string>& complaints);
using RuleStrings = std::array<std::string, 3>;
// The three rule lists' texts in their clean form (allowed addresses, blocked local ports,
// blocked remote ports) only when the store holds all three, whole, and every entry is valid;
// otherwise why says what is wrong.
bool ReadWholeRules(SettingsStore& store, RuleStrings& clean, std::string& why);
// Fills the three rule lists of manager from the store only when it holds all three, whole, and
// every entry is valid; otherwise the lists stay as they were and why says what is wrong.
bool ReloadSettings(Manager& manager, SettingsStore& store, std::string& why);
// The three rule lists in their stored text form: allowed addresses, blocked local ports,
// blocked remote ports.
RuleStrings CurrentRules(const Manager& manager);
// The same lists entry by entry, in the same order.
using RuleEntries = std::array<std::vector<std::string>, 3>;
RuleEntries CurrentRuleEntries(const Manager& manager);
// "2 allowed addresses, 0 blocked local ports, 1 blocked remote port"
std::string RuleCounts(const RuleStrings& rules);
// Entry by entry, what after has that before had not (+) and the reverse (-), list by list:
// "allowed addresses +10.0.0.1 -10.0.0.2; blocked remote ports +8080"; empty when the texts are
// the same.
std::string RuleChanges(const RuleStrings& before, const RuleStrings& after);
// Writes all three rule lists in one batch; false when the store could not keep them (its
// LastError says why).
bool SaveSettings(const Manager& manager, SettingsStore& store);

} // namespace kt

#pragma once

#include <string>
#include <string_view>

namespace kt {

class HostServices;
class Manager;

inline constexpr std::string_view InvalidAddressMessage = "This is not a valid ip address.";
inline constexpr std::string_view InvalidPortMessage = "This is not a valid port number.";

// A typed entry without the blanks and tabs around it, as every rule list takes it.
std::string_view TrimBlanks(std::string_view text);
// Adds the typed entry to the rule list shown, once; shows a message for an invalid one.
void AddRuleEntry(Manager& manager, HostServices& host, std::string text);
// Deletes the rule selected in the list box, if any.
void DeleteSelectedEntry(Manager& manager);

} // namespace kt

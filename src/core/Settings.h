#pragma once

#include <string_view>

namespace kt {

class Manager;
class SettingsStore;

inline constexpr std::string_view SettingsApplication = "KorvanTessivo";
inline constexpr std::string_view SettingsSection = "General";
inline constexpr std::string_view BlockedLocalPortsKey = "BlockedLocalPortsString";
inline constexpr std::string_view BlockedRemotePortsKey = "BlockedRemotePortsString";
inline constexpr std::string_view AllowedIPKey = "AllowedIPString";
inline constexpr std::string_view AllowedIPDefault = "127.0.0.1";

// Fills the three rule lists of manager from the store.
void LoadSettings(Manager& manager, SettingsStore& store);
// Writes all three rule lists in one batch; false when the store could not keep them (its
// LastError says why).
bool SaveSettings(const Manager& manager, SettingsStore& store);

} // namespace kt

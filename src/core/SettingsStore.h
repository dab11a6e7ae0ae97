#pragma once

#include <string>
#include <string_view>

namespace kt {

// The per-user settings store: text values under an application name, a section and a key.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // The stored text, or fallback when the key is missing.
    virtual std::string Read(std::string_view application, std::string_view section,
                             std::string_view key, std::string_view fallback) = 0;
    // False when the value could not be stored.
    virtual bool Write(std::string_view application, std::string_view section, std::string_view key,
                       std::string_view text) = 0;
};

} // namespace kt

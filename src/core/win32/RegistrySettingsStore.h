#pragma once

#include "core/SettingsStore.h"

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace kt::win32 {

struct RegistryKeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
// An open registry key, closed when it goes out of scope.
using RegistryKey = std::unique_ptr<std::remove_pointer_t<HKEY>, RegistryKeyCloser>;

// HKEY_CURRENT_USER\Software\<application>\<section>, the key holding one section's values.
std::optional<std::wstring> SettingsKeyPath(std::string_view application, std::string_view section);

// Settings as REG_SZ values named after their keys, one registry key per section.
class RegistrySettingsStore final : public SettingsStore {
public:
    std::string Read(std::string_view application, std::string_view section, std::string_view key,
                     std::string_view fallback) override;
    bool Write(std::string_view application, std::string_view section, std::string_view key,
               std::string_view text) override;
};

} // namespace kt::win32

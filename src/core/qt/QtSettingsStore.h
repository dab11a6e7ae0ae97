#pragma once

#include "core/SettingsStore.h"

#include <string>
#include <string_view>

namespace kt {

// Settings kept in <configRoot>/<application>/<application>.ini, one INI section per settings
// section. Values in the file follow QSettings' INI syntax, so a file written by hand is read the
// way QSettings reads it: an unquoted value with commas comes back joined by single commas, with
// the blanks around each comma dropped, and ";" starts a comment; quote a value to keep them.
// Needs no QCoreApplication.
class QtSettingsStore final : public SettingsStore {
public:
    // An empty configRoot means $XDG_CONFIG_HOME, or ~/.config when that is unset, empty or not
    // an absolute path.
    explicit QtSettingsStore(std::string configRoot = {});

    std::string Read(std::string_view application, std::string_view section, std::string_view key,
                     std::string_view fallback) override;
    // Replaces the file as a whole: the new contents are written beside it, checked, then renamed
    // over it, so a failed write leaves the previous file as it was. A first file is readable by
    // its owner only; a replaced file keeps its permissions.
    bool Write(std::string_view application, std::string_view section, std::string_view key,
               std::string_view text) override;

    const std::string& ConfigRoot() const { return Root; }
    std::string FilePath(std::string_view application) const;

private:
    std::string Root;
};

} // namespace kt

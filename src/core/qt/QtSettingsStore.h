#pragma once

#include "core/SettingsStore.h"

#include <string>
#include <string_view>

namespace kt {

struct FileContents;
struct FolderResult;

// Settings kept in <configRoot>/<application>/<application>.ini, one INI section per settings
// section. Values in the file follow QSettings' INI syntax, so a file written by hand is read the
// way QSettings reads it: an unquoted value with commas comes back joined by single commas, with
// the blanks around each comma dropped, and ";" starts a comment; quote a value to keep them.
// Needs no QCoreApplication.
//
// The folder is opened once per read or save and every step goes through its descriptor. When
// the program runs as root or with capabilities, a folder or file that is a symbolic link, or one
// that another user owns or may change, is refused. Each read checks afresh, so that a reload
// takes a mended file; a save stays refused for the rest of the run after any refusal
// (Refusal()), as the rules in force may then not be the file's.
class QtSettingsStore final : public SettingsStore {
public:
    // An empty configRoot means $XDG_CONFIG_HOME, or ~/.config when that is unset, empty or not
    // an absolute path.
    explicit QtSettingsStore(std::string configRoot = {});
    // One named file instead, whatever the application: <folder>/<name>. A relative path is
    // taken from the current folder.
    struct NamedFile {
        std::string path;
    };
    explicit QtSettingsStore(NamedFile file);

    std::string Read(std::string_view application, std::string_view section, std::string_view key,
                     std::string_view fallback) override;
    // Replaces the file as a whole: the new contents are written beside it, flushed, then renamed
    // over it, so a failed write leaves the previous file as it was. A first file is readable by
    // its owner only; a replaced file keeps its permissions. Saves of several processes take
    // turns; one that cannot get its turn within two seconds fails.
    bool Write(std::string_view application, std::string_view section, std::string_view key,
               std::string_view text) override;
    bool WriteAll(std::string_view application, std::string_view section,
                  std::initializer_list<SettingsValue> values) override;
    // One read of the file; a file that does not end in a line break is taken as cut short.
    bool ReadAll(std::string_view application, std::string_view section,
                 std::span<const std::string_view> keys, std::vector<std::string>& values,
                 std::string& why) override;
    std::string LastError() const override { return Error; }
    std::string Refusal() const override { return Refused; }

    const std::string& ConfigRoot() const { return Root; }
    std::string FilePath(std::string_view application) const;

private:
    // Remembers why result failed; false unless it is Done.
    bool Keep(const FolderResult& result);
    std::string FolderName(std::string_view application) const;
    std::string FileName(std::string_view application) const;
    // Opens the folder and reads the file, with the leftovers of killed saves removed first.
    FolderResult ReadFile(std::string_view application, FileContents& contents);

    std::string Root;
    std::string Folder; // under Root; empty: the application's name
    std::string File;   // empty: <application>.ini
    bool Privileged;
    bool Cleaned = false;
    std::string Error;
    std::string Refused;
};

} // namespace kt

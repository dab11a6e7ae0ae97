#include "core/qt/QtSettingsStore.h"

#include "core/qt/ConfigFolder.h"
#include "core/qt/IniText.h"
#include "core/qt/QtText.h"

#include <QByteArray>
#include <QDir>
#include <QString>

#include <chrono>
#include <optional>
#include <utility>

namespace kt {
namespace {

// Saves take turns; one that waits longer than this fails instead.
constexpr auto LockWait = std::chrono::seconds(2);

std::string DefaultConfigRoot() {
    const QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!configHome.isEmpty() && QDir::isAbsolutePath(configHome)) {
        return ToUtf8(configHome);
    }
    return ToUtf8(QDir::homePath() + QStringLiteral("/.config"));
}

// QSettings keeps its top-level keys under [General] and writes a group of that name (in any
// case) as [%General]; the section "General" is therefore the top level, so that the file shows
// [General] and a file written by hand with [General] is read.
QString SettingName(std::string_view section, std::string_view key) {
    const QString sectionName = FromUtf8(section);
    if (sectionName.isEmpty() || sectionName.compare(u"General", Qt::CaseInsensitive) == 0) {
        return FromUtf8(key);
    }
    return sectionName + u'/' + FromUtf8(key);
}

} // namespace

QtSettingsStore::QtSettingsStore(std::string configRoot)
    : Root(configRoot.empty() ? DefaultConfigRoot() : std::move(configRoot)),
      Privileged(RunsPrivileged()) {}

QtSettingsStore::QtSettingsStore(NamedFile file) : Privileged(RunsPrivileged()) {
    std::string path = file.path;
    if (!path.starts_with('/')) {
        path = ToUtf8(QDir::currentPath()) + '/' + path;
    }
    const size_t name = path.rfind('/');
    File = path.substr(name + 1);
    const size_t folder = path.rfind('/', name == 0 ? 0 : name - 1);
    Folder = name == 0 ? std::string() : path.substr(folder + 1, name - folder - 1);
    Root = name == 0 ? std::string() : path.substr(0, folder);
}

std::string QtSettingsStore::FolderName(std::string_view application) const {
    return File.empty() ? std::string(application) : Folder;
}

std::string QtSettingsStore::FileName(std::string_view application) const {
    return File.empty() ? std::string(application) + ".ini" : File;
}

std::string QtSettingsStore::FilePath(std::string_view application) const {
    return Root + '/' + FolderName(application) + '/' + FileName(application);
}

bool QtSettingsStore::Keep(const FolderResult& result) {
    if (result.status == FolderStatus::Refused && Refused.empty()) {
        Refused = result.reason;
    }
    if (!result.Ok()) {
        Error = result.reason;
    }
    return result.Ok();
}

FolderResult QtSettingsStore::ReadFile(std::string_view application, FileContents& contents) {
    // Checked afresh on every read: a place mended since a refusal is read again.
    const std::string file = FileName(application);
    ConfigFolder folder;
    FolderResult result =
        ConfigFolder::Open(Root, FolderName(application), false, Privileged, folder);
    // Leftovers of a killed save go at the first read, unless a save is running right now.
    if (result.Ok() && !Cleaned && folder.Lock(std::chrono::steady_clock::now()).Ok()) {
        folder.RemoveScratchFiles(file);
        Cleaned = true;
    }
    if (result.Ok()) {
        result = folder.Read(file, contents);
    }
    if (result.status == FolderStatus::Refused) {
        Refused = result.reason;
    }
    return result;
}

std::string QtSettingsStore::Read(std::string_view application, std::string_view section,
                                  std::string_view key, std::string_view fallback) {
    FileContents contents;
    const std::optional<QString> text =
        ReadFile(application, contents).Ok()
            ? IniText::Parse(contents.bytes).Find(SettingName(section, key))
            : std::nullopt;
    return text ? ToUtf8(*text) : std::string(fallback);
}

bool QtSettingsStore::ReadAll(std::string_view application, std::string_view section,
                              std::span<const std::string_view> keys,
                              std::vector<std::string>& values, std::string& why) {
    FileContents contents;
    if (const FolderResult result = ReadFile(application, contents); !result.Ok()) {
        why = result.status == FolderStatus::Missing ? "it is not there" : result.reason;
        return false;
    }
    // Written in place by hand, a file is read while half of it is still to come.
    if (!contents.bytes.ends_with('\n')) {
        why = "it does not end with a line break (it may be half-written)";
        return false;
    }
    const IniText ini = IniText::Parse(contents.bytes);
    values.clear();
    for (const std::string_view key : keys) {
        const std::optional<QString> text = ini.Find(SettingName(section, key));
        if (!text) {
            why = "it has no " + std::string(key);
            return false;
        }
        values.push_back(ToUtf8(*text));
    }
    return true;
}

bool QtSettingsStore::Write(std::string_view application, std::string_view section,
                            std::string_view key, std::string_view text) {
    return WriteAll(application, section, {{key, text}});
}

bool QtSettingsStore::WriteAll(std::string_view application, std::string_view section,
                               std::initializer_list<SettingsValue> values) {
    const auto deadline = std::chrono::steady_clock::now() + LockWait;
    Error = Refused;
    if (!Refused.empty()) {
        return false;
    }
    const std::string file = FileName(application);
    ConfigFolder folder;
    if (!Keep(ConfigFolder::Open(Root, FolderName(application), true, Privileged, folder)) ||
        !Keep(folder.Lock(deadline))) {
        return false;
    }
    folder.RemoveScratchFiles(file);
    Cleaned = true;
    FileContents old;
    const FolderResult read = folder.Read(file, old);
    if (read.status != FolderStatus::Missing && !Keep(read)) {
        return false;
    }
    IniText ini = IniText::Parse(old.bytes);
    for (const SettingsValue& value : values) {
        ini.Set(SettingName(section, value.key), FromUtf8(value.text));
    }
    const QByteArray bytes = ini.Format();
    return Keep(folder.Replace(file, std::string_view(bytes.constData(), bytes.size()),
                               old.exists ? old.mode : 0600));
}

} // namespace kt

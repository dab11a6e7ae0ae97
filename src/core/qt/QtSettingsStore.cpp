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

std::string FileName(std::string_view application) {
    return std::string(application) + ".ini";
}

} // namespace

QtSettingsStore::QtSettingsStore(std::string configRoot)
    : Root(configRoot.empty() ? DefaultConfigRoot() : std::move(configRoot)),
      Privileged(RunsPrivileged()) {}

std::string QtSettingsStore::FilePath(std::string_view application) const {
    return Root + '/' + std::string(application) + '/' + FileName(application);
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

std::string QtSettingsStore::Read(std::string_view application, std::string_view section,
                                  std::string_view key, std::string_view fallback) {
    if (!Refused.empty()) {
        return std::string(fallback);
    }
    const std::string file = FileName(application);
    ConfigFolder folder;
    FolderResult result = ConfigFolder::Open(Root, application, false, Privileged, folder);
    // Leftovers of a killed save go at the first read, unless a save is running right now.
    if (result.Ok() && !Cleaned && folder.Lock(std::chrono::steady_clock::now()).Ok()) {
        folder.RemoveScratchFiles(file);
        Cleaned = true;
    }
    FileContents contents;
    if (result.Ok()) {
        result = folder.Read(file, contents);
    }
    if (result.status == FolderStatus::Refused) {
        Refused = result.reason;
    }
    const std::optional<QString> text =
        result.Ok() ? IniText::Parse(contents.bytes).Find(SettingName(section, key)) : std::nullopt;
    return text ? ToUtf8(*text) : std::string(fallback);
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
    if (!Keep(ConfigFolder::Open(Root, application, true, Privileged, folder)) ||
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

#include "core/qt/QtSettingsStore.h"

#include "core/qt/QtText.h"
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMap>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>
#include <QVariant>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

namespace kt {
namespace {

namespace fs = std::filesystem;

fs::path NativePath(const QString& path) {
    return fs::path(QFile::encodeName(path).toStdString());
}

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

// An unquoted value with commas comes back from QSettings as the list of its pieces.
QString ValueText(const QVariant& value) {
    if (value.typeId() == QMetaType::QStringList) {
        return value.toStringList().join(u',');
    }
    return value.toString();
}

QMap<QString, QString> Texts(const QSettings& settings) {
    QMap<QString, QString> texts;
    for (const QString& name : settings.allKeys()) {
        texts.insert(name, ValueText(settings.value(name)));
    }
    return texts;
}

// A file beside the settings file that is removed unless it was moved on.
class ScratchFile {
public:
    // A fresh, empty file: a name that no QSettings of this process has seen.
    explicit ScratchFile(const QString& settingsPath) {
        QTemporaryFile file(settingsPath + QStringLiteral(".XXXXXX"));
        file.setAutoRemove(false);
        if (file.open()) {
            Name = file.fileName();
        }
    }
    ~ScratchFile() {
        if (!Name.isEmpty()) {
            QFile::remove(Name);
        }
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // Renames the file over target (replacing it in one step).
    bool MoveTo(const QString& target) {
        if (Name.isEmpty() || std::rename(QFile::encodeName(Name).constData(),
                                          QFile::encodeName(target).constData()) != 0) {
            return false;
        }
        Name.clear();
        return true;
    }

    QString Name;
};

// QSettings caches each file it parsed and parses it again only when its size or modification
// time (to the millisecond) changed; a replacement of the same size written within the same
// millisecond would go unnoticed, so the new file is made strictly newer than the old one. It also
// takes the old file's permissions.
void FollowOldFile(const QString& newFile, const QString& oldFile) {
    using std::chrono::floor;
    using std::chrono::milliseconds;
    std::error_code error;
    const fs::path next = NativePath(newFile);
    const fs::path previous = NativePath(oldFile);
    const fs::file_status oldStatus = fs::status(previous, error);
    if (error || !fs::is_regular_file(oldStatus)) {
        return;
    }
    fs::permissions(next, oldStatus.permissions(), error);
    const auto oldTime = fs::last_write_time(previous, error);
    if (error) {
        return;
    }
    const auto newTime = fs::last_write_time(next, error);
    if (!error && floor<milliseconds>(newTime) <= floor<milliseconds>(oldTime)) {
        fs::last_write_time(next, floor<milliseconds>(oldTime) + milliseconds(1), error);
    }
}

} // namespace

QtSettingsStore::QtSettingsStore(std::string configRoot)
    : Root(configRoot.empty() ? DefaultConfigRoot() : std::move(configRoot)) {}

std::string QtSettingsStore::FilePath(std::string_view application) const {
    std::string path = Root;
    path += '/';
    path += application;
    path += '/';
    path += application;
    path += ".ini";
    return path;
}

std::string QtSettingsStore::Read(std::string_view application, std::string_view section,
                                  std::string_view key, std::string_view fallback) {
    const QSettings settings(FromUtf8(FilePath(application)), QSettings::IniFormat);
    const QString name = SettingName(section, key);
    if (!settings.contains(name)) {
        return std::string(fallback);
    }
    return ToUtf8(ValueText(settings.value(name)));
}

// QSettings alone is not enough here: when a write is cut short (disk full, quota, file-size
// limit) it still renames the truncated file over the old one and reports no error. So the new
// contents are written to a scratch file, parsed back and compared, and only then renamed over
// the settings file; the settings file itself is never written in place.
bool QtSettingsStore::Write(std::string_view application, std::string_view section,
                            std::string_view key, std::string_view text) {
    const QString path = FromUtf8(FilePath(application));
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        return false;
    }
    // The lock QSettings itself takes before it writes this file.
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.lock()) {
        return false;
    }

    QMap<QString, QVariant> values;
    {
        const QSettings current(path, QSettings::IniFormat);
        if (current.status() == QSettings::AccessError) {
            return false;
        }
        for (const QString& name : current.allKeys()) {
            values.insert(name, current.value(name));
        }
    }
    values.insert(SettingName(section, key), FromUtf8(text));

    ScratchFile written(path);
    if (written.Name.isEmpty()) {
        return false;
    }
    {
        QSettings scratch(written.Name, QSettings::IniFormat);
        for (auto value = values.cbegin(); value != values.cend(); ++value) {
            scratch.setValue(value.key(), value.value());
        }
        scratch.sync();
        if (scratch.status() != QSettings::NoError) {
            return false;
        }
    }
    // Parsed under a second fresh name, so that QSettings reads the disk and not its cache.
    ScratchFile checked(path);
    if (checked.Name.isEmpty() || !written.MoveTo(checked.Name)) {
        return false;
    }
    {
        const QSettings check(checked.Name, QSettings::IniFormat);
        QMap<QString, QString> wanted;
        for (auto value = values.cbegin(); value != values.cend(); ++value) {
            wanted.insert(value.key(), ValueText(value.value()));
        }
        if (check.status() != QSettings::NoError || Texts(check) != wanted) {
            return false;
        }
    }
    FollowOldFile(checked.Name, path);
    return checked.MoveTo(path);
}

} // namespace kt

#include "core/qt/QtSettingsStore.h"

#include "../../fakes/TempFolder.h"
#include "core/Settings.h"
#include "core/qt/ConfigFolder.h"
#include "core/qt/IniText.h"
#include "core/qt/QtText.h"
#include "manager/Manager.h"

#include <QCoreApplication>
#include <QSettings>
#include <QStringList>
#include <QVariant>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace kt {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view App = "KorvanTessivo";
constexpr std::string_view General = "General";

using testing::Entries;
using testing::ReadText;
using TempDir = testing::TempFolder;

void WriteText(const fs::path& path, std::string_view text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << text;
}

ino_t Inode(const fs::path& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return 0;
    }
    return info.st_ino;
}

// The raw "key=value" lines under one section header of an INI text, as a person would see them.
std::map<std::string, std::string> SectionLines(const std::string& text, std::string_view header) {
    std::map<std::string, std::string> lines;
    std::istringstream in(text);
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (line.starts_with('[')) {
            inside = line == header;
            continue;
        }
        const auto equals = line.find('=');
        if (inside && equals != std::string::npos) {
            lines[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return lines;
}

fs::path IniFile(const TempDir& dir) {
    return dir.Path / "KorvanTessivo" / "KorvanTessivo.ini";
}

TEST(QtSettingsStore, RoundTripsThreeKeysThroughTheIniFile) {
    ASSERT_EQ(QCoreApplication::instance(), nullptr);
    TempDir dir;
    {
        QtSettingsStore store(dir.Path.string());
        EXPECT_EQ(store.FilePath(App), IniFile(dir).string());
        ASSERT_TRUE(store.Write(App, General, "BlockedLocalPortsString", "80,8080"));
        ASSERT_TRUE(store.Write(App, General, "BlockedRemotePortsString", "443"));
        ASSERT_TRUE(store.Write(App, General, "AllowedIPString", "127.0.0.1,10.0.0.2"));
    }
    QtSettingsStore fresh(dir.Path.string());
    EXPECT_EQ(fresh.Read(App, General, "BlockedLocalPortsString", "x"), "80,8080");
    EXPECT_EQ(fresh.Read(App, General, "BlockedRemotePortsString", "x"), "443");
    EXPECT_EQ(fresh.Read(App, General, "AllowedIPString", "x"), "127.0.0.1,10.0.0.2");

    // The file a person opens: the keys under [General], no escaped [%General] group.
    const std::string text = ReadText(IniFile(dir));
    EXPECT_TRUE(text.starts_with("[General]\n")) << text;
    EXPECT_EQ(text.find("%General"), std::string::npos) << text;
    const auto lines = SectionLines(text, "[General]");
    EXPECT_EQ(lines.size(), 3u) << text;
    EXPECT_TRUE(lines.contains("BlockedLocalPortsString")) << text;
    EXPECT_TRUE(lines.contains("AllowedIPString")) << text;
    ASSERT_TRUE(lines.contains("BlockedRemotePortsString")) << text;
    EXPECT_EQ(lines.at("BlockedRemotePortsString"), "443");
    // Nothing but the file is left beside it (no temporary or lock file).
    EXPECT_EQ(Entries(IniFile(dir).parent_path()), std::vector<std::string>{"KorvanTessivo.ini"});
}

TEST(QtSettingsStore, KeepsOtherSectionsApart) {
    TempDir dir;
    QtSettingsStore store(dir.Path.string());
    ASSERT_TRUE(store.Write(App, General, "Key", "in general"));
    ASSERT_TRUE(store.Write(App, "Other", "Key", "in other"));
    EXPECT_EQ(store.Read(App, General, "Key", "x"), "in general");
    EXPECT_EQ(store.Read(App, "Other", "Key", "x"), "in other");
    EXPECT_EQ(store.Read(App, "Third", "Key", "fallback"), "fallback");
    const std::string text = ReadText(IniFile(dir));
    EXPECT_EQ(SectionLines(text, "[General]").at("Key"), "in general") << text;
    EXPECT_EQ(SectionLines(text, "[Other]").at("Key"), "in other") << text;
}

// A file prepared by a person or a script before the first start.
TEST(QtSettingsStore, ReadsAHandWrittenFileAsWritten) {
    for (const std::string_view eol : {"\n", "\r\n"}) {
        TempDir dir;
        std::string text;
        for (const std::string_view line :
             {"[General]", "BlockedLocalPortsString=8080", "BlockedRemotePortsString=80,8080",
              "AllowedIPString=127.0.0.1,10.0.0.2,", "Gaps=80,,8080", "Quoted=\"a, b\"", "[Other]",
              "OnlyHere=1"}) {
            text += line;
            text += eol;
        }
        WriteText(IniFile(dir), text);
        QtSettingsStore store(dir.Path.string());
        EXPECT_EQ(store.Read(App, General, "BlockedLocalPortsString", "x"), "8080");
        EXPECT_EQ(store.Read(App, General, "BlockedRemotePortsString", "x"), "80,8080");
        EXPECT_EQ(store.Read(App, General, "AllowedIPString", "x"), "127.0.0.1,10.0.0.2,");
        EXPECT_EQ(store.Read(App, General, "Gaps", "x"), "80,,8080");
        EXPECT_EQ(store.Read(App, General, "Quoted", "x"), "a, b");
        EXPECT_EQ(store.Read(App, General, "OnlyHere", "missing"), "missing");
        EXPECT_EQ(store.Read(App, "Other", "OnlyHere", "missing"), "1");
        // Reading leaves the person's file untouched.
        EXPECT_EQ(ReadText(IniFile(dir)), text);

        // Saving one key rewrites the file; the hand-written lists still read the same.
        ASSERT_TRUE(store.Write(App, General, "BlockedLocalPortsString", "21"));
        QtSettingsStore fresh(dir.Path.string());
        EXPECT_EQ(fresh.Read(App, General, "BlockedLocalPortsString", "x"), "21");
        EXPECT_EQ(fresh.Read(App, General, "BlockedRemotePortsString", "x"), "80,8080");
        EXPECT_EQ(fresh.Read(App, General, "AllowedIPString", "x"), "127.0.0.1,10.0.0.2,");
        EXPECT_EQ(fresh.Read(App, General, "Gaps", "x"), "80,,8080");
    }
}

// A save changes the three values' lines and nothing else the administrator wrote.
TEST(QtSettingsStore, SavingKeepsTheFileAsItsAdministratorWroteIt) {
    const struct {
        const char* name;
        std::string_view before;
        std::string_view allowedRead; // before the save
        std::string_view after;
    } rows[] = {
        {"comments and blank lines",
         "; Rules of the service.\n;\n[General]\n; Never cut.\nAllowedIPString=127.0.0.1\n\n"
         "BlockedLocalPortsString=   ; none yet\nBlockedRemotePortsString = 1, 2\n",
         "127.0.0.1",
         "; Rules of the service.\n;\n[General]\n; Never cut.\n"
         "AllowedIPString=\"127.0.0.1,10.0.0.2\"\n\nBlockedLocalPortsString=22   ; none yet\n"
         "BlockedRemotePortsString = 8080\n"},
        {"other keys and sections; missing keys go at the end of [General]",
         "[Window]\nWidth=800\n[General]\nAllowedIPString=127.0.0.1\nTheme=dark\n\n[Other]\nA=1",
         "127.0.0.1",
         "[Window]\nWidth=800\n[General]\nAllowedIPString=\"127.0.0.1,10.0.0.2\"\nTheme=dark\n"
         "BlockedLocalPortsString=22\nBlockedRemotePortsString=8080\n\n[Other]\nA=1\n"},
        {"a duplicated key: the first is read and written",
         "[General]\nAllowedIPString=10.0.0.9\nBlockedLocalPortsString=22\n"
         "BlockedRemotePortsString=1\nAllowedIPString=10.0.0.7\n",
         "10.0.0.9",
         "[General]\nAllowedIPString=\"127.0.0.1,10.0.0.2\"\nBlockedLocalPortsString=22\n"
         "BlockedRemotePortsString=8080\nAllowedIPString=10.0.0.7\n"},
        {"CRLF line ends", "; c\r\n[General]\r\nAllowedIPString=127.0.0.1\r\n", "127.0.0.1",
         "; c\r\n[General]\r\nAllowedIPString=\"127.0.0.1,10.0.0.2\"\r\n"
         "BlockedLocalPortsString=22\r\nBlockedRemotePortsString=8080\r\n"},
        {"no [General] yet", "; only a comment\n", "fallback",
         "; only a comment\n\n[General]\nBlockedLocalPortsString=22\n"
         "BlockedRemotePortsString=8080\nAllowedIPString=\"127.0.0.1,10.0.0.2\"\n"},
    };
    const std::array<std::string_view, 3> keys = {BlockedLocalPortsKey, BlockedRemotePortsKey,
                                                  AllowedIPKey};
    const std::vector<std::string> saved = {"22", "8080", "127.0.0.1,10.0.0.2"};
    for (const auto& row : rows) {
        TempDir dir;
        WriteText(IniFile(dir), row.before);
        QtSettingsStore store(dir.Path.string());
        EXPECT_EQ(store.Read(App, General, AllowedIPKey, "fallback"), row.allowedRead) << row.name;
        ASSERT_TRUE(store.WriteAll(App, General,
                                   {{keys[0], saved[0]}, {keys[1], saved[1]}, {keys[2], saved[2]}}))
            << row.name;
        EXPECT_EQ(ReadText(IniFile(dir)), row.after) << row.name;
        std::vector<std::string> values;
        std::string why;
        EXPECT_TRUE(QtSettingsStore(dir.Path.string()).ReadAll(App, General, keys, values, why))
            << row.name << ": " << why;
        EXPECT_EQ(values, saved) << row.name;
    }
}

// QSettings' own INI syntax, as documented in the header: blanks around the commas of an unquoted
// list are dropped and ";" starts a comment.
TEST(QtSettingsStore, ReadsUnquotedHandWrittenValuesByIniRules) {
    TempDir dir;
    WriteText(IniFile(dir), "[General]\nSpaced=10.0.0.1, 10.0.0.2\nSemicolon=80;8080\n");
    QtSettingsStore store(dir.Path.string());
    EXPECT_EQ(store.Read(App, General, "Spaced", "x"), "10.0.0.1,10.0.0.2");
    EXPECT_EQ(store.Read(App, General, "Semicolon", "x"), "80");
}

TEST(QtSettingsStore, GivesTheFallbackForAMissingFileOrKey) {
    TempDir dir;
    QtSettingsStore store(dir.Path.string());
    EXPECT_EQ(store.Read(App, General, "AllowedIPString", "127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(store.Read(App, General, "BlockedLocalPortsString", ""), "");
    // Reading creates neither the file nor its folder.
    EXPECT_FALSE(fs::exists(IniFile(dir).parent_path()));

    WriteText(IniFile(dir), "[General]\nBlockedLocalPortsString=80\n");
    EXPECT_EQ(store.Read(App, General, "AllowedIPString", "127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(store.Read(App, General, "allowedipstring", "127.0.0.1"), "127.0.0.1");
}

// An allowed list the user emptied stays empty: only a missing key brings the fallback back.
TEST(QtSettingsStore, KeepsAnEmptyValueEmpty) {
    TempDir dir;
    WriteText(IniFile(dir), "[General]\nAllowedIPString=\n");
    EXPECT_EQ(QtSettingsStore(dir.Path.string()).Read(App, General, "AllowedIPString", "127.0.0.1"),
              "");

    TempDir written;
    QtSettingsStore store(written.Path.string());
    ASSERT_TRUE(store.Write(App, General, "AllowedIPString", ""));
    EXPECT_EQ(
        QtSettingsStore(written.Path.string()).Read(App, General, "AllowedIPString", "127.0.0.1"),
        "");
}

// Texts that stress QSettings' quoting: lists, blanks at the ends, escapes, typed-looking values.
const std::vector<std::string> OddTexts = {
    "80,8080",
    "a, b , c",
    " lead",
    "trail ",
    "  ",
    "quote\"d",
    "\"",
    "\"quoted\"",
    "back\\slash",
    "\\",
    "\\n",
    "semi;colon",
    ";",
    "#hash",
    "@at",
    "@@",
    "@Variant(x)",
    "@Invalid()",
    "=eq=",
    "[General]",
    "%General",
    "tab\tin",
    "new\nline",
    "cr\rlf",
    "Grüße 世界",
    "é,ü",
    "trailing,",
    ",",
    "",
    std::string(5000, 'x'),
    std::string("nul\0inside\x01"
                "1",
                12),
    "\x01"
    "9f",
    "@String(x)",
    " a;b ",
};

TEST(QtSettingsStore, RoundTripsOddTexts) {
    const std::vector<std::string>& texts = OddTexts;
    TempDir dir;
    {
        QtSettingsStore store(dir.Path.string());
        for (size_t i = 0; i < texts.size(); ++i) {
            ASSERT_TRUE(store.Write(App, General, "Key" + std::to_string(i), texts[i])) << i;
        }
    }
    // Every text still reads the same after all the others were written beside it.
    QtSettingsStore fresh(dir.Path.string());
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(fresh.Read(App, General, "Key" + std::to_string(i), "missing"), texts[i]) << i;
    }
}

TEST(QtSettingsStore, ReplacesTheFileByRenamingANewOne) {
    TempDir dir;
    QtSettingsStore store(dir.Path.string());
    ASSERT_TRUE(store.Write(App, General, "AllowedIPString", "127.0.0.1"));
    EXPECT_EQ(fs::status(IniFile(dir)).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(IniFile(dir), fs::perms::owner_read | fs::perms::owner_write |
                                      fs::perms::group_read | fs::perms::others_read);
    const std::string before = ReadText(IniFile(dir));
    // A second name for the old file: an in-place rewrite would change what it shows.
    const fs::path oldLink = dir.Path / "old.ini";
    fs::create_hard_link(IniFile(dir), oldLink);
    const ino_t oldInode = Inode(IniFile(dir));

    ASSERT_TRUE(store.Write(App, General, "AllowedIPString", "10.0.0.9"));
    EXPECT_EQ(ReadText(oldLink), before);
    EXPECT_NE(Inode(IniFile(dir)), oldInode);
    EXPECT_EQ(QtSettingsStore(dir.Path.string()).Read(App, General, "AllowedIPString", "x"),
              "10.0.0.9");
    EXPECT_EQ(fs::status(IniFile(dir)).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);
    EXPECT_EQ(Entries(IniFile(dir).parent_path()), std::vector<std::string>{"KorvanTessivo.ini"});
}

// Values of the same length written in quick succession: every read sees the latest one. On
// tmpfs a whole write takes well under a millisecond, so old and new file can share a time stamp.
TEST(QtSettingsStore, ReadsTheLatestOfQuickSameSizeWrites) {
    const fs::path memory = "/dev/shm";
    TempDir dir(fs::is_directory(memory) ? memory : fs::temp_directory_path());
    QtSettingsStore store(dir.Path.string());
    for (int port = 8000; port < 8100; ++port) {
        ASSERT_TRUE(store.Write(App, General, "BlockedLocalPortsString", std::to_string(port)));
        ASSERT_EQ(store.Read(App, General, "BlockedLocalPortsString", "x"), std::to_string(port));
    }
}

// Tests run as root, so the failures are made with things root cannot write through either.
TEST(QtSettingsStore, AnswersFalseWhenTheFolderCannotBeMade) {
    TempDir dir;
    const fs::path blocker = dir.Path / "plain-file";
    WriteText(blocker, "not a folder");
    QtSettingsStore store((blocker / "config").string());
    EXPECT_FALSE(store.Write(App, General, "AllowedIPString", "10.0.0.1"));
    EXPECT_EQ(ReadText(blocker), "not a folder");
    EXPECT_EQ(Entries(dir.Path), std::vector<std::string>{"plain-file"});
    EXPECT_EQ(store.Read(App, General, "AllowedIPString", "fallback"), "fallback");
}

TEST(QtSettingsStore, AnswersFalseWhenTheFileIsAFolder) {
    TempDir dir;
    fs::create_directories(IniFile(dir));
    QtSettingsStore store(dir.Path.string());
    EXPECT_FALSE(store.Write(App, General, "AllowedIPString", "10.0.0.1"));
    EXPECT_TRUE(fs::is_directory(IniFile(dir)));
    EXPECT_TRUE(fs::is_empty(IniFile(dir)));
    EXPECT_EQ(Entries(IniFile(dir).parent_path()), std::vector<std::string>{"KorvanTessivo.ini"});
}

// Lowers the file-size limit of the process so that a long write fails part-way.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &Saved);
        OldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = Saved;
        limit.rlim_cur = bytes;
        Active = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &Saved);
        std::signal(SIGXFSZ, OldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool Active = false;

private:
    rlimit Saved{};
    void (*OldHandler)(int) = nullptr;
};

TEST(QtSettingsStore, KeepsTheOldFileWhenAWriteFailsPartWay) {
    TempDir dir;
    ASSERT_TRUE(
        QtSettingsStore(dir.Path.string()).Write(App, General, "AllowedIPString", "1.2.3.4"));
    const std::string before = ReadText(IniFile(dir));
    const ino_t inode = Inode(IniFile(dir));
    {
        FileSizeLimit limit(64 * 1024);
        ASSERT_TRUE(limit.Active);
        QtSettingsStore store(dir.Path.string());
        const std::string tooLong(256 * 1024, '1');
        EXPECT_FALSE(store.Write(App, General, "BlockedLocalPortsString", tooLong));
        EXPECT_FALSE(store.Write(App, General, "AllowedIPString", tooLong));
        // The readers see the file as it is, not the change that failed.
        EXPECT_EQ(QtSettingsStore(dir.Path.string()).Read(App, General, "AllowedIPString", "x"),
                  "1.2.3.4");
        EXPECT_EQ(QtSettingsStore(dir.Path.string())
                      .Read(App, General, "BlockedLocalPortsString", "missing"),
                  "missing");
    }
    EXPECT_EQ(ReadText(IniFile(dir)), before);
    EXPECT_EQ(Inode(IniFile(dir)), inode);
    EXPECT_EQ(Entries(IniFile(dir).parent_path()), std::vector<std::string>{"KorvanTessivo.ini"});
    // The failed change does not turn up later either, once writing works again.
    QtSettingsStore store(dir.Path.string());
    EXPECT_EQ(store.Read(App, General, "AllowedIPString", "x"), "1.2.3.4");
    ASSERT_TRUE(store.Write(App, General, "BlockedRemotePortsString", "25"));
    QtSettingsStore fresh(dir.Path.string());
    EXPECT_EQ(fresh.Read(App, General, "AllowedIPString", "x"), "1.2.3.4");
    EXPECT_EQ(fresh.Read(App, General, "BlockedLocalPortsString", "missing"), "missing");
    EXPECT_EQ(fresh.Read(App, General, "BlockedRemotePortsString", "x"), "25");
}

// Sets or unsets environment variables for one test and puts them back afterwards.
class EnvironmentGuard {
public:
    void Set(const char* name, const char* value) {
        Remember(name);
        if (value == nullptr) {
            unsetenv(name);
        } else {
            setenv(name, value, 1);
        }
    }
    ~EnvironmentGuard() {
        for (const auto& [name, value] : Saved) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }

private:
    void Remember(const char* name) {
        if (!Saved.contains(name)) {
            const char* value = std::getenv(name);
            Saved[name] = value ? std::optional<std::string>(value) : std::nullopt;
        }
    }
    std::map<std::string, std::optional<std::string>> Saved;
};

TEST(QtSettingsStore, FindsTheConfigFolderFromTheEnvironment) {
    TempDir home;
    TempDir config;
    EnvironmentGuard environment;
    environment.Set("HOME", home.Path.c_str());
    const std::string underHome = (home.Path / ".config").string();

    environment.Set("XDG_CONFIG_HOME", config.Path.c_str());
    QtSettingsStore store;
    EXPECT_EQ(store.ConfigRoot(), config.Path.string());
    ASSERT_TRUE(store.Write(App, General, "AllowedIPString", "10.0.0.3"));
    EXPECT_TRUE(fs::is_regular_file(config.Path / "KorvanTessivo" / "KorvanTessivo.ini"));

    environment.Set("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(QtSettingsStore().ConfigRoot(), underHome);
    environment.Set("XDG_CONFIG_HOME", "");
    EXPECT_EQ(QtSettingsStore().ConfigRoot(), underHome);
    environment.Set("XDG_CONFIG_HOME", "relative/config");
    EXPECT_EQ(QtSettingsStore().ConfigRoot(), underHome);

    // An explicit folder wins over the environment.
    EXPECT_EQ(QtSettingsStore(config.Path.string()).ConfigRoot(), config.Path.string());
}

// QSettings' own reader and writer on the other side of every odd text.
TEST(QtSettingsStore, FilesOfEitherWriterReadTheSameThroughTheOther) {
    const auto qtText = [](const QVariant& value) {
        return ToUtf8(value.typeId() == QMetaType::QStringList ? value.toStringList().join(u',')
                                                               : value.toString());
    };
    for (const std::string& text : OddTexts) {
        TempDir ours;
        TempDir theirs;
        ASSERT_TRUE(QtSettingsStore(ours.Path.string()).WriteAll(App, "Other", {{"Key", text}}));
        const QSettings reader(QString::fromStdString(IniFile(ours)), QSettings::IniFormat);
        EXPECT_EQ(qtText(reader.value("Other/Key")), text);
        QSettings(QString::fromStdString(IniFile(theirs)), QSettings::IniFormat)
            .setValue("Key", FromUtf8(text));
        EXPECT_EQ(QtSettingsStore(theirs.Path.string()).Read(App, General, "Key", "missing"), text);
    }
}

// Every entry under top with its kind, permissions, time and contents: all a save could change.
std::map<std::string, std::string> Tree(const fs::path& top) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
        const fs::file_status status = entry.symlink_status();
        std::ostringstream what;
        what << static_cast<int>(status.type()) << ' ' << static_cast<int>(status.permissions());
        if (fs::is_regular_file(status)) {
            what << ' ' << entry.last_write_time().time_since_epoch().count() << ' '
                 << ReadText(entry.path());
        } else if (fs::is_symlink(status)) {
            what << " -> " << fs::read_symlink(entry.path());
        }
        tree[fs::relative(entry.path(), top)] = what.str();
    }
    return tree;
}

// Runs body in a child with mount and network namespaces of its own, for at most a minute; what
// body found wrong, or why it did not finish.
std::string RunIsolated(const std::function<std::string()>& body) {
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return "pipe2 failed";
    }
    const UniqueFd reading(ends[0]);
    const UniqueFd writing(ends[1]);
    const pid_t child = ::fork();
    if (child == 0) {
        const std::string said =
            ::unshare(CLONE_NEWNS | CLONE_NEWNET) == 0 &&
                    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
                ? body()
                : "unshare failed";
        ::_exit(::write(writing.Get(), said.data(), said.size()) < 0 || !said.empty());
    }
    int status = -1;
    for (int tick = 0; tick < 6000 && ::waitpid(child, &status, WNOHANG) == 0; ++tick) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (status == -1 && ::kill(child, SIGKILL) == 0 && ::waitpid(child, &status, 0) == child) {
        return "timed out";
    }
    char said[4096] = {};
    const ssize_t got = ::read(reading.Get(), said, sizeof said - 1);
    return WIFEXITED(status) && (WEXITSTATUS(status) == 0 || got > 0) ? said : "died";
}

// As root (or with capabilities), a place another user could steer is neither read nor written.
TEST(QtSettingsStore, RefusesAFolderOrFileAnotherUserCouldSteer) {
    if (!RunsPrivileged()) {
        GTEST_SKIP() << "the folder is checked only when the program runs privileged";
    }
    using Steer = std::function<void(const fs::path& dir, const fs::path& folder)>;
    const std::tuple<const char*, Steer, bool> cases[] = {
        {"own folder", [](auto&, auto&) {}, false},
        {"symlinked folder",
         [](auto& dir, auto& folder) {
             fs::rename(folder, dir / "elsewhere");
             fs::create_directory_symlink(dir / "elsewhere", folder);
         },
         true},
        {"symlinked config root",
         [](auto& dir, auto&) {
             fs::rename(dir / "config", dir / "real");
             fs::create_directory_symlink("real", dir / "config");
         },
         true},
        {"symlinked file",
         [](auto& dir, auto& folder) {
             fs::rename(folder / "KorvanTessivo.ini", dir / "target.ini");
             fs::create_symlink(dir / "target.ini", folder / "KorvanTessivo.ini");
         },
         true},
        {"folder of another user",
         [](auto&, auto& folder) { ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0); }, true},
        {"folder others may write",
         [](auto&, auto& folder) { fs::permissions(folder, fs::perms::all); }, true},
        {"folder its group may write",
         [](auto&, auto& folder) {
             fs::permissions(folder, fs::perms::group_write, fs::perm_options::add);
         },
         true},
        {"file of another user",
         [](auto&, auto& f) { ASSERT_EQ(::chown((f / "KorvanTessivo.ini").c_str(), 65534, 0), 0); },
         true},
        {"file others may write",
         [](auto&, auto& f) { fs::permissions(f / "KorvanTessivo.ini", fs::perms::all); }, true},
        {"file its group may write",
         [](auto&, auto& f) {
             fs::permissions(f / "KorvanTessivo.ini", fs::perms::group_write,
                             fs::perm_options::add);
         },
         true},
    };
    for (const auto& [name, steer, refused] : cases) {
        TempDir dir;
        const fs::path folder = dir.Path / "config" / "KorvanTessivo";
        const auto lay = [&] { // a sound folder and file, whatever stood there before
            fs::remove_all(dir.Path / "config"), fs::remove_all(dir.Path / "real");
            WriteText(folder / "KorvanTessivo.ini", "[General]\nAllowedIPString=6.6.6.6\n");
            fs::permissions(folder, fs::perms::owner_all);
        };
        lay();
        steer(dir.Path, folder);
        const auto before = Tree(dir.Path);
        QtSettingsStore store((dir.Path / "config").string());
        EXPECT_EQ(store.Read(App, General, "AllowedIPString", "x"), refused ? "x" : "6.6.6.6")
            << name;
        EXPECT_EQ(store.Refusal().empty(), !refused) << name << ": " << store.Refusal();
        EXPECT_EQ(store.WriteAll(App, General, {{"AllowedIPString", "10.0.0.1"}}), !refused)
            << name;
        EXPECT_EQ(store.LastError(), store.Refusal()) << name;
        EXPECT_TRUE(!refused || Tree(dir.Path) == before) << name;
        lay(); // mended, it is read at the next reload: a refusal is no verdict on later ones
        std::vector<std::string> values;
        std::string why;
        EXPECT_TRUE(store.ReadAll(App, General, std::array<std::string_view, 1>{"AllowedIPString"},
                                  values, why))
            << name << ": " << why;
    }
}

// Swaps the settings folder, and every scratch file it can reach, for links into victim; for a
// few seconds at most.
void Race(const fs::path& home, const fs::path& victim) {
    const fs::path folder = home / "KorvanTessivo";
    const fs::path swap = home / "swap";
    std::error_code ignored;
    fs::create_directory_symlink(victim, swap, ignored);
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         std::chrono::steady_clock::now() < end;) {
        ::renameat2(AT_FDCWD, folder.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE);
        ::renameat2(AT_FDCWD, folder.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE);
        for (auto entry = fs::directory_iterator(folder, ignored);
             !ignored && entry != fs::directory_iterator(); entry.increment(ignored)) {
            const fs::path link = entry->path().string() + "~";
            fs::create_symlink(victim / "KorvanTessivo.ini", link, ignored);
            fs::rename(link, entry->path(), ignored);
        }
        ignored.clear();
    }
}

// The sudo -E case: root saves 100 times into a home that the racer owns, once with the settings
// folder root's, once the racer's; what changed in victim or was saved against expectation.
std::string SavesAgainstARacer(const fs::path& dir) {
    const fs::path home = dir / "home";
    const fs::path victim = dir / "victim";
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=0755") != 0) {
        return "tmpfs";
    }
    WriteText(victim / "KorvanTessivo.ini", "[General]\nAllowedIPString=precious\n");
    fs::permissions(victim / "KorvanTessivo.ini", fs::perms::owner_read);
    const auto before = Tree(victim);
    std::string failures;
    for (const uid_t folderOwner : {0u, 65534u}) {
        fs::remove_all(home);
        fs::create_directories(home / "KorvanTessivo");
        fs::permissions(home / "KorvanTessivo", fs::perms::owner_all);
        if (::chown(home.c_str(), 65534, 65534) != 0 ||
            ::chown((home / "KorvanTessivo").c_str(), folderOwner, 0) != 0) {
            return "chown";
        }
        const pid_t racer = ::fork();
        if (racer == 0) {
            if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
                Race(home, victim);
            }
            ::_exit(0);
        }
        int saved = 0;
        // A busy machine may let the racer win a hundred times in a row: root's own folder is
        // given more tries to show that a save still goes through.
        for (int i = 0; i < 100 || (folderOwner == 0 && saved == 0 && i < 2000); ++i) {
            QtSettingsStore store(home.string());
            saved += store.WriteAll(App, General, {{"Key", std::to_string(i)}});
        }
        ::kill(racer, SIGKILL);
        ::waitpid(racer, nullptr, 0);
        if (Tree(victim) != before || (saved > 0) != (folderOwner == 0)) {
            failures += "folder of " + std::to_string(folderOwner) + ": " + std::to_string(saved) +
                        " saved" + (Tree(victim) != before ? ", victim changed; " : "; ");
        }
    }
    return failures;
}

TEST(QtSettingsStore, ARacingUserSteersNoSaveOutOfTheFolder) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to race as another user";
    }
    TempDir dir;
    EXPECT_EQ(RunIsolated([&] { return SavesAgainstARacer(dir.Path); }), "");
}

// Nothing in the folder makes a save wait past its two seconds; a failed one keeps the old file.
TEST(QtSettingsStore, ASaveThatCannotGoOnFailsInTimeAndKeepsTheOldFile) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to mount file systems";
    }
    using Prepare = std::function<void(const fs::path& mount, const fs::path& folder)>;
    std::vector<UniqueFd> held;
    const std::tuple<const char*, const char*, Prepare, size_t, const char*> cases[] = {
        {"directory at the lock path", "size=1m",
         [](auto&, auto& folder) { fs::create_directory(folder / "KorvanTessivo.ini.lock"); }, 9,
         nullptr},
        {"read-only with a stale lock", "size=1m",
         [](auto& mount, auto& folder) {
             WriteText(folder / "KorvanTessivo.ini.lock", "4242\n");
             ::mount(nullptr, mount.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr);
         },
         9, "Read-only file system"},
        {"a save that never ends", "size=1m",
         [&](auto&, auto& folder) {
             held.emplace_back(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
             ::flock(held.back().Get(), LOCK_EX);
         },
         9, "did not end"},
        {"full disk", "size=64k", [](auto&, auto&) {}, 256 * 1024, "No space left on device"},
    };
    TempDir dir;
    const auto eachSave = [&]() -> std::string {
        std::string failures;
        for (const auto& [name, size, prepare, bytes, says] : cases) {
            const fs::path mount = dir.Path / name;
            const fs::path file = mount / "KorvanTessivo" / "KorvanTessivo.ini";
            fs::create_directory(mount);
            if (::mount("tmpfs", mount.c_str(), "tmpfs", 0, size) != 0 ||
                !QtSettingsStore(mount).Write(App, General, "AllowedIPString", "1.2.3.4")) {
                return std::string("first save: ") + name;
            }
            const std::string text = ReadText(file);
            const ino_t inode = Inode(file);
            prepare(mount, file.parent_path());
            const auto entries = Entries(file.parent_path());
            const auto start = std::chrono::steady_clock::now();
            QtSettingsStore store(mount);
            const bool saved =
                store.WriteAll(App, General, {{"AllowedIPString", std::string(bytes, '9')}});
            const bool kept = ReadText(file) == text && Inode(file) == inode &&
                              store.Read(App, General, "AllowedIPString", "x") == "1.2.3.4";
            if (std::chrono::steady_clock::now() - start > std::chrono::seconds(3) ||
                saved != (says == nullptr) || (says != nullptr && !kept) ||
                store.LastError().find(says != nullptr ? says : "") == std::string::npos ||
                Entries(file.parent_path()) != entries) {
                failures += std::string(name) + ": " + store.LastError() + "; ";
            }
        }
        return failures;
    };
    EXPECT_EQ(RunIsolated(eachSave), "");
}

// Every prefix of a file as an exact-size copy (AddressSanitizer sees any read past it); what
// the parser keeps, it writes back unchanged.
TEST(QtSettingsStore, ParsesEveryPrefixOfAFile) {
    const QByteArray whole = "\xef\xbb\xbf[General]\nA=\"x, y\" ; c\nB=\\x4g\\0\\\n\"q\nC=a\\\r\n"
                             "[%General]\nk%U00e9=@String(\\0)\n[S\\t]\nD=@@,@Invalid()\n";
    for (qsizetype n = 0; n <= whole.size(); ++n) {
        const std::vector<char> prefix(whole.begin(), whole.begin() + n);
        const QByteArray once = IniText::Parse(QByteArrayView(prefix.data(), n)).Format();
        EXPECT_EQ(IniText::Parse(once).Format(), once) << n;
    }
}

TEST(QtSettingsStore, RemovesScratchFilesOfAKilledSaveAtStartAndBeforeEverySave) {
    TempDir dir;
    const fs::path folder = IniFile(dir).parent_path();
    WriteText(IniFile(dir), "[General]\nAllowedIPString=10.0.0.1\n");
    WriteText(dir.Path / "outside", "keep");
    QtSettingsStore store(dir.Path.string());
    const std::function<void()> steps[] = {
        [&] { EXPECT_EQ(store.Read(App, General, "AllowedIPString", "x"), "10.0.0.1"); },
        [&] { EXPECT_TRUE(store.Write(App, General, "AllowedIPString", "10.0.0.2")); }};
    for (const auto& step : steps) {
        WriteText(folder / "KorvanTessivo.ini.a1B2c3", std::string(2 << 20, 'x'));
        WriteText(folder / "KorvanTessivo.ini.ZZ9yy8", "");
        for (const char* kept : {"KorvanTessivo.ini.bak", "KorvanTessivo.ini.toolong"}) {
            WriteText(folder / kept, "mine");
        }
        fs::create_directories(folder / "KorvanTessivo.ini.dir001");
        std::error_code exists;
        fs::create_symlink(dir.Path / "outside", folder / "KorvanTessivo.ini.link01", exists);
        step();
        EXPECT_EQ(Entries(folder),
                  (std::vector<std::string>{"KorvanTessivo.ini", "KorvanTessivo.ini.bak",
                                            "KorvanTessivo.ini.dir001", "KorvanTessivo.ini.link01",
                                            "KorvanTessivo.ini.toolong"}));
    }
    EXPECT_EQ(ReadText(dir.Path / "outside"), "keep");
}

} // namespace
} // namespace kt

namespace kt {
namespace {

// The program's lists through the INI file found by XDG_CONFIG_HOME, as a restart would see them.
TEST(QtSettings, ListsSurviveARestartOfTheManager) {
    TempDir dir;
    const char* previous = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = previous != nullptr ? previous : "";
    ::setenv("XDG_CONFIG_HOME", dir.Path.c_str(), 1);
    {
        QtSettingsStore store;
        Manager manager(store, nullptr);
        manager.oBlockedLocalPorts.AddItem(int32_t{3389});
        manager.oBlockedRemotePorts.AddItem(int32_t{8080});
        manager.oBlockedRemotePorts.AddItem(int32_t{25});
        manager.oAllowedIP.AddItem("10.0.0.7");
        ASSERT_TRUE(SaveSettings(manager, store));
    }
    QtSettingsStore store;
    Manager restarted(store, nullptr);
    LoadSettings(restarted, store);
    EXPECT_EQ(restarted.SaveListToString(restarted.oBlockedLocalPorts), "3389");
    EXPECT_EQ(restarted.SaveListToString(restarted.oBlockedRemotePorts), "8080,25");
    EXPECT_EQ(restarted.SaveListToString(restarted.oAllowedIP), "10.0.0.7");
    const std::string text = ReadText(dir.Path / "KorvanTessivo" / "KorvanTessivo.ini");
    EXPECT_NE(text.find("[General]"), std::string::npos);
    EXPECT_NE(text.find("BlockedRemotePortsString=\"8080,25\""), std::string::npos) << text;
    if (previous != nullptr) {
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
}

} // namespace
} // namespace kt

#include "core/qt/QtSettingsStore.h"

#include "core/Settings.h"
#include "manager/Manager.h"

#include <QCoreApplication>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

namespace kt {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view App = "KorvanTessivo";
constexpr std::string_view General = "General";

class TempDir {
public:
    explicit TempDir(const fs::path& base = fs::temp_directory_path()) {
        std::string pattern = (base / "kt-settings-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        Path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(Path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    fs::path Path;
};

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const fs::path& path, std::string_view text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::vector<std::string> Entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
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

TEST(QtSettingsStore, RoundTripsOddTexts) {
    const std::vector<std::string> texts = {
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
    };
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

// The platform's cut log file on the real file system; built for Linux and for Windows (Wine).

#include "core/CutLog.h"

#include "../fakes/TempFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kt {
namespace {

namespace fs = std::filesystem;

using testing::Entries;
using testing::ReadText;
using testing::TempFolder;

TEST(CutLogFileTest, KeepsTheNewestLinesInTwoFilesBelowTheCap) {
    const TempFolder temp;
    const fs::path folder = temp.Path / "KorvanTessivo"; // made by the first open
    constexpr uint64_t Cap = 200;
    std::string written;
    for (int run = 0; run < 2; ++run) { // a second run goes on where the first stopped
        std::string whyNot;
        const auto file = OpenCutLogFileIn(folder.string(), whyNot, Cap);
        ASSERT_NE(file, nullptr) << whyNot;
        for (int i = 0; i < 20; ++i) {
            const std::string line = "line " + std::to_string(run * 20 + i) + " of the cut log";
            ASSERT_TRUE(file->Append(line)) << file->LastError();
            written += line + '\n';
        }
    }
    ASSERT_EQ(Entries(folder), (std::vector<std::string>{"cuts.log", "cuts.log.1"}));
    const std::string older = ReadText(folder / "cuts.log.1"),
                      newer = ReadText(folder / "cuts.log");
    EXPECT_LE(older.size(), Cap);
    EXPECT_LE(newer.size(), Cap);
    // Nothing lost but what fell off the older file.
    EXPECT_TRUE(written.ends_with(older + newer)) << older << newer;
    EXPECT_GT(older.size() + newer.size(), Cap);
}

TEST(CutLogFileTest, ALinkPlantedAsTheLogIsNotFollowed) {
    const std::pair<const char*, std::function<void(const fs::path&, const fs::path&)>> plants[] = {
        {"symbolic link", [](const auto& to, const auto& at) { fs::create_symlink(to, at); }},
        {"hard link", [](const auto& to, const auto& at) { fs::create_hard_link(to, at); }},
    };
    for (const auto& [kind, plant] : plants) {
        const TempFolder temp;
        const fs::path target = temp.Path / "elsewhere";
        std::ofstream(target, std::ios::binary) << "kept\n";
        try {
            plant(target, temp.Path / "cuts.log");
        } catch (const fs::filesystem_error& error) {
            std::cout << kind << " not tried: this system makes none: " << error.what() << '\n';
            continue;
        }
        std::string whyNot;
        auto file = OpenCutLogFileIn(temp.Path.string(), whyNot, 200);
        EXPECT_EQ(file, nullptr) << kind;
        EXPECT_NE(whyNot, "") << kind;
        EXPECT_EQ(ReadText(target), "kept\n") << kind;
    }
}

// A disk that fills up part way through a line keeps no half line, and the file counts the lines
// it lost once there is room again.
TEST(CutLogFileTest, AFullDiskLeavesNoHalfLineAndCountsTheLinesLost) {
    if (!fs::exists(fs::path(KT_SMALL_DISK) / "mounted")) {
        GTEST_SKIP() << KT_SMALL_DISK << " is no small file system: CTest mounts one as root";
    }
    const TempFolder temp(KT_SMALL_DISK);
    std::string whyNot, expected;
    std::vector<std::string> sent;
    {
        std::atomic<size_t> tried = 0;
        CutLog log(
            OpenCutLogFileIn(temp.Path.string(), whyNot), [&](auto) { ++tried; }, {}, 4096,
            [] { return std::chrono::system_clock::time_point{}; });
        const auto send = [&](size_t count) { // and wait until the writer has tried each
            for (CutRecord record; count-- > 0; log.Record(record)) {
                record.LocalPort = static_cast<uint16_t>(sent.size() + 1);
                sent.push_back(FormatCutLine(record));
            }
            while (tried < sent.size()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        };
        send(1);
        std::ofstream filler(temp.Path / "filler", std::ios::binary);
        while (filler << std::string(4096, 'x')) { // until the disk is full
        }
        send(200);
        filler.close(), fs::remove(temp.Path / "filler");
        send(1);
    } // closed first: on Windows its handle lets no ordinary reader in
    const std::string text = ReadText(temp.Path / "cuts.log");
    size_t kept = 0;
    while (expected.size() < text.find("... ") && kept < sent.size()) {
        expected += sent[kept++] + '\n';
    }
    EXPECT_EQ(text, expected + "... " + std::to_string(sent.size() - 1 - kept) +
                        " cut log lines dropped\n" + sent.back() + '\n')
        << whyNot;
}

} // namespace
} // namespace kt

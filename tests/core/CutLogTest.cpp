#include "core/CutLog.h"

#include "../fakes/Fakes.h"
#include "engine/Conversions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace kt {
namespace {

using namespace std::chrono;
using testing::Address;
using Rule = CutRecord::Rule;

// A refusal when it has a reason.
CutRecord Make(system_clock::time_point when, uint32_t localAddress, uint16_t localPort,
               uint32_t remoteAddress, uint16_t remotePort, Rule rule, std::string reason = {}) {
    CutRecord record;
    record.When = when;
    record.LocalAddress = localAddress;
    record.LocalPort = localPort;
    record.RemoteAddress = remoteAddress;
    record.RemotePort = remotePort;
    record.Matched = rule;
    record.Refused = !reason.empty();
    record.Reason = std::move(reason);
    return record;
}

CutRecord Cut(uint16_t localPort, uint16_t remotePort) {
    return Make(system_clock::now(), Address(127, 0, 0, 2), localPort, Address(127, 0, 0, 3),
                remotePort, Rule::BlockedLocalPort);
}

TEST(CutLogTest, OneLineForACutOrARefusal) {
    const auto when = sys_days{2026y / December / 8} + 3h + 15min + 2s + 123ms + 999us;
    const uint32_t from = Address(127, 0, 0, 2), to = Address(127, 0, 0, 3);
    const std::pair<CutRecord, std::string> rows[] = {
        {Make(when, from, 21001, to, 40000, Rule::BlockedLocalPort),
         "2026-12-08T03:15:02.123Z cut 127.0.0.2:21001 -> 127.0.0.3:40000 (blocked local port "
         "21001)"},
        {Make(when, from, 21001, to, 40000, Rule::BlockedRemotePort, "Operation not permitted"),
         "2026-12-08T03:15:02.123Z refused 127.0.0.2:21001 -> 127.0.0.3:40000 (blocked remote "
         "port 40000): Operation not permitted"},
        // A reason never breaks the line in two.
        {Make(sys_days{2024y / February / 29} + 23h + 59min + 59s + 999ms, to, 40000, from, 21002,
              Rule::BlockedRemotePort, "two\nlines"),
         "2024-02-29T23:59:59.999Z refused 127.0.0.3:40000 -> 127.0.0.2:21002 (blocked remote "
         "port 21002): two lines"},
        {CutRecord::Of(testing::MakeRow6(TcpEstablished, *ParseIPv6Address("2001:db8::2"), 443,
                                         *ParseIPv6Address("2001:db8::1"), 50000),
                       Rule::BlockedLocalPort, when),
         "2026-12-08T03:15:02.123Z cut [2001:db8::2]:443 -> [2001:db8::1]:50000 (blocked local "
         "port 443)"},
    };
    for (const auto& [record, line] : rows) {
        EXPECT_EQ(FormatCutLine(record), line);
    }
}

TEST(CutLogTest, RecordsFromTwoThreadsAllArriveInTheirOrder) {
    std::vector<std::string> lines; // the writer's until the log is gone
    {
        CutLog log(nullptr, [&](std::string_view line) { lines.emplace_back(line); });
        // The second stamps its records long before it hands them over.
        const auto send = [&log](uint16_t localPort, hours late) {
            for (uint16_t i = 1; i <= 1000; ++i) {
                CutRecord record = Cut(localPort, i);
                record.When -= late;
                log.Record(record);
            }
        };
        const std::jthread first(send, 21001, 0h), second(send, 21002, 1h);
    }
    ASSERT_EQ(lines.size(), 2000u);
    const auto stamp = [](const std::string& line) { return line.substr(0, line.find(' ')); };
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_LE(stamp(lines[i - 1]), stamp(lines[i])) << "line " << i << " out of time order";
    }
    for (const char* port : {":21001 ", ":21002 "}) {
        int expected = 1;
        for (const std::string& line : lines) {
            if (line.find(port) != std::string::npos) {
                const size_t at = line.find(":", line.find("->"));
                EXPECT_EQ(std::stoi(line.substr(at + 1)), expected++) << line;
            }
        }
        EXPECT_EQ(expected, 1001) << port;
    }
}

// Always full: every append fails.
class FullDisk : public LogFile {
public:
    explicit FullDisk(int& appends) : Appends(appends) {}
    bool Append(std::string_view) override { return ++Appends, false; }
    std::string LastError() const override { return "No space left on device"; }
    int& Appends;
};

TEST(CutLogTest, AFullQueueDropsAndSaysHowManyAndAFailingFileIsToldOnce) {
    std::mutex lock;
    std::condition_variable changed;
    bool busy = false, held = true;
    std::vector<std::string> lines, told;
    int appends = 0;
    std::vector<CutRecord> records;
    for (uint16_t port = 40001; port <= 40006; ++port) {
        records.push_back(Cut(21001, port));
        records.back().When = {}; // as the log's clock stamps them
    }
    {
        // The writer is held in the first line's echo while the rest are recorded.
        CutLog log(
            std::make_unique<FullDisk>(appends),
            [&](std::string_view line) {
                std::unique_lock guard(lock);
                lines.emplace_back(line);
                busy = true;
                changed.notify_all();
                changed.wait_for(guard, 10s, [&] { return !held; });
            },
            [&](std::string_view why) { told.emplace_back(why); }, 2,
            [] { return system_clock::time_point{}; });
        log.Record(records[0]);
        {
            std::unique_lock guard(lock);
            ASSERT_TRUE(changed.wait_for(guard, 10s, [&] { return busy; }));
        }
        for (size_t i = 1; i < records.size(); ++i) {
            log.Record(records[i]);
        }
        const std::lock_guard guard(lock);
        held = false;
        changed.notify_all();
    }
    EXPECT_THAT(lines,
                ::testing::ElementsAre(FormatCutLine(records[0]), FormatCutLine(records[1]),
                                       FormatCutLine(records[2]), "... 3 cut log lines dropped"));
    EXPECT_EQ(appends, 4);
    EXPECT_THAT(told, ::testing::ElementsAre("cut log: No space left on device"));
}

} // namespace
} // namespace kt

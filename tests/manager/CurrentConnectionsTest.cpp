#include "manager/Manager.h"

#include "../fakes/Fakes.h"
#include "engine/Conversions.h"
#include "engine/Engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace kt {
namespace {

using testing::Address;
using testing::FakeHost;
using testing::FakeTcpTable;
using testing::MakeRow;
using testing::MakeRow6;
using testing::MemoryStore;
using testing::RecordingForm;

class CurrentConnectionsTest : public ::testing::Test {
protected:
    CurrentConnectionsTest()
        : manager(store, nullptr),
          engine(table, host, manager, FormatDottedAddress, testing::SteppingClock()) {
        engine.BuildStateNames();
        manager.oConnections = &engine;
        table.rows = {
            MakeRow(TcpEstablished, Address(192, 168, 0, 5), 1025, Address(192, 168, 0, 10), 80),
            MakeRow(TcpListening, Address(192, 168, 0, 5), 139, 0, 0),
            MakeRow(TcpListening, 0, 135, 0, 0),
        };
    }

    std::vector<std::string> Lines() const {
        return testing::ItemTexts(manager.oCurrentConnections);
    }

    MemoryStore store;
    FakeHost host;
    FakeTcpTable table;
    RecordingForm form;
    Manager manager;
    Engine engine;
};

TEST_F(CurrentConnectionsTest, LinesShowEachEndpointFormAndTheFilter) {
    const Address6 here = *ParseIPv6Address("2001:db8::2"),
                   there = *ParseIPv6Address("2001:db8::1");
    table.rows.insert(table.rows.end(),
                      {MakeRow6(TcpEstablished, here, 443, there, 50000),
                       MakeRow6(TcpListening, *ParseIPv6Address("::1"), 8443, {}, 0),
                       MakeRow6(TcpListening, {}, 22, {}, 0)});
    manager.oMainForm = &form;
    manager.SetCurrentMode(0);
    engine.PollConnections();
    const std::vector<std::string> all = {
        "1025 <--> 192.168.0.10:80 ESTABLISHED",    "139 :192.168.0.5 LISTENING", "135 LISTENING",
        "443 <--> [2001:db8::1]:50000 ESTABLISHED", "8443 :[::1] LISTENING",      "22 LISTENING"};
    EXPECT_EQ(Lines(), all);
    EXPECT_EQ(form.rows, all);
    EXPECT_EQ(form.head, "Current Connections");
    form.showConnected = Value(int16_t{1});
    manager.RefreshCurrentConnections();
    EXPECT_EQ(form.rows, (std::vector<std::string>{"1025 <--> 192.168.0.10:80 ESTABLISHED",
                                                   "443 <--> [2001:db8::1]:50000 ESTABLISHED"}));
    form.showConnected = Value("unreadable");
    manager.RefreshCurrentConnections();
    EXPECT_EQ(form.rows, all);
}

TEST_F(CurrentConnectionsTest, PortZeroRowsAreNeverShownAndOddStatesHaveNoName) {
    table.rows = {MakeRow(TcpEstablished, Address(10, 0, 0, 1), 0, Address(10, 0, 0, 2), 80),
                  MakeRow(TcpTimeWait, Address(10, 0, 0, 1), 4000, 0, 0),
                  MakeRow(40, 0, 4001, 0, 0)};
    engine.PollConnections();
    EXPECT_EQ(Lines(), (std::vector<std::string>{"4000 :10.0.0.1 TIME_WAIT", "4001 "}));
}

TEST_F(CurrentConnectionsTest, RowsWithoutACacheEntryShowAnEmptyRemoteAddress) {
    engine.PollConnections();
    engine.ClearConnectionCache();
    manager.RefreshCurrentConnections();
    EXPECT_EQ(Lines().at(0), "1025 <--> :80 ESTABLISHED");
    engine.PollConnections();
    EXPECT_EQ(Lines().at(0), "1025 <--> 192.168.0.10:80 ESTABLISHED");
}

TEST_F(CurrentConnectionsTest, OtherModesKeepTheirListBox) {
    manager.oMainForm = &form;
    manager.oBlockedLocalPorts.AddItem(int32_t{80});
    manager.SetCurrentMode(Manager::BlockedLocalPortsMode);
    engine.PollConnections();
    form.showConnected = Value(int16_t{1});
    manager.RefreshCurrentConnections();
    EXPECT_EQ(form.rows, (std::vector<std::string>{"80"}));
    EXPECT_EQ(Lines().size(), 1u);
    manager.SetCurrentMode(0);
    EXPECT_EQ(form.rows, Lines());
}

TEST_F(CurrentConnectionsTest, EmptySnapshotAndNoWindowAreHandled) {
    engine.PollConnections(); // no window yet: the filter reads as unchecked
    EXPECT_EQ(Lines().size(), 3u);
    table.rows.clear();
    manager.oMainForm = &form;
    manager.SetCurrentMode(0);
    engine.PollConnections();
    EXPECT_TRUE(Lines().empty());
    EXPECT_TRUE(form.rows.empty());
}

// A rule change has every row judged again; the lines that stay as they were are not handed to
// the list box (nor to the service's watchers) again.
TEST_F(CurrentConnectionsTest, ARuleChangeThatLeavesEveryLineTellsTheListBoxNothing) {
    table.listChanges = true;
    manager.oMainForm = &form;
    manager.SetCurrentMode(0);
    engine.PollConnections();
    ASSERT_EQ(form.rows.size(), 3u);
    form.calls.clear();
    manager.oBlockedRemotePorts.AddItem(int32_t{8080});
    manager.SaveChanges();
    for (int tick = 0; tick < 3; ++tick) {
        engine.PollConnections();
    }
    EXPECT_EQ(std::count_if(form.calls.begin(), form.calls.end(),
                            [](const std::string& call) { return call.starts_with("replace"); }),
              0);
    EXPECT_EQ(form.rows.size(), 3u);
}

// The face of a service is given the service's lines as edits of a range, in place or at the
// end; its list box shows what a whole refresh would, with the filter on or off.
TEST_F(CurrentConnectionsTest, TheServicesEditsShowAsAWholeRefreshWould) {
    std::vector<std::string> service;
    manager.oConnections = nullptr;
    manager.oServiceLines = &service;
    manager.oMainForm = &form;
    manager.SetCurrentMode(0);
    std::mt19937 random(GTEST_FLAG_GET(random_seed));
    const auto line = [&] {
        return std::to_string(random() % 100) +
               (random() % 2 ? " <--> 10.0.0.1:80 ESTABLISHED" : " :10.0.0.2 LISTEN");
    };
    for (int step = 0; step < 400; ++step) {
        const auto size = static_cast<int32_t>(service.size());
        const int32_t first = size == 0 ? 0 : static_cast<int32_t>(random() % (size + 1));
        const bool atEnd = random() % 2 == 0;
        const int32_t count =
            atEnd ? size - first : static_cast<int32_t>(random() % (size - first + 1));
        std::vector<std::string> texts(atEnd ? random() % 4 : static_cast<size_t>(count));
        std::generate(texts.begin(), texts.end(), line);
        service.erase(service.begin() + first, service.begin() + first + count);
        service.insert(service.begin() + first, texts.begin(), texts.end());
        if (step % 100 == 50) { // "Show only connected" clicked
            form.showConnected = Value(int16_t(step / 100 % 2 == 0));
            manager.RefreshCurrentConnections();
        }
        manager.ServiceLinesChanged(first, count, texts);
        std::vector<std::string> shown;
        std::copy_if(service.begin(), service.end(), std::back_inserter(shown), [&](auto& text) {
            return !ToBooleanSafe(form.showConnected) || text.ends_with("ESTABLISHED");
        });
        ASSERT_EQ(form.rows, shown) << "step " << step;
    }
}

} // namespace
} // namespace kt

#include "manager/Manager.h"

#include "../fakes/Fakes.h"
#include "engine/Conversions.h"
#include "engine/Engine.h"

#include <gtest/gtest.h>

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

} // namespace
} // namespace kt

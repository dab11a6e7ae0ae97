#include "engine/Engine.h"

#include "../fakes/Fakes.h"
#include "engine/RuleEditing.h"
#include "manager/Manager.h"

#include <gtest/gtest.h>

namespace kt {
namespace {

using testing::Address;
using testing::FakeHost;
using testing::FakeTcpTable;
using testing::MakeRow;
using testing::MemoryStore;
using testing::RecordingForm;

const uint32_t Here = Address(127, 0, 0, 2);
const uint32_t There = Address(127, 0, 0, 3);
const uint32_t Loopback = Address(127, 0, 0, 1);

class EngineTest : public ::testing::Test {
protected:
    EngineTest() : manager(store, nullptr), engine(table, host, manager) {
        engine.BuildStateNames();
        manager.oConnections = &engine;
        manager.oMainForm = &form;
        manager.oAllowedIP.AddItem("127.0.0.1");
        manager.SetCurrentMode(0);
    }

    bool WasCut(const TcpRow& row) const {
        for (const TcpRow& d : table.deletes) {
            if (d.dwLocalAddr == row.dwLocalAddr && d.dwLocalPort == row.dwLocalPort &&
                d.dwRemoteAddr == row.dwRemoteAddr && d.dwRemotePort == row.dwRemotePort) {
                return true;
            }
        }
        return false;
    }

    MemoryStore store;
    FakeHost host;
    FakeTcpTable table;
    RecordingForm form;
    Manager manager;
    Engine engine;
};

TEST_F(EngineTest, StateNamesCoverTheTable) {
    EXPECT_EQ(engine.StateName(0), "UNKNOWN");
    EXPECT_EQ(engine.StateName(5), "ESTABLISHED");
    EXPECT_EQ(engine.StateName(12), "DELETE_TCB");
    EXPECT_EQ(engine.StateName(13), "");
    EXPECT_EQ(engine.StateName(-1), "");
}

TEST_F(EngineTest, OnlyEstablishedConnectionsOnBlockedPortsAreCut) {
    manager.oBlockedLocalPorts.AddItem(int32_t{3389});
    manager.oBlockedRemotePorts.AddItem(int32_t{8080});
    const TcpRow listening = MakeRow(TcpListening, Here, 3389, 0, 0);
    const TcpRow onLocal = MakeRow(TcpEstablished, Here, 3389, There, 50000);
    const TcpRow onRemote = MakeRow(TcpEstablished, Here, 50001, There, 8080);
    const TcpRow unblocked = MakeRow(TcpEstablished, Here, 50002, There, 443);
    const TcpRow closing = MakeRow(TcpCloseWait, Here, 50003, There, 8080);
    table.rows = {listening, onLocal, onRemote, unblocked, closing};
    engine.PollConnections();
    ASSERT_EQ(table.deletes.size(), 2u);
    EXPECT_TRUE(WasCut(onLocal));
    EXPECT_TRUE(WasCut(onRemote));
    for (const TcpRow& d : table.deletes) {
        EXPECT_EQ(d.dwState, static_cast<uint32_t>(TcpDeleteTcb));
    }
    EXPECT_EQ(host.doEventsCount, 2); // one message pass per cut
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(EngineTest, AllowedAddressIsExemptFromBothPortLists) {
    manager.oBlockedLocalPorts.AddItem(int32_t{5000});
    manager.oBlockedRemotePorts.AddItem(int32_t{8080});
    table.rows = {MakeRow(TcpEstablished, Here, 5000, Loopback, 8080)};
    engine.PollConnections();
    engine.PollConnections();
    EXPECT_TRUE(table.deletes.empty());
    EXPECT_TRUE(engine.Cache().at(0).AllowedFlag);
    EXPECT_FALSE(engine.Cache().at(0).PassedFlag);
}

TEST_F(EngineTest, AllowedEntriesMatchOnlyTheTablesOwnText) {
    manager.oAllowedIP.AddItem("127.0.0.003");
    manager.oBlockedRemotePorts.AddItem(int32_t{8080});
    table.rows = {MakeRow(TcpEstablished, Here, 5000, There, 8080)};
    engine.PollConnections();
    EXPECT_EQ(table.deletes.size(), 1u);
}

TEST_F(EngineTest, AJudgedConnectionIsNotJudgedAgainUntilTheCacheIsCleared) {
    const TcpRow row = MakeRow(TcpEstablished, Here, 5000, There, 8080);
    table.rows = {row};
    engine.PollConnections();
    EXPECT_TRUE(engine.Cache().at(0).PassedFlag);
    // A rule added without saving does not reach a passed connection...
    manager.oBlockedRemotePorts.AddItem(int32_t{8080});
    engine.PollConnections();
    EXPECT_TRUE(table.deletes.empty());
    // ...saving it does, on the next tick.
    manager.SaveChanges();
    engine.PollConnections();
    EXPECT_TRUE(WasCut(row));
}

TEST_F(EngineTest, ARefusedCutIsRetriedEveryTickSilently) {
    table.refuseDeletes = true;
    manager.oBlockedRemotePorts.AddItem(int32_t{8080});
    table.rows = {MakeRow(TcpEstablished, Here, 5000, There, 8080)};
    for (int tick = 0; tick < 4; ++tick) {
        engine.PollConnections();
    }
    EXPECT_EQ(table.deletes.size(), 4u);
    EXPECT_FALSE(engine.Cache().at(0).AllowedFlag || engine.Cache().at(0).PassedFlag);
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(EngineTest, AFailedSnapshotProcessesThePreviousOneAgain) {
    table.refuseDeletes = true;
    manager.oBlockedRemotePorts.AddItem(int32_t{8080});
    table.rows = {MakeRow(TcpEstablished, Here, 5000, There, 8080)};
    engine.PollConnections();
    table.failSnapshots = true;
    table.rows.clear();
    engine.PollConnections();
    EXPECT_EQ(table.deletes.size(), 2u);
    EXPECT_EQ(engine.RowCount(), 1);
}

TEST_F(EngineTest, ShiftedRowsAreNewUnlessTheSameConnectionStays) {
    const TcpRow a = MakeRow(TcpEstablished, Here, 5000, There, 443);
    const TcpRow b = MakeRow(TcpEstablished, Here, 5001, There, 443);
    table.rows = {a, b};
    engine.PollConnections();
    ASSERT_TRUE(engine.Cache().at(0).PassedFlag && engine.Cache().at(1).PassedFlag);
    manager.oBlockedLocalPorts.AddItem(int32_t{5001}); // not saved: judged rows keep passing
    table.rows = {b};
    engine.PollConnections();
    // b moved to position 0, where another connection was: it is new there and judged again.
    EXPECT_TRUE(WasCut(b));
    table.rows = {a};
    engine.PollConnections();
    engine.PollConnections();
    EXPECT_TRUE(engine.Cache().at(0).PassedFlag);
}

TEST_F(EngineTest, KeysThatLookAlikeWithoutSeparatorsAreDifferentConnections) {
    manager.oBlockedRemotePorts.AddItem(int32_t{12});
    table.rows = {MakeRow(TcpEstablished, Here, 2345, There, 1)};
    engine.PollConnections();
    ASSERT_TRUE(engine.Cache().at(0).PassedFlag);
    const TcpRow next = MakeRow(TcpEstablished, Here, 345, There, 12);
    table.rows = {next};
    engine.PollConnections();
    EXPECT_TRUE(WasCut(next));
}

TEST_F(EngineTest, SamePortsFromAnotherAddressAreJudgedAfresh) {
    table.rows = {MakeRow(TcpEstablished, Here, 5000, Loopback, 8080)};
    manager.oBlockedRemotePorts.AddItem(int32_t{8080});
    engine.PollConnections();
    ASSERT_TRUE(engine.Cache().at(0).AllowedFlag);
    const TcpRow stranger = MakeRow(TcpEstablished, Here, 5000, There, 8080);
    table.rows = {stranger};
    engine.PollConnections();
    EXPECT_TRUE(WasCut(stranger));
}

TEST_F(EngineTest, EmptyTableProcessesNothingAndKeepsOneEntry) {
    engine.PollConnections();
    EXPECT_EQ(engine.Cache().size(), 1u);
    EXPECT_EQ(engine.RowCount(), 0);
    EXPECT_EQ(manager.oCurrentConnections.GetItemCount(), 0);
}

TEST_F(EngineTest, TheCacheGrowsToTheLargestTableAndNeverShrinks) {
    table.rows.assign(5, MakeRow(TcpListening, Here, 7000, 0, 0));
    engine.PollConnections();
    EXPECT_EQ(engine.Cache().size(), 6u);
    table.rows.resize(2);
    engine.PollConnections();
    EXPECT_EQ(engine.Cache().size(), 6u);
}

TEST_F(EngineTest, ThousandsOfRowsAreAllGuarded) {
    manager.oBlockedRemotePorts.AddItem(int32_t{8080});
    for (uint16_t i = 0; i < 5000; ++i) {
        table.rows.push_back(MakeRow(TcpEstablished, Here, static_cast<uint16_t>(10000 + i), There,
                                     i % 10 == 0 ? 8080 : 443));
    }
    const TcpRow last = table.rows.back();
    table.rows.push_back(MakeRow(TcpEstablished, Here, 9999, There, 8080));
    // Each cut reads the rest of its tick from a fresh snapshot, in which the rows after it have
    // moved up; none of them waits for the next tick.
    engine.PollConnections();
    EXPECT_EQ(table.deletes.size(), 501u);
    EXPECT_EQ(table.rows.size(), 4500u);
    EXPECT_FALSE(WasCut(last));
    EXPECT_EQ(manager.oCurrentConnections.GetItemCount(), 4500);
}

TEST_F(EngineTest, TheCutHitsTheJudgedConnectionWhenTheTableMoved) {
    manager.oBlockedRemotePorts.AddItem(int32_t{8080});
    const TcpRow judged = MakeRow(TcpEstablished, Here, 5000, There, 8080);
    const TcpRow newcomer = MakeRow(TcpEstablished, Here, 5001, There, 443);
    table.rows = {judged};
    // Between the tick's snapshot and the cut's fresh one, a connection arrives in front.
    table.onSnapshot = [&](int n) {
        if (n == 2) {
            table.rows.insert(table.rows.begin(), newcomer);
        }
    };
    engine.PollConnections();
    ASSERT_EQ(table.deletes.size(), 1u);
    EXPECT_TRUE(WasCut(judged));
    EXPECT_FALSE(WasCut(newcomer));
}

TEST_F(EngineTest, ARuleSavedDuringATickAppliesFromTheNextTick) {
    manager.oBlockedRemotePorts.AddItem(int32_t{8080});
    table.refuseDeletes = true;
    const TcpRow first = MakeRow(TcpEstablished, Here, 5000, There, 8080);
    const TcpRow second = MakeRow(TcpEstablished, Here, 5001, There, 25);
    table.rows = {first, second};
    bool added = false;
    host.onDoEvents = [&] {
        if (!added) {
            added = true;
            manager.SetCurrentMode(Manager::BlockedRemotePortsMode);
            AddRuleEntry(manager, host, "25");
        }
    };
    engine.PollConnections();
    // The rest of that tick is shown, not judged.
    EXPECT_FALSE(WasCut(second));
    EXPECT_EQ(manager.oCurrentConnections.GetItemCount(), 2);
    engine.PollConnections();
    EXPECT_TRUE(WasCut(second));
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(EngineTest, HandlersDuringACutCanShrinkTheTableSwitchModesAndClearTheCache) {
    manager.oBlockedRemotePorts.AddItem(int32_t{8080});
    for (uint16_t i = 0; i < 50; ++i) {
        table.rows.push_back(
            MakeRow(TcpEstablished, Here, static_cast<uint16_t>(20000 + i), There, 8080));
    }
    int passes = 0;
    host.onDoEvents = [&] {
        ++passes;
        if (passes == 1) {
            table.rows.resize(3); // the next snapshot is much smaller
            manager.SetCurrentMode(Manager::AllowedIPMode);
        } else if (passes == 2) {
            manager.SaveChanges();
            manager.oBlockedRemotePorts.Reset();
        }
    };
    engine.PollConnections();
    engine.PollConnections();
    EXPECT_EQ(manager.CurrentMode, Manager::AllowedIPMode);
    EXPECT_EQ(form.head, "Allowed IP Addresses");
}

TEST_F(EngineTest, TheViewIsRebuiltOncePerChangedTickAndNotWhenNothingChanged) {
    for (uint16_t i = 0; i < 20; ++i) {
        table.rows.push_back(MakeRow(TcpListening, Here, static_cast<uint16_t>(7000 + i), 0, 0));
    }
    form.calls.clear();
    engine.PollConnections();
    EXPECT_EQ(std::count(form.calls.begin(), form.calls.end(), "clear"), 1);
    EXPECT_EQ(form.rows.size(), 20u);
    form.calls.clear();
    engine.PollConnections();
    engine.PollConnections();
    EXPECT_TRUE(form.calls.empty());
}

} // namespace
} // namespace kt

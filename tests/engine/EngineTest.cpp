#include "engine/Engine.h"

#include "../fakes/Fakes.h"
#include "engine/Conversions.h"
#include "engine/RuleEditing.h"
#include "manager/Manager.h"

#include <gtest/gtest.h>
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
        return std::any_of(table.deletes.begin(), table.deletes.end(),
                           [&](const TcpRow& d) { return testing::SameConnection(d, row); });
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
    EXPECT_EQ(host.doEventsCount, 1); // one message pass for all the cuts of a tick
    EXPECT_EQ(table.snapshots, 2);    // and one fresh snapshot
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

// IPv6 connections by the same rules; an allowed entry typed in either form of an IPv4 address
// spares that address in either form of row.
TEST_F(EngineTest, IPv6ConnectionsAreJudgedByTheSameRules) {
    const Address6 near = *ParseIPv6Address("2001:db8::2"), far = *ParseIPv6Address("2001:db8::1");
    const TcpRow plain = MakeRow(TcpEstablished, Here, 443, There, 50000);
    const TcpRow mapped =
        MakeRow6(TcpEstablished, MappedAddress(Here), 443, MappedAddress(There), 50000);
    const TcpRow ipv6 = MakeRow6(TcpEstablished, near, 443, far, 50000);
    const std::tuple<const char*, TcpRow, bool> cases[] = {
        {"2001:db8::3", ipv6, true},        {"2001:DB8:0:0:0:0:0:0001", ipv6, false},
        {"127.0.0.3", mapped, false},       {"::ffff:127.0.0.3", mapped, false},
        {"::ffff:127.0.0.3", plain, false}, {"::ffff:127.0.0.2", mapped, true},
    };
    manager.oBlockedLocalPorts.AddItem(int32_t{443});
    manager.SetCurrentMode(Manager::AllowedIPMode);
    for (const auto& [typed, row, cut] : cases) {
        manager.oAllowedIP.Reset();
        AddRuleEntry(manager, host, typed);
        table.rows = {row};
        table.deletes.clear();
        engine.PollConnections();
        EXPECT_EQ(WasCut(row), cut) << typed << " " << AddressToText(row.remoteAddr6);
    }
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
    EXPECT_EQ(std::count(form.calls.begin(), form.calls.end(), "replace 0+0 20"), 1);
    form.calls.clear();
    engine.PollConnections();
    engine.PollConnections();
    EXPECT_TRUE(form.calls.empty());
}

// The table a test steps through, with a clock that moves only when told.
class SteppedEngineTest : public EngineTest {
protected:
    Engine::TimePoint now{std::chrono::seconds(1)};
    Engine stepped{table, host, manager, FormatDottedAddress, [this] { return now; }};
    SteppedEngineTest() {
        stepped.BuildStateNames();
        manager.oConnections = &stepped;
    }
    void Tick(int ms = 40) {
        stepped.PollConnections();
        now += std::chrono::milliseconds(ms);
    }
};

TEST_F(SteppedEngineTest, TheViewComesToShowTheTableAfterRowsLeaveAndReturn) {
    const TcpRow a = MakeRow(TcpListening, Here, 7000, 0, 0);
    const TcpRow b = MakeRow(TcpListening, Here, 7001, 0, 0);
    const std::vector<std::vector<std::vector<TcpRow>>> stories = {
        {{a, b}, {a}, {a, b}}, // a listener at the end restarts
        {{a, b}, {}, {a, b}},  // one empty snapshot between two whole ones
    };
    for (const auto& story : stories) {
        for (const auto& rows : story) {
            table.rows = rows;
            Tick();
        }
        for (int i = 0; i < 5; ++i) {
            Tick();
        }
        EXPECT_EQ(form.rows, (std::vector<std::string>{"7000 :127.0.0.2 LISTENING",
                                                       "7001 :127.0.0.2 LISTENING"}));
    }
}

TEST_F(SteppedEngineTest, ManyCutsCostOneFreshSnapshotAndTheViewComesAfterThem) {
    manager.oBlockedRemotePorts.AddItem(int32_t{8080});
    for (uint16_t i = 0; i < 30; ++i) {
        table.rows.push_back(MakeRow(TcpEstablished, Here, static_cast<uint16_t>(20000 + i), There,
                                     i % 3 ? 443 : 8080));
    }
    table.onSnapshot = [&](int n) {
        if (n == 2) { // the fresh snapshot: every delete is done, the view not yet rebuilt
            EXPECT_EQ(table.deletes.size(), 10u);
            EXPECT_TRUE(form.rows.empty());
        }
    };
    Tick();
    EXPECT_EQ(table.snapshots, 2);
    EXPECT_EQ(host.doEventsCount, 1);
    EXPECT_EQ(form.rows.size(), 20u);
    Tick(); // nothing left to cut: one snapshot, no message pass
    EXPECT_EQ(table.snapshots, 3);
    EXPECT_EQ(host.doEventsCount, 1);
}

TEST_F(SteppedEngineTest, ViewRebuildsAreCoalescedButNeverLost) {
    const auto listener = [](uint16_t port) { return MakeRow(TcpListening, Here, port, 0, 0); };
    manager.oBlockedLocalPorts.AddItem(int32_t{3389}); // the whole table read on every tick
    table.rows = {listener(7000)};
    Tick(10); // shown at once
    EXPECT_EQ(form.rows.size(), 1u);
    table.rows.push_back(listener(7001));
    Tick(10); // 10 ms after the last rebuild: waits
    EXPECT_EQ(form.rows.size(), 1u);
    ASSERT_TRUE(stepped.ViewDue().has_value());
    EXPECT_LE(*stepped.ViewDue() - now, Engine::ViewInterval);
    table.rows.push_back(listener(7002));
    Tick(10);
    Tick(10);
    Tick(10); // 40 ms after the last rebuild: both changes in one
    EXPECT_EQ(form.rows.size(), 3u);
    EXPECT_FALSE(stepped.ViewDue().has_value());
}

TEST_F(SteppedEngineTest, BetweenWholeSnapshotsOnlyTheBlockedRowsAreReadAndJudged) {
    table.filters = true;
    manager.oBlockedLocalPorts.AddItem(int32_t{3389});
    const TcpRow allowed = MakeRow(TcpEstablished, Here, 3389, Loopback, 50000);
    const TcpRow other = MakeRow(TcpEstablished, Here, 3390, There, 50001);
    table.rows = {allowed, other};
    Tick(1); // a whole snapshot
    const TcpRow blocked = MakeRow(TcpEstablished, Here, 3389, There, 50002);
    table.rows.push_back(blocked);
    Tick(1); // judged from a filtered snapshot and cut within a millisecond
    EXPECT_EQ(table.snapshots, 1);
    EXPECT_EQ(table.blockedSnapshots, 1);
    EXPECT_EQ(table.deletes,
              (std::vector<TcpRow>{MakeRow(TcpDeleteTcb, Here, 3389, There, 50002)}));
    table.refuseDeletes = true;
    table.rows.push_back(blocked);
    for (int i = 0; i < 40; ++i) {
        Tick(1); // refused: tried again on every tick
    }
    EXPECT_EQ(table.deletes.size(), 41u);
    EXPECT_GE(table.snapshots, 2); // and the whole table is still read for the view
    EXPECT_EQ(form.rows.size(), 3u);
}

// One random story of a table, told to one engine as change lists and to another as whole
// snapshots: both cut alike, cache alike and show the same lines.
TEST(EngineChangeLists, JudgeCacheAndShowAsWholeSnapshotsDo) {
    struct Side {
        explicit Side(bool lists) {
            table.listChanges = lists;
            table.pretendDeletes = true; // cut again on every tick, told as refused after three
            engine.BuildStateNames();
            engine.SetCutReport([this](const CutRecord& r) {
                said.push_back(std::to_string(r.LocalPort) + ">" + std::to_string(r.RemotePort) +
                               " " + r.Reason);
            });
            manager.oConnections = &engine;
            manager.oMainForm = &form;
            manager.oAllowedIP.AddItem("127.0.0.1");
            manager.oBlockedLocalPorts.AddItem(int32_t{80});
            manager.SetCurrentMode(0);
        }
        std::vector<std::string> Lines() const {
            return testing::ItemTexts(manager.oCurrentConnections);
        }
        MemoryStore store;
        FakeHost host;
        FakeTcpTable table;
        RecordingForm form;
        Manager manager{store, nullptr};
        Engine engine{table, host, manager, FormatDottedAddress, testing::SteppingClock()};
        std::vector<std::string> said;
    };
    Side lists(true), whole(false);
    std::mt19937 random(GTEST_FLAG_GET(random_seed));
    const auto any = [&](std::initializer_list<uint32_t> values) {
        return values.begin()[random() % values.size()];
    };
    const auto newRow = [&] {
        TcpRow row =
            MakeRow(static_cast<int>(any({TcpListening, TcpSynSent, TcpEstablished, TcpEstablished,
                                          TcpFinWait2, TcpTimeWait})),
                    any({0, Here}), static_cast<uint16_t>(any({0, 80, 443, 5000, 5001})),
                    any({0, There, Loopback}), static_cast<uint16_t>(any({0, 80, 8080, 50000})));
        return random() % 8 ? row
                            : MakeRow6(static_cast<int>(row.dwState), MappedAddress(Here),
                                       PortFromField(row.dwLocalPort), MappedAddress(There), 8080);
    };
    std::vector<TcpRow>& rows = lists.table.rows;
    for (int step = 0; step < 500; ++step) {
        const size_t at = rows.empty() ? 0 : random() % rows.size();
        switch (random() % 16) {
        case 0: // a rule change, saved
            for (Side* side : {&lists, &whole}) {
                side->manager.oBlockedRemotePorts.Reset();
                side->manager.oBlockedRemotePorts.AddItem(int32_t(step % 2 ? 8080 : 443));
                side->manager.SaveChanges();
            }
            break;
        case 1: // "Show only connected" clicked
            for (Side* side : {&lists, &whole}) {
                side->form.showConnected = Value(int16_t(step % 2));
                side->manager.RefreshCurrentConnections();
            }
            break;
        case 2: // reports were lost: the table is read afresh
            lists.table.wholeNext = true;
            break;
        case 3:
        case 4:
        case 5: // a connection goes; the last takes its place
            if (!rows.empty()) {
                rows[at] = rows.back();
                rows.pop_back();
            }
            break;
        case 6:
        case 7:
            if (!rows.empty()) {
                rows[at].dwState = any({TcpEstablished, TcpCloseWait, TcpTimeWait});
            }
            break;
        default:
            rows.push_back(newRow());
        }
        whole.table.rows = rows;
        lists.engine.PollConnections();
        whole.engine.PollConnections();
        EXPECT_TRUE(std::is_permutation(lists.table.deletes.begin(), lists.table.deletes.end(),
                                        whole.table.deletes.begin(), whole.table.deletes.end()))
            << step;
        for (Side* side : {&lists, &whole}) {
            side->table.deletes.clear();
            std::sort(side->said.begin(), side->said.end());
            ASSERT_EQ(side->form.rows, side->Lines()) << step; // the list box shows the lines
        }
        EXPECT_EQ(lists.said, whole.said) << step;
        lists.said.clear(), whole.said.clear();
        for (size_t i = 0; i < rows.size(); ++i) {
            const ConnectionCacheEntry &a = lists.engine.Cache().at(i),
                                       &b = whole.engine.Cache().at(i);
            EXPECT_TRUE(a.RowKey == b.RowKey && a.RemoteAddressText == b.RemoteAddressText &&
                        a.AllowedFlag == b.AllowedFlag && a.PassedFlag == b.PassedFlag)
                << step << " " << i;
        }
        // In the view's own order: a line keeps its place, a new one goes to the end.
        std::vector<std::string> a = lists.Lines(), b = whole.Lines();
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        ASSERT_EQ(a, b) << step;
    }
}

} // namespace
} // namespace kt

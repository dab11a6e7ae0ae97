#include "core/Settings.h"

#include "../fakes/Fakes.h"
#include "engine/Engine.h"
#include "manager/Manager.h"

#include <gtest/gtest.h>

namespace kt {
namespace {

using testing::FakeHost;
using testing::FakeTcpTable;
using testing::MemoryStore;

TEST(Settings, FirstStartAllowsLoopbackOnly) {
    MemoryStore store;
    Manager manager(store, nullptr);
    LoadSettings(manager, store);
    EXPECT_EQ(store.reads,
              (std::vector<std::string>{"BlockedLocalPortsString", "BlockedRemotePortsString",
                                        "AllowedIPString"}));
    ASSERT_EQ(manager.oAllowedIP.GetItemCount(), 1);
    EXPECT_EQ(manager.oAllowedIP.GetItem(0), Value("127.0.0.1"));
    EXPECT_EQ(manager.oBlockedLocalPorts.GetItemCount(), 0);
    EXPECT_EQ(manager.oBlockedRemotePorts.GetItemCount(), 0);
}

TEST(Settings, AnEmptiedAllowedListStaysEmpty) {
    MemoryStore store;
    {
        Manager manager(store, nullptr);
        LoadSettings(manager, store);
        manager.oAllowedIP.Reset();
        ASSERT_TRUE(SaveSettings(manager, store));
    }
    Manager next(store, nullptr);
    LoadSettings(next, store);
    EXPECT_EQ(next.oAllowedIP.GetItemCount(), 0);
    EXPECT_TRUE(store.Has("AllowedIPString"));
}

TEST(Settings, SavingWritesAllThreeInOrderAndRoundTrips) {
    MemoryStore store;
    Manager manager(store, nullptr);
    manager.oBlockedLocalPorts.AddItem(int32_t{3389});
    manager.oBlockedRemotePorts.AddItem(int32_t{8080});
    manager.oBlockedRemotePorts.AddItem(int32_t{25});
    manager.oAllowedIP.AddItem("127.0.0.1");
    manager.oAllowedIP.AddItem("10.1.2.3");
    ASSERT_TRUE(SaveSettings(manager, store));
    EXPECT_EQ(store.writes,
              (std::vector<std::string>{"BlockedLocalPortsString", "BlockedRemotePortsString",
                                        "AllowedIPString"}));
    EXPECT_EQ(store.At("BlockedLocalPortsString"), "3389");
    EXPECT_EQ(store.At("BlockedRemotePortsString"), "8080,25");
    EXPECT_EQ(store.At("AllowedIPString"), "127.0.0.1,10.1.2.3");

    Manager fresh(store, nullptr);
    LoadSettings(fresh, store);
    EXPECT_EQ(fresh.SaveListToString(fresh.oBlockedRemotePorts), "8080,25");
    EXPECT_EQ(fresh.SaveListToString(fresh.oAllowedIP), "127.0.0.1,10.1.2.3");
}

TEST(Settings, UntrustedStoredValuesLoadByTheListsOwnRules) {
    MemoryStore store;
    std::string many;
    for (int i = 0; i < 5000; ++i) {
        many += std::to_string(i) + ",";
    }
    store.At("BlockedLocalPortsString") =
        many + "x, 80 ,-5,99999999999,1e3," + std::string("7\0", 2);
    store.At("BlockedRemotePortsString") = std::string(200000, ',') + "443";
    store.At("AllowedIPString") = std::string("10.0.0.1\0,", 10) + std::string(100000, 'a');
    Manager manager(store, nullptr);
    LoadSettings(manager, store);
    const List& local = manager.oBlockedLocalPorts;
    ASSERT_EQ(local.GetItemCount(), 5006);
    EXPECT_EQ(local.GetItem(4999), Value(int32_t{4999}));
    EXPECT_EQ(local.GetItem(5000), Value(int32_t{0}));  // x
    EXPECT_EQ(local.GetItem(5001), Value(int32_t{80})); // blanks around a number
    EXPECT_EQ(local.GetItem(5002), Value(int32_t{-5}));
    EXPECT_EQ(local.GetItem(5003), Value(int32_t{0})); // beyond 32 bits
    EXPECT_EQ(local.GetItem(5004), Value(int32_t{1000}));
    EXPECT_EQ(local.GetItem(5005), Value(int32_t{0})); // NUL inside
    ASSERT_EQ(manager.oBlockedRemotePorts.GetItemCount(), 1);
    EXPECT_EQ(manager.oBlockedRemotePorts.GetItem(0), Value(int32_t{443}));
    ASSERT_EQ(manager.oAllowedIP.GetItemCount(), 2);
    EXPECT_EQ(manager.oAllowedIP.TextAt(1).size(), 100000u);
}

TEST(Settings, SaveChangesWritesAndForgetsJudgedConnectionsEvenWhenTheStoreRefuses) {
    MemoryStore store;
    Manager manager(store, nullptr);
    FakeTcpTable table;
    FakeHost host;
    Engine engine(table, host, manager);
    manager.oConnections = &engine;
    engine.BuildStateNames();
    table.rows.push_back(testing::MakeRow(5, testing::Address(127, 0, 0, 2), 5000,
                                          testing::Address(127, 0, 0, 3), 80));
    engine.PollConnections();
    ASSERT_FALSE(engine.Cache().empty());

    EXPECT_TRUE(manager.SaveChanges());
    EXPECT_EQ(store.writes.size(), 3u);
    EXPECT_TRUE(engine.Cache().empty());

    engine.PollConnections();
    store.refuseWrites = true;
    EXPECT_FALSE(manager.SaveChanges());
    EXPECT_TRUE(engine.Cache().empty());
}

} // namespace
} // namespace kt

#include "core/Settings.h"

#include "../fakes/FakeWindow.h"
#include "../fakes/Fakes.h"
#include "core/Application.h"
#include "engine/Engine.h"
#include "manager/Manager.h"

#include <gtest/gtest.h>

namespace kt {
namespace {

using testing::FakeHost;
using testing::FakeTcpTable;
using testing::FakeWindowFactory;
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

TEST(Settings, UntrustedStoredValuesLoadCleanAndWhatCanNeverMatchIsLeftOut) {
    MemoryStore store;
    std::string many;
    for (int i = 0; i < 5000; ++i) {
        many += std::to_string(i) + ",";
    }
    store.At("BlockedLocalPortsString") =
        many + "x, 80 ,-5,99999999999,1e3,7005abc,\"445\"," + std::string("7\0", 2);
    store.At("BlockedRemotePortsString") = std::string(200000, ',') + "0443";
    store.At("AllowedIPString") =
        std::string("\"127.0.0.1, 127.0.0.05\",10.0.0.1\0,", 34) + std::string(100000, 'a');
    FakeHost host;
    FakeTcpTable table;
    FakeWindowFactory windows;
    Application app(Platform{host, store, table, windows, nullptr});
    ASSERT_TRUE(app.StartUp());
    const Manager& manager = *app.AppManager;
    const List& local = manager.oBlockedLocalPorts;
    ASSERT_EQ(local.GetItemCount(), 5001); // 1 to 4999, 80 and 445
    EXPECT_EQ(local.GetItem(4998), Value(int32_t{4999}));
    EXPECT_EQ(manager.SaveListToString(manager.oBlockedRemotePorts), "443");
    EXPECT_EQ(manager.SaveListToString(manager.oAllowedIP), "127.0.0.1,127.0.0.5");
    // One line each for the two addresses, then 0, x, -5, the two too large, 7005abc and 7<NUL>.
    ASSERT_EQ(host.diagnosed.size(), 9u);
    EXPECT_EQ(host.diagnosed[1], "AllowedIPString: \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
                                 "aaaaaaaaaaaaaaaaaaaa...\" is not an IPv4 address; left out "
                                 "of the rules");
    EXPECT_TRUE(host.messages.empty());
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

#include "manager/Manager.h"

#include "../fakes/Fakes.h"

#include <gtest/gtest.h>

namespace kt {
namespace {

using testing::MemoryStore;
using testing::RecordingForm;

class ManagerTest : public ::testing::Test {
protected:
    ManagerTest()
        : manager(store, [this] {
              ++getIPCalls;
              return localAddresses;
          }) {}

    MemoryStore store;
    std::string localAddresses = "192.168.0.5 10.0.0.7 ";
    int getIPCalls = 0;
    Manager manager;
    RecordingForm form;
};

TEST_F(ManagerTest, StartsWithFiveEmptyListsAndNoView) {
    EXPECT_EQ(manager.oLocalIP.GetListMode(), List::StringMode);
    EXPECT_EQ(manager.oAllowedIP.GetListMode(), List::StringMode);
    EXPECT_EQ(manager.oBlockedLocalPorts.GetListMode(), List::LongMode);
    EXPECT_EQ(manager.oBlockedRemotePorts.GetListMode(), List::LongMode);
    EXPECT_EQ(manager.oCurrentConnections.GetListMode(), List::StringMode);
    for (const List* list : {&manager.oLocalIP, &manager.oAllowedIP, &manager.oBlockedLocalPorts,
                             &manager.oBlockedRemotePorts, &manager.oCurrentConnections}) {
        EXPECT_EQ(list->GetItemCount(), 0);
        EXPECT_EQ(list->GetCapacity(), List::CapacityStep);
    }
    EXPECT_EQ(manager.CurrentMode, 0);
    EXPECT_EQ(manager.CurrentModeDescriptor, "");
    EXPECT_EQ(manager.CurrentList, nullptr);
    EXPECT_EQ(manager.oMainForm, nullptr);
}

TEST_F(ManagerTest, TheListBoxGetsOnlyTheLinesThatChangedAndKeepsTheSelection) {
    const std::vector<std::string> before = {"a", "b", "c", "d"};
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"a", "x", "c", "d"}, "replace 1+1 1"},
        {{"a", "b", "c", "d", "e"}, "replace 4+0 1"},
        {{"b", "c", "d"}, "replace 0+1 0"},
        {{"a", "b", "c", "d"}, ""},
        {{"c"}, "replace 0+4 1"},
    };
    manager.oMainForm = &form;
    for (const auto& [after, call] : cases) {
        manager.SetCurrentMode(Manager::AllowedIPMode);
        manager.oAllowedIP.Reset();
        for (const std::string& line : before) {
            manager.oAllowedIP.AddItem(line);
        }
        manager.LoadInListbox();
        form.Select("c");
        form.calls.clear();
        manager.oAllowedIP.Reset();
        for (const std::string& line : after) {
            manager.oAllowedIP.AddItem(line);
        }
        manager.LoadInListbox();
        EXPECT_EQ(form.rows, after);
        EXPECT_EQ(form.calls,
                  call.empty() ? std::vector<std::string>{} : std::vector<std::string>{call});
        const auto c = std::find(form.rows.begin(), form.rows.end(), "c");
        EXPECT_TRUE(c != form.rows.end() && form.selected[size_t(c - form.rows.begin())]) << call;
    }
    // Another list keeps nothing of the last one's selection, even on a line of the same text.
    manager.oAllowedIP.AddItem("80");
    manager.LoadInListbox();
    form.Select("80");
    manager.oBlockedLocalPorts.AddItem(int32_t{80});
    manager.SetCurrentMode(Manager::BlockedLocalPortsMode);
    EXPECT_EQ(form.rows, std::vector<std::string>{"80"});
    EXPECT_FALSE(form.ListRowSelected(0));
}

TEST_F(ManagerTest, EachModeShowsItsListHeadingAndEditingControls) {
    manager.oMainForm = &form;
    manager.oBlockedLocalPorts.AddItem(int32_t{80});
    manager.oBlockedLocalPorts.AddItem(int32_t{8080});
    manager.oBlockedRemotePorts.AddItem(int32_t{-3});
    manager.oAllowedIP.AddItem("127.0.0.1");
    manager.oCurrentConnections.AddItem("135 LISTENING");

    ASSERT_TRUE(manager.SetCurrentMode(3));
    EXPECT_EQ(form.rows, (std::vector<std::string>{"80", "8080"}));
    EXPECT_EQ(form.head, "Blocked Local Ports");
    EXPECT_EQ(manager.CurrentList, &manager.oBlockedLocalPorts);
    EXPECT_TRUE(form.deleteMenuEnabled && form.itemBoxEnabled && form.addButtonEnabled);
    // Controls in their order, then the heading.
    EXPECT_EQ(form.calls, (std::vector<std::string>{"clear", "replace 0+0 2", "mnuDelete",
                                                    "txtItem", "cmdAdd", "head"}));

    ASSERT_TRUE(manager.SetCurrentMode(4));
    EXPECT_EQ(form.rows, (std::vector<std::string>{"-3"}));
    EXPECT_EQ(form.head, "Blocked Remote Ports");

    ASSERT_TRUE(manager.SetCurrentMode(2));
    EXPECT_EQ(form.rows, (std::vector<std::string>{"127.0.0.1"}));
    EXPECT_EQ(form.head, "Allowed IP Addresses");

    ASSERT_TRUE(manager.SetCurrentMode(0));
    EXPECT_EQ(form.rows, (std::vector<std::string>{"135 LISTENING"}));
    EXPECT_EQ(form.head, "Current Connections");
    EXPECT_FALSE(form.deleteMenuEnabled || form.itemBoxEnabled || form.addButtonEnabled);

    ASSERT_TRUE(manager.SetCurrentMode(1));
    EXPECT_EQ(form.rows, (std::vector<std::string>{"192.168.0.5", "10.0.0.7"}));
    EXPECT_EQ(form.head, "Local IP Addresses");
    EXPECT_FALSE(form.deleteMenuEnabled || form.itemBoxEnabled || form.addButtonEnabled);
}

TEST_F(ManagerTest, LocalAddressesAreReadAgainEachTimeTheirModeIsShown) {
    manager.oMainForm = &form;
    manager.SetCurrentMode(1);
    localAddresses = "172.16.0.9 ";
    manager.RefreshCurrentMode();
    EXPECT_EQ(getIPCalls, 2);
    EXPECT_EQ(form.rows, (std::vector<std::string>{"172.16.0.9"}));
    localAddresses = "";
    manager.SetCurrentMode(1);
    EXPECT_TRUE(form.rows.empty());
}

TEST_F(ManagerTest, UnknownModeKeepsDescriptorAndListButEnablesEditing) {
    manager.oMainForm = &form;
    manager.oAllowedIP.AddItem("10.0.0.1");
    manager.SetCurrentMode(0);
    manager.SetCurrentMode(2);
    ASSERT_TRUE(manager.SetCurrentMode(7));
    EXPECT_EQ(manager.CurrentMode, 7);
    EXPECT_EQ(manager.CurrentModeDescriptor, "Allowed IP Addresses");
    EXPECT_EQ(manager.CurrentList, &manager.oAllowedIP);
    EXPECT_EQ(form.rows, (std::vector<std::string>{"10.0.0.1"}));
    EXPECT_TRUE(form.deleteMenuEnabled && form.itemBoxEnabled && form.addButtonEnabled);
    ASSERT_TRUE(manager.SetCurrentMode(-1));
    EXPECT_TRUE(form.addButtonEnabled);
}

TEST_F(ManagerTest, UnknownModeAsTheFirstModeShowsNothing) {
    manager.oMainForm = &form;
    ASSERT_TRUE(manager.SetCurrentMode(9));
    EXPECT_EQ(manager.CurrentList, nullptr);
    EXPECT_TRUE(form.rows.empty());
    EXPECT_EQ(form.head, "");
}

TEST_F(ManagerTest, RefreshBeforeAnyModeAppliesModeZero) {
    manager.oMainForm = &form;
    ASSERT_TRUE(manager.RefreshCurrentMode());
    EXPECT_EQ(manager.CurrentList, &manager.oCurrentConnections);
    EXPECT_EQ(form.head, "Current Connections");
}

TEST_F(ManagerTest, WithoutAWindowModesStopAtTheControls) {
    manager.oAllowedIP.AddItem("127.0.0.1");
    EXPECT_FALSE(manager.SetCurrentMode(2));
    EXPECT_EQ(manager.CurrentMode, 2);
    EXPECT_EQ(manager.CurrentList, &manager.oAllowedIP);
    EXPECT_FALSE(manager.RefreshCurrentMode());
    manager.LoadInListbox();
    EXPECT_FALSE(manager.SetMenus());
    EXPECT_FALSE(manager.SetCaptions());
    manager.oMainForm = &form;
    EXPECT_TRUE(manager.RefreshCurrentMode());
    EXPECT_EQ(form.rows, (std::vector<std::string>{"127.0.0.1"}));
}

TEST_F(ManagerTest, EmptyListLeavesNoRows) {
    manager.oMainForm = &form;
    form.AppendListRow("stale");
    manager.SetCurrentMode(4);
    EXPECT_TRUE(form.rows.empty());
}

TEST_F(ManagerTest, TextFormLoadsSkippingEmptyPieces) {
    List& ports = manager.oBlockedLocalPorts;
    manager.LoadListFromString(ports, "80,,8080");
    ASSERT_EQ(ports.GetItemCount(), 2);
    EXPECT_EQ(ports.GetItem(0), Value(int32_t{80}));
    EXPECT_EQ(ports.GetItem(1), Value(int32_t{8080}));
    manager.LoadListFromString(ports, ",");
    EXPECT_EQ(ports.GetItemCount(), 0);
    manager.LoadListFromString(ports, "");
    EXPECT_EQ(ports.GetItemCount(), 0);
    manager.LoadListFromString(ports, "80,abc");
    ASSERT_EQ(ports.GetItemCount(), 2);
    EXPECT_EQ(ports.GetItem(1), Value(int32_t{0}));

    List& allowed = manager.oAllowedIP;
    manager.LoadListFromString(allowed, "127.0.0.1");
    ASSERT_EQ(allowed.GetItemCount(), 1);
    EXPECT_EQ(allowed.GetItem(0), Value("127.0.0.1"));
    manager.LoadListFromString(allowed, "10.0.0.1, 10.0.0.2");
    ASSERT_EQ(allowed.GetItemCount(), 2);
    EXPECT_EQ(allowed.GetItem(1), Value(" 10.0.0.2"));
}

TEST_F(ManagerTest, TextFormSavesJoinedByCommasAndRoundTrips) {
    EXPECT_EQ(manager.SaveListToString(manager.oBlockedLocalPorts), "");
    manager.oBlockedLocalPorts.AddItem(int32_t{80});
    manager.oBlockedLocalPorts.AddItem(int32_t{8080});
    manager.oBlockedLocalPorts.AddItem(int32_t{-1});
    EXPECT_EQ(manager.SaveListToString(manager.oBlockedLocalPorts), "80,8080,-1");
    manager.oAllowedIP.AddItem("127.0.0.1");
    manager.oAllowedIP.AddItem("10.0.0.2");
    EXPECT_EQ(manager.SaveListToString(manager.oAllowedIP), "127.0.0.1,10.0.0.2");

    List copy;
    copy.InitLongList();
    manager.LoadListFromString(copy, manager.SaveListToString(manager.oBlockedLocalPorts));
    ASSERT_EQ(copy.GetItemCount(), 3);
    for (int32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(copy.GetItem(i), manager.oBlockedLocalPorts.GetItem(i));
    }
}

TEST_F(ManagerTest, LocalAddressesSplitAtSpaces) {
    localAddresses = "192.168.0.10 10.0.0.5 ";
    manager.RefreshLocalIPList();
    ASSERT_EQ(manager.oLocalIP.GetItemCount(), 2);
    EXPECT_EQ(manager.oLocalIP.GetItem(0), Value("192.168.0.10"));
    EXPECT_EQ(manager.oLocalIP.GetItem(1), Value("10.0.0.5"));
    localAddresses = "  1.2.3.4  ";
    manager.RefreshLocalIPList();
    ASSERT_EQ(manager.oLocalIP.GetItemCount(), 1);
    EXPECT_EQ(manager.oLocalIP.GetItem(0), Value("1.2.3.4"));
}

TEST_F(ManagerTest, LocalAddressesJoinTheAllowedListOnce) {
    manager.oLocalIP.AddItem("192.168.0.5");
    manager.oLocalIP.AddItem("10.0.0.7");
    manager.oLocalIP.AddItem("192.168.0.5");
    manager.oAllowedIP.AddItem("127.0.0.1");
    manager.oAllowedIP.AddItem("10.0.0.7");
    manager.AddLocalIPSToAllowed();
    ASSERT_EQ(manager.oAllowedIP.GetItemCount(), 3);
    EXPECT_EQ(manager.oAllowedIP.GetItem(2), Value("192.168.0.5"));
    EXPECT_TRUE(store.writes.empty()); // nothing saved here

    manager.oLocalIP.Reset();
    manager.AddLocalIPSToAllowed();
    EXPECT_EQ(manager.oAllowedIP.GetItemCount(), 3);
}

} // namespace
} // namespace kt

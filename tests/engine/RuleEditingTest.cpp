#include "engine/RuleEditing.h"

#include "../fakes/Fakes.h"
#include "manager/Manager.h"

#include <gtest/gtest.h>

namespace kt {
namespace {

using testing::FakeHost;
using testing::MemoryStore;
using testing::RecordingForm;

class RuleEditingTest : public ::testing::Test {
protected:
    RuleEditingTest() : manager(store, [] { return std::string("192.168.0.5 "); }) {
        manager.oMainForm = &form;
    }

    MemoryStore store;
    FakeHost host;
    RecordingForm form;
    Manager manager;
};

TEST_F(RuleEditingTest, AddressIsTrimmedValidatedAddedAndSaved) {
    manager.SetCurrentMode(Manager::AllowedIPMode);
    AddRuleEntry(manager, host, "  10.0.0.1  ");
    AddRuleEntry(manager, host, "010.000.0.01"); // the same address: stored as the table writes it
    EXPECT_TRUE(host.messages.empty());
    ASSERT_EQ(manager.oAllowedIP.GetItemCount(), 1);
    EXPECT_EQ(manager.oAllowedIP.GetItem(0), Value("10.0.0.1"));
    EXPECT_EQ(store.At("AllowedIPString"), "10.0.0.1");
    EXPECT_EQ(form.rows, (std::vector<std::string>{"10.0.0.1"}));

    AddRuleEntry(manager, host, "10.0.0");
    ASSERT_EQ(host.messages, (std::vector<std::string>{"This is not a valid ip address."}));
    EXPECT_EQ(host.messageButtons.at(0), MessageButtons::Ok);
    EXPECT_EQ(manager.oAllowedIP.GetItemCount(), 1);

    AddRuleEntry(manager, host, " 2001:DB8:0:0::0001 ");
    AddRuleEntry(manager, host, "::ffff:10.0.0.1"); // 10.0.0.1 again
    AddRuleEntry(manager, host, "fe80::1%eth0");
    EXPECT_EQ(store.At("AllowedIPString"), "10.0.0.1,2001:db8::1");
    EXPECT_EQ(host.messages.size(), 2u);
}

TEST_F(RuleEditingTest, PortsAreValidatedAndAddedOnceButAlwaysSaved) {
    manager.SetCurrentMode(Manager::BlockedRemotePortsMode);
    AddRuleEntry(manager, host, "0");
    AddRuleEntry(manager, host, "70000");
    AddRuleEntry(manager, host, "http");
    EXPECT_EQ(host.messages, std::vector<std::string>(3, "This is not a valid port number."));
    EXPECT_TRUE(store.writes.empty());

    AddRuleEntry(manager, host, "8080");
    EXPECT_EQ(store.writes.size(), 3u);
    EXPECT_EQ(store.At("BlockedRemotePortsString"), "8080");
    AddRuleEntry(manager, host, " 8080");
    EXPECT_EQ(manager.oBlockedRemotePorts.GetItemCount(), 1);
    EXPECT_EQ(store.writes.size(), 6u); // saved again although nothing changed
    EXPECT_EQ(form.rows, (std::vector<std::string>{"8080"}));
    EXPECT_EQ(host.messages.size(), 3u);

    manager.SetCurrentMode(Manager::BlockedLocalPortsMode);
    AddRuleEntry(manager, host, "80.4");
    ASSERT_EQ(manager.oBlockedLocalPorts.GetItemCount(), 1);
    EXPECT_EQ(manager.oBlockedLocalPorts.GetItem(0), Value(int32_t{80}));
    EXPECT_EQ(store.At("BlockedLocalPortsString"), "80");
}

TEST_F(RuleEditingTest, AddressesCompareWithoutCaseWhenAdding) {
    manager.oAllowedIP.AddItem("10.0.0.1");
    manager.SetCurrentMode(Manager::AllowedIPMode);
    AddRuleEntry(manager, host, "10.0.0.1");
    EXPECT_EQ(manager.oAllowedIP.GetItemCount(), 1);
}

TEST_F(RuleEditingTest, NothingCanBeAddedToTheReadOnlyViewsOrFromBlanks) {
    for (int16_t mode : {int16_t{0}, int16_t{1}, int16_t{7}}) {
        manager.SetCurrentMode(mode);
        AddRuleEntry(manager, host, "8080");
        AddRuleEntry(manager, host, "not valid anywhere");
    }
    manager.SetCurrentMode(Manager::BlockedLocalPortsMode);
    AddRuleEntry(manager, host, "   ");
    AddRuleEntry(manager, host, "");
    EXPECT_TRUE(host.messages.empty());
    EXPECT_TRUE(store.writes.empty());
    EXPECT_EQ(manager.oCurrentConnections.GetItemCount(), 0);
    EXPECT_EQ(manager.oLocalIP.GetItemCount(), 1);
    EXPECT_EQ(manager.oBlockedLocalPorts.GetItemCount(), 0);
}

TEST_F(RuleEditingTest, DeleteRemovesTheSelectedRuleAndSaves) {
    manager.oBlockedLocalPorts.AddItem(int32_t{80});
    manager.oBlockedLocalPorts.AddItem(int32_t{443});
    manager.SetCurrentMode(Manager::BlockedLocalPortsMode);
    form.Select("443");
    DeleteSelectedEntry(manager);
    EXPECT_EQ(store.At("BlockedLocalPortsString"), "80");
    EXPECT_EQ(form.rows, (std::vector<std::string>{"80"}));
    EXPECT_EQ(manager.oBlockedLocalPorts.GetItemCount(), 1);
}

TEST_F(RuleEditingTest, DeleteTakesTheLastSelectedRowAndIgnoresCase) {
    manager.oAllowedIP.AddItem("Host-A");
    manager.oAllowedIP.AddItem("10.0.0.1");
    manager.oAllowedIP.AddItem("10.0.0.2");
    manager.SetCurrentMode(Manager::AllowedIPMode);
    form.selected = {true, false, true};
    form.rows[0] = "HOST-A";
    DeleteSelectedEntry(manager);
    EXPECT_EQ(store.At("AllowedIPString"), "Host-A,10.0.0.1");
    form.Select("HOST-A");
    form.selected[0] = true;
    form.rows[0] = "host-a";
    DeleteSelectedEntry(manager);
    EXPECT_EQ(store.At("AllowedIPString"), "10.0.0.1");
}

TEST_F(RuleEditingTest, DeleteWithoutSelectionListOrWindowDoesNothing) {
    manager.oBlockedLocalPorts.AddItem(int32_t{80});
    manager.SetCurrentMode(Manager::BlockedLocalPortsMode);
    DeleteSelectedEntry(manager); // nothing selected
    form.rows = {""};
    form.selected = {true};
    DeleteSelectedEntry(manager); // selected line is empty
    manager.SetCurrentMode(Manager::BlockedRemotePortsMode);
    form.Select("80");
    DeleteSelectedEntry(manager); // empty list
    manager.oMainForm = nullptr;
    manager.SetCurrentMode(Manager::BlockedLocalPortsMode);
    DeleteSelectedEntry(manager); // no window
    EXPECT_TRUE(store.writes.empty());
    EXPECT_EQ(manager.oBlockedLocalPorts.GetItemCount(), 1);
}

TEST_F(RuleEditingTest, DeleteOfALineNotInTheListStillSaves) {
    manager.oBlockedLocalPorts.AddItem(int32_t{80});
    manager.SetCurrentMode(Manager::BlockedLocalPortsMode);
    form.rows = {"81"};
    form.selected = {true};
    DeleteSelectedEntry(manager);
    EXPECT_EQ(manager.oBlockedLocalPorts.GetItemCount(), 1);
    EXPECT_EQ(store.writes.size(), 3u);
}

} // namespace
} // namespace kt

#include "core/Application.h"

#include "../fakes/FakeWindow.h"
#include "engine/Engine.h"
#include "manager/Manager.h"

#include <gtest/gtest.h>

namespace kt {
namespace {

using namespace kt::testing;

class ApplicationTest : public ::testing::Test {
protected:
    ApplicationTest()
        : app(Platform{host, store, table, windows, [this] {
                           ++getIPCalls;
                           return std::string("192.168.0.5 ");
                       }}) {}

    // Closes the window on the given loop cycle (counted by message passes).
    void CloseOnPass(int pass) {
        host.onDoEvents = [this, pass] {
            if (host.doEventsCount == pass && windows.form != nullptr) {
                windows.form->OnQueryUnload();
            }
        };
    }

    FakeHost host;
    MemoryStore store;
    FakeTcpTable table;
    FakeWindowFactory windows;
    int getIPCalls = 0;
    Application app;
};

TEST_F(ApplicationTest, ASecondInstanceEndsAtOnceAndSilently) {
    host.previousInstance = true;
    app.Main();
    EXPECT_EQ(windows.loads, 0);
    EXPECT_TRUE(store.reads.empty());
    EXPECT_TRUE(store.writes.empty());
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(table.snapshots, 0);
    EXPECT_EQ(app.AppManager, nullptr);
}

TEST_F(ApplicationTest, StartsShowingCurrentConnectionsThenRunsUntilClosed) {
    store.At("BlockedRemotePortsString") = "8080";
    table.rows = {
        MakeRow(TcpEstablished, Address(127, 0, 0, 2), 5000, Address(127, 0, 0, 3), 8080)};
    int passesBeforeClose = 0;
    host.onDoEvents = [&] {
        FakeWindow* w = windows.window;
        if (host.doEventsCount == 1) {
            // The load handler's pass: caption set, tray icon not yet added, no mode yet.
            EXPECT_EQ(w->caption, "Korvan Tessivo v1.0 Build 15 \u2014 guarding (polling)");
            EXPECT_EQ(w->controls.head, "Choose...");
        }
        if (host.doEventsCount == 6) {
            passesBeforeClose = host.doEventsCount;
            windows.form->OnQueryUnload();
        }
    };
    app.Main();
    FakeWindow* w = windows.window;
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->buttonsInitialised, 1);
    EXPECT_EQ(w->tip.substr(0, 14), "Korvan Tessivo");
    EXPECT_EQ(w->controls.head, "Current Connections");
    EXPECT_FALSE(w->controls.addButtonEnabled || w->controls.itemBoxEnabled ||
                 w->controls.deleteMenuEnabled);
    EXPECT_EQ(getIPCalls, 1);
    // The blocked connection was cut on the first tick; each cut pumps messages once.
    ASSERT_FALSE(table.deletes.empty());
    EXPECT_EQ(passesBeforeClose, 6);
    // Settings written once, by the close, and the tray icon removed.
    EXPECT_EQ(store.writes.size(), 3u);
    EXPECT_FALSE(w->trayIcon);
    EXPECT_TRUE(host.ended);
    EXPECT_EQ(app.AppManager, nullptr);
    // Every cycle: tick, 1 ms sleep, message pass; none after the cycle that saw the flag.
    EXPECT_EQ(host.slept, std::vector<int32_t>(host.slept.size(), 1));
    EXPECT_EQ(host.doEventsCount, 6);
}

TEST_F(ApplicationTest, TheLoopRunsAtLeastOnceAndStopsAfterTheCycleThatClosed) {
    CloseOnPass(2); // the first loop cycle's pass (pass 1 is start-up's)
    app.Main();
    EXPECT_EQ(table.snapshots, 1);
    EXPECT_EQ(host.slept.size(), 1u);
}

TEST_F(ApplicationTest, TheApplicationFolderEndsInExactlyOneSeparator) {
    CloseOnPass(2);
    host.folder = "C:\\Tools\\Korvan";
    app.Main();
    EXPECT_EQ(app.AppPath, "C:\\Tools\\Korvan\\");
}

TEST_F(ApplicationTest, ADriveRootKeepsItsOneSeparator) {
    CloseOnPass(2);
    host.folder = "D:\\";
    app.Main();
    EXPECT_EQ(app.AppPath, "D:\\");
}

TEST_F(ApplicationTest, SettingsAreLoadedBeforeTheWindowAndTheFirstTick) {
    store.At("AllowedIPString") = "";
    windows.prepare = [this](FakeWindow&) {
        EXPECT_EQ(store.reads.size(), 3u);
        EXPECT_EQ(table.snapshots, 0);
    };
    CloseOnPass(2);
    app.Main();
    EXPECT_EQ(windows.loads, 1);
}

TEST_F(ApplicationTest, GuardingGoesOnWhileAMessageBoxIsOpenButNeverNestsATick) {
    store.At("BlockedRemotePortsString") = "8080";
    ASSERT_TRUE(app.StartUp());
    const TcpRow blocked =
        MakeRow(TcpEstablished, Address(127, 0, 0, 2), 5000, Address(127, 0, 0, 3), 8080);
    table.rows = {blocked};
    host.modalTicks = 3;
    windows.form->OnClick(ControlId::cmdAddLocal); // the question stays open for three ticks
    EXPECT_EQ(table.deletes.size(), 1u);
    EXPECT_TRUE(table.rows.empty());

    // A box opened from the message pass inside a tick does not start another tick.
    table.rows = {blocked};
    table.refuseDeletes = true;
    host.onDoEvents = [&] { windows.form->OnClick(ControlId::cmdAddLocal); };
    table.deletes.clear();
    app.Tick();
    EXPECT_EQ(table.deletes.size(), 1u);
}

TEST_F(ApplicationTest, AFailedSaveIsToldOnceAfterTheTickAndOnTheWayOutOnlyOnStandardError) {
    const std::string full =
        "The rules could not be saved: the disk is full. They stay in effect until the program "
        "ends.";
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"", {full}},
        {"its folder belongs to another user",
         {"The rules file cannot be used: its folder belongs to another user. Korvan Tessivo "
          "runs on the default rules and will not save them."}},
    };
    for (const auto& [refusal, told] : cases) {
        FakeHost host;
        MemoryStore store;
        store.refusal = refusal;
        store.refuseWrites = true;
        Application app(Platform{host, store, table, windows, nullptr});
        ASSERT_TRUE(app.StartUp());
        app.AppManager->SaveChanges(); // as an added rule would, inside some handler
        app.AppManager->SaveChanges();
        EXPECT_TRUE(host.messages.empty());
        host.onDoEvents = [&] { windows.form->OnQueryUnload(); };
        app.MainLoop();
        EXPECT_EQ(host.messages, told);
        EXPECT_TRUE(host.diagnosed.empty()); // the close's own failed save: already told
    }
    // Closed without an earlier failure: the one failure goes to standard error.
    FakeHost host;
    MemoryStore store;
    Application app(Platform{host, store, table, windows, nullptr});
    ASSERT_TRUE(app.StartUp());
    store.refuseWrites = true;
    windows.form->OnQueryUnload();
    app.Shutdown();
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(host.diagnosed, std::vector<std::string>{full});
}

TEST_F(ApplicationTest, TheGuardGetsEveryRuleChangeAndTheLoopPollsOnceItFails) {
    for (const bool refuseRules : {true, false}) {
        FakeHost host;
        MemoryStore store;
        store.At("BlockedLocalPortsString") = "445";
        FakeGuard guard;
        Platform platform{host, store, table, windows, [] { return std::string("10.0.0.7 "); }};
        platform.Guard = &guard;
        Application app(platform);
        ASSERT_TRUE(app.StartUp());
        ASSERT_EQ(guard.rules.size(), 1u); // the loaded rules, before the first tick
        EXPECT_EQ(guard.rules[0].blockedLocalPorts, std::vector<uint16_t>{445});
        host.modalTicks = 0;
        windows.form->OnClick(ControlId::cmdAddLocal);
        EXPECT_EQ(guard.rules.back().allowedAddresses.size(), 2u);
        EXPECT_FALSE(guard.stopped);
        guard.refuse = refuseRules; // refused at once, or unsound after one cycle
        app.AppManager->SaveChanges();
        int cycles = 0;
        host.onDoEvents = [&] {
            guard.sound = false;
            app.QuitRequested = ++cycles == 2;
        };
        app.MainLoop(); // waits for work while the guard is sound, polls once it is not
        EXPECT_TRUE(guard.stopped);
        EXPECT_EQ(host.diagnosed.size(), 1u);
        EXPECT_EQ(host.waited.size(), refuseRules ? 0u : 1u);
        EXPECT_EQ(host.slept.size(), refuseRules ? 2u : 1u);
    }
}

// A rule set the guard could not take leaves the guard in force with the set it had: told, once
// each, and nothing polls.
TEST_F(ApplicationTest, ARuleSetTheGuardCannotTakeIsToldAndTheGuardStays) {
    FakeHost host;
    MemoryStore store;
    FakeGuard guard;
    Platform platform{host, store, table, windows, [] { return std::string("10.0.0.7 "); }};
    platform.Guard = &guard;
    Application app(platform);
    ASSERT_TRUE(app.StartUp());
    guard.refusals = {"Cannot allocate memory", "Argument list too long"};
    int cycles = 0;
    host.onDoEvents = [&] { app.QuitRequested = ++cycles == 2; };
    app.MainLoop();
    EXPECT_FALSE(guard.stopped);
    EXPECT_EQ(host.diagnosed,
              (std::vector<std::string>{
                  "the kernel guard could not take the new rules (Cannot allocate memory); the "
                  "rules in force before stay in force there",
                  "the kernel guard could not take the new rules (Argument list too long); the "
                  "rules in force before stay in force there"}));
    EXPECT_EQ(host.waited.size(), 2u);
    EXPECT_TRUE(host.slept.empty());
}

// A window that guards by its own rules becomes the face of a service that answers: its guard
// stops at once, its edits go to the service, and it says so once, in a box or, hidden, in a tray
// notice.
TEST_F(ApplicationTest, AWindowJoiningTheServiceStopsItsOwnGuardAndSaysSoOnce) {
    for (const bool hidden : {false, true}) {
        FakeHost host;
        MemoryStore store;
        FakeWindowFactory factory;
        FakeGuard guard;
        Platform platform{host, store, table, factory, [] { return std::string("10.0.0.7 "); }};
        platform.Guard = &guard;
        Application app(platform);
        ASSERT_TRUE(app.StartUp());
        ASSERT_EQ(app.Mode(), GuardMode::KernelGuard);
        factory.window->visible = !hidden;
        int edits = 0;
        app.JoinService([&] { ++edits; }, "/run/kt/control");
        app.JoinService([&] { edits += 100; }, "/run/kt/control"); // a face already
        EXPECT_TRUE(guard.stopped);
        EXPECT_TRUE(app.IsFace());
        EXPECT_EQ(app.Mode(), GuardMode::Service);
        const std::string said = "This window is now the face of the service at /run/kt/control, "
                                 "which guards this machine by its own rules; this window's own "
                                 "guard stopped.";
        app.ShowToldMessages();
        EXPECT_EQ(host.messages, hidden ? std::vector<std::string>{} : std::vector{said});
        EXPECT_EQ(factory.window->notices, hidden ? std::vector{said} : std::vector<std::string>{});
        app.AppManager->oBlockedLocalPorts.AddItem(int32_t{8080});
        app.AppManager->OnRulesChanged();
        EXPECT_EQ(edits, 1);
        EXPECT_EQ(guard.rules.size(), 1u); // the guard heard of nothing after it stopped
    }
}

// Edits from elsewhere than the window (a client of the service) reach the guard as edits and
// the window's lists as they are; a reload of the file hands over the whole set.
TEST_F(ApplicationTest, OthersEditsReachTheGuardAsEditsAndAReloadAsAWholeSet) {
    FakeHost host;
    MemoryStore store;
    store.At("BlockedLocalPortsString") = "21,21"; // the window shows both
    FakeGuard guard;
    Platform platform{host, store, table, windows, [] { return std::string(); }};
    platform.Guard = &guard;
    Application app(platform);
    ASSERT_TRUE(app.StartUp());
    const std::vector<RuleEdit> batch = {{RuleListId::BlockedLocalPorts, false, "21"},
                                         {RuleListId::BlockedLocalPorts, true, "445"},
                                         {RuleListId::Allowed, false, "127.0.0.1"},
                                         {RuleListId::Allowed, false, "10.0.0.9"}};
    app.Rules().Apply(batch, RuleOrigin::Client);
    app.Rules().Apply(batch, RuleOrigin::Client); // changes nothing: nothing to hand over
    ASSERT_EQ(guard.edits.size(), 1u);
    EXPECT_EQ(guard.edits[0].size(), 3u);
    EXPECT_EQ(guard.rules.size(), 1u); // the set loaded at start
    app.AppManager->SetCurrentMode(Manager::BlockedLocalPortsMode);
    ASSERT_EQ(windows.window->ListRowCount(), 1);
    EXPECT_EQ(windows.window->ListRowText(0), "445");
    EXPECT_EQ(app.AppManager->oAllowedIP.GetItemCount(), 0);

    store.At("AllowedIPString") = "10.0.0.9";
    store.At("BlockedLocalPortsString") = "";
    store.At("BlockedRemotePortsString") = "";
    std::string why;
    EXPECT_EQ(app.ReloadRules(why), Application::Reload::Applied) << why;
    ASSERT_EQ(guard.rules.size(), 2u);
    EXPECT_EQ(guard.rules[1].allowedAddresses.size(), 1u);
    EXPECT_TRUE(guard.rules[1].blockedLocalPorts.empty());
    EXPECT_TRUE(store.writes.empty()); // saving is the asker's to do
    EXPECT_EQ(app.AppManager->oBlockedLocalPorts.GetItemCount(), 0);
}

TEST_F(ApplicationTest, ARefusedCutIsToldOnceARunAndLoggedOnceForEachConnection) {
    const std::string accepted =
        "the connection was still there after the system accepted its deletion";
    struct Case {
        std::string refusal; // empty: not refused for want of rights
        bool pretend;        // accepted, and the connection stays
        std::string missingAtStart;
        bool headless;
        std::vector<std::string> told;
        bool refusedRecords;
        bool reconnect = false; // from the same ports, right after each cut
    };
    const Case cases[] = {
        {"Operation not permitted",
         false,
         "",
         false,
         {"Connections cannot be cut (Operation not permitted)."},
         true},
        {"", true, "", false, {"Connections cannot be cut (" + accepted + ")."}, true},
        {"", false, "", false, {}, false},
        {"Operation not permitted",
         false,
         "no CAP_NET_ADMIN",
         false,
         {"Connections cannot be cut (no CAP_NET_ADMIN)."},
         true},
        {"Operation not permitted",
         false,
         "",
         true,
         {"rules: 1 allowed address, 1 blocked local port, 0 blocked remote ports; guard: polling "
          "the connection table",
          "Connections cannot be cut (Operation not permitted)."},
         true},
        // Every cut worked: the connection that took the ports is another socket.
        {"", false, "", false, {}, false, true},
    };
    for (const Case& c : cases) {
        FakeHost host;
        MemoryStore store;
        store.At("BlockedLocalPortsString") = "21001";
        FakeTcpTable table;
        table.rows = {
            MakeRow(TcpEstablished, Address(127, 0, 0, 2), 21001, Address(127, 0, 0, 3), 40000),
            MakeRow(TcpEstablished, Address(127, 0, 0, 2), 21001, Address(127, 0, 0, 3), 40001)};
        table.refuseDeletes = !c.refusal.empty();
        table.refusal = c.refusal;
        table.pretendDeletes = c.pretend;
        table.reconnect = c.reconnect;
        table.rows[0].cookie = 1;
        table.rows[1].cookie = 2;
        std::vector<CutRecord> records;
        Platform platform{host, store, table, windows, nullptr};
        platform.RecordCut = [&records](const CutRecord& record) { records.push_back(record); };
        platform.MissingRights = [&c] { return c.missingAtStart; };
        platform.Headless = c.headless;
        Application app(platform);
        ASSERT_TRUE(app.StartUp());
        for (int tick = 0; tick < 2 * Engine::kStillListedTicks; ++tick) {
            app.Tick();
            app.ShowToldMessages();
        }
        EXPECT_EQ(c.headless ? host.diagnosed : host.messages, c.told) << c.refusal;
        if (c.reconnect) { // a line for each connection, cut on each tick
            EXPECT_GE(records.size(), 4u);
            records.resize(2);
        }
        ASSERT_EQ(records.size(), 2u) << "one line for each connection, however many ticks";
        for (const CutRecord& record : records) {
            EXPECT_EQ(record.Refused, c.refusedRecords);
            EXPECT_EQ(record.Matched, CutRecord::Rule::BlockedLocalPort);
            EXPECT_EQ(record.LocalPort, 21001);
        }
        EXPECT_EQ(records[1].RemotePort, 40001);
    }
}

// A window that cannot cut looks at the table only while it is shown: often for a spell after it
// saw a change or the user acted, then about once a second; hidden, never.
TEST_F(ApplicationTest, AViewOnlyWindowLooksAsOftenAsItShows) {
    using std::chrono::milliseconds;
    auto now = std::chrono::steady_clock::time_point{};
    table.rows = {MakeRow(TcpListening, 0, 135, 0, 0)};
    Platform platform{host, store, table, windows, [] { return std::string("10.0.0.7 "); }};
    platform.Clock = [&now] { return now; };
    platform.MissingRights = [] { return std::string("no CAP_NET_ADMIN"); };
    Application app(platform);
    ASSERT_TRUE(app.StartUp());
    ASSERT_EQ(app.Mode(), GuardMode::ViewOnly);
    FakeWindow& window = *windows.window;
    // The loop runs for a while; each wait lets that much time pass. Polls counted by snapshots.
    const auto run = [&](milliseconds length) {
        const auto until = now + length;
        const int before = table.snapshots;
        size_t seen = host.waited.size();
        host.onDoEvents = [&] {
            if (host.waited.size() != seen) {
                seen = host.waited.size();
                now += milliseconds(std::max(host.waited.back(), 1));
                app.QuitRequested = now >= until;
            }
        };
        app.QuitRequested = false;
        app.MainLoop();
        host.onDoEvents = {};
        return table.snapshots - before;
    };
    window.Hide();
    EXPECT_EQ(run(milliseconds(20000)), 0);
    EXPECT_GE(host.waited.size(), 10u); // a wait for window events, no busy loop

    windows.form->OnShowRequested();
    EXPECT_GE(run(milliseconds(1000)), 10); // the view's rate after the user acted
    run(milliseconds(5000));
    EXPECT_LE(run(milliseconds(5000)), 6); // still: about once a second

    table.rows.push_back(
        MakeRow(TcpEstablished, Address(10, 0, 0, 1), 1025, Address(10, 0, 0, 9), 80));
    run(milliseconds(1000));
    EXPECT_EQ(window.controls.rows.size(), 2u) << "a new connection shows within a second";
    EXPECT_GE(run(milliseconds(1000)), 10); // and the view's rate is back for a while
}

} // namespace
} // namespace kt

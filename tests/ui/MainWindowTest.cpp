#include "ui/MainWindow.h"

#include "../fakes/FakeWindow.h"
#include "engine/Engine.h"
#include "manager/Manager.h"
#include "ui/Website.h"

#include <functional>
#include <gtest/gtest.h>
#include <utility>

namespace kt {
namespace {

using namespace kt::testing;

TEST(MainWindowText, CaptionTipAndTrayMessage) {
    EXPECT_EQ(CaptionText(VersionInfo{}), "Korvan Tessivo v1.0 Build 15");
    EXPECT_EQ(CaptionText(VersionInfo{"X", 2, 10, 300}), "X v2.10 Build 300");
    const std::string tip = TrayTipText("Korvan Tessivo");
    EXPECT_EQ(tip.size(), 64u);
    EXPECT_EQ(tip, "Korvan Tessivo" + std::string(50, ' '));
    EXPECT_EQ(TrayTipText(std::string(80, 'k')), std::string(64, 'k'));
    EXPECT_EQ(TrayMessageFromX(7710, false, 15), 514);
    EXPECT_EQ(TrayMessageFromX(517, true, 15), 517);
    EXPECT_EQ(TrayMessageFromX(7725, false, 15), 515);
}

TEST(CutNotices, TheFirstAtOnceThenOneAGapNamingTheLatestAndCountingTheOthers) {
    using std::chrono::milliseconds;
    const struct {
        milliseconds at;
        uint64_t cuts; // made at that moment, the last of them named "c<at>"
        std::optional<std::string> shown;
    } steps[] = {
        {milliseconds(0), 1, "Cut c0"},
        {milliseconds(4999), 3, std::nullopt},
        {milliseconds(5000), 0, "Cut c4999\nand 2 more connections"},
        {milliseconds(12000), 1, "Cut c12000"},
        {milliseconds(17000), 2, "Cut c17000\nand 1 more connection"},
    };
    CutNotices notices;
    for (const auto& step : steps) {
        if (step.cuts != 0) {
            notices.Add(step.cuts, "c" + std::to_string(step.at.count()));
        }
        EXPECT_EQ(notices.Due(CutNotices::Clock::time_point{} + step.at), step.shown)
            << step.at.count();
    }
}

TEST(MainWindowLayout, ControlsSitInsideTheClientAreaWithUniqueTabIndexes) {
    std::vector<bool> seen(MainWindowControls.size(), false);
    for (const ControlLayout& c : MainWindowControls) {
        EXPECT_LE(c.Left + c.Width, ClientWidthTwips) << c.Name;
        EXPECT_LE(c.Top + c.Height, ClientHeightTwips) << c.Name;
        ASSERT_LT(static_cast<size_t>(c.TabIndex), seen.size()) << c.Name;
        EXPECT_FALSE(seen[static_cast<size_t>(c.TabIndex)]) << c.Name;
        seen[static_cast<size_t>(c.TabIndex)] = true;
    }
}

// A started program whose window the test drives event by event.
class MainWindowTest : public ::testing::Test {
protected:
    MainWindowTest()
        : app(Platform{host, store, table, windows, [this] { return localAddresses; },
                       FormatDottedAddress, testing::SteppingClock()}) {
        host.folder = "C:\\Korvan";
        table.rows = {MakeRow(TcpEstablished, Address(10, 0, 0, 1), 1025, Address(10, 0, 0, 9), 80),
                      MakeRow(TcpListening, 0, 135, 0, 0)};
        EXPECT_TRUE(app.StartUp());
        form = windows.form;
        window = windows.window;
        manager = app.AppManager.get();
        app.GetEngine()->PollConnections();
    }

    std::vector<std::string>& Rows() { return window->controls.rows; }

    FakeHost host;
    MemoryStore store;
    FakeTcpTable table;
    FakeWindowFactory windows;
    std::string localAddresses = "192.168.0.5 10.0.0.7 ";
    Application app;
    frmMain* form = nullptr;
    FakeWindow* window = nullptr;
    Manager* manager = nullptr;
};

TEST_F(MainWindowTest, StartUpShowsCurrentConnectionsWithEditingDisabled) {
    EXPECT_EQ(window->caption, "Korvan Tessivo v1.0 Build 15 \u2014 guarding (polling)");
    EXPECT_TRUE(window->visible);
    EXPECT_TRUE(window->trayIcon);
    EXPECT_EQ(window->controls.head, "Current Connections");
    EXPECT_EQ(Rows(),
              (std::vector<std::string>{"1025 <--> 10.0.0.9:80 ESTABLISHED", "135 LISTENING"}));
    EXPECT_FALSE(window->controls.addButtonEnabled);
}

TEST_F(MainWindowTest, ModeButtonsShowTheirLists) {
    form->OnClick(ControlId::cmdLocalIP);
    EXPECT_EQ(window->controls.head, "Local IP Addresses");
    EXPECT_EQ(Rows(), (std::vector<std::string>{"192.168.0.5", "10.0.0.7"}));
    form->OnClick(ControlId::cmdAllowedIP);
    EXPECT_EQ(window->controls.head, "Allowed IP Addresses");
    EXPECT_EQ(Rows(), (std::vector<std::string>{"127.0.0.1"}));
    EXPECT_TRUE(window->controls.addButtonEnabled);
    form->OnClick(ControlId::cmdBlockedLocal);
    EXPECT_EQ(window->controls.head, "Blocked Local Ports");
    form->OnClick(ControlId::cmdBlockedRemote);
    EXPECT_EQ(window->controls.head, "Blocked Remote Ports");
    form->OnClick(ControlId::cmdCurrentConnections);
    EXPECT_EQ(window->controls.head, "Current Connections");
    EXPECT_EQ(Rows().size(), 2u);
}

TEST_F(MainWindowTest, AddTakesTheEntryTextAndLeavesItInTheBox) {
    form->OnClick(ControlId::cmdBlockedRemote);
    window->itemText = " 8080 ";
    form->OnClick(ControlId::cmdAdd);
    EXPECT_EQ(Rows(), (std::vector<std::string>{"8080"}));
    EXPECT_EQ(store.At("BlockedRemotePortsString"), "8080");
    EXPECT_EQ(window->itemText, " 8080 ");
    window->itemText = "99999";
    form->OnClick(ControlId::cmdAdd);
    EXPECT_EQ(host.messages, (std::vector<std::string>{"This is not a valid port number."}));
    window->itemText = "";
    form->OnClick(ControlId::cmdAdd);
    EXPECT_EQ(host.messages.size(), 1u);
}

TEST_F(MainWindowTest, RightButtonOverTheListPopsUpTheMenuAndDeleteRemovesTheRule) {
    form->OnListMouseUp(MouseButton::Left, 5, 6);
    form->OnListMouseUp(MouseButton::Middle, 5, 6);
    EXPECT_FALSE(window->menuShownAt.has_value());
    form->OnListMouseUp(MouseButton::Right, 5, 6);
    EXPECT_EQ(window->menuShownAt, std::make_pair(5, 6));
    EXPECT_FALSE(window->controls.deleteMenuEnabled); // mode 0

    form->OnClick(ControlId::cmdAllowedIP);
    EXPECT_TRUE(window->controls.deleteMenuEnabled);
    window->controls.Select("127.0.0.1");
    form->OnDeleteMenu();
    EXPECT_TRUE(Rows().empty());
    EXPECT_EQ(store.At("AllowedIPString"), "");
}

TEST_F(MainWindowTest, AddingLocalAddressesAsksFirst) {
    form->OnClick(ControlId::cmdAllowedIP);
    host.answer = MessageAnswer::Cancel;
    form->OnClick(ControlId::cmdAddLocal);
    EXPECT_EQ(host.messages, (std::vector<std::string>{"Add Local IP's to Allowed?"}));
    EXPECT_EQ(host.messageButtons.back(), MessageButtons::OkCancel);
    EXPECT_EQ(manager->oAllowedIP.GetItemCount(), 1);
    host.answer = MessageAnswer::Ok;
    form->OnClick(ControlId::cmdAddLocal);
    EXPECT_EQ(Rows(), (std::vector<std::string>{"127.0.0.1", "192.168.0.5", "10.0.0.7"}));
    EXPECT_TRUE(store.writes.empty()); // saved only with the next change or the close
}

TEST_F(MainWindowTest, ReadmeAndWebsiteGoToTheShell) {
    // Visit Website: the page the build names (KT_WEBSITE), else the read-me's folder.
    const std::pair<std::string, std::string> rows[] = {
        {form->Website, *KT_WEBSITE != 0 ? KT_WEBSITE : "C:\\Korvan\\"}, // as this build made it
        {"https://korvan.example/tessivo", "https://korvan.example/tessivo"},
        {"", "C:\\Korvan\\"}};
    for (const auto& [website, opened] : rows) {
        host.opened.clear();
        form->Website = website;
        form->OnClick(ControlId::cmdReadme);
        form->OnClick(ControlId::cmdWebsite);
        EXPECT_EQ(host.opened, (std::vector<std::string>{"C:\\Korvan\\readme.txt", opened}))
            << website;
    }
    host.shellOpens = false; // nothing on the desktop opens it: the click says so
    form->OnClick(ControlId::cmdReadme);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_NE(host.messages[0].find("C:\\Korvan\\readme.txt"), std::string::npos);
}

TEST_F(MainWindowTest, TheCheckBoxFiltersConnectionsInModeZeroOnly) {
    window->controls.showConnected = Value(int16_t{1});
    form->OnClick(ControlId::chkShowX);
    EXPECT_EQ(Rows(), (std::vector<std::string>{"1025 <--> 10.0.0.9:80 ESTABLISHED"}));
    form->OnClick(ControlId::cmdBlockedLocal);
    window->controls.showConnected = Value(int16_t{0});
    form->OnClick(ControlId::chkShowX);
    EXPECT_TRUE(Rows().empty());
    EXPECT_EQ(manager->oCurrentConnections.GetItemCount(), 2);
}

TEST_F(MainWindowTest, MinimizeHidesToTheTrayAndTheIconBringsItBack) {
    window->state = WindowState::Minimized;
    form->OnResize();
    EXPECT_FALSE(window->visible);

    form->OnTrayMessage(512); // a mere move over the icon
    EXPECT_FALSE(window->visible);
    form->OnTrayMessage(TrayRightButtonUp);
    EXPECT_TRUE(window->visible);
    EXPECT_EQ(window->state, WindowState::Minimized);
    EXPECT_EQ(window->broughtToFront, 1);

    window->visible = false;
    form->OnTrayMessage(TrayLeftButtonUp);
    EXPECT_TRUE(window->visible);
    EXPECT_EQ(window->state, WindowState::Normal);

    window->state = WindowState::Minimized;
    window->visible = false;
    form->OnTrayMessage(TrayLeftButtonDoubleClick);
    EXPECT_EQ(window->state, WindowState::Normal);
    EXPECT_TRUE(window->visible);

    const int fronts = window->broughtToFront;
    form->OnTrayMessage(TrayLeftButtonUp); // shown normally: ignored
    EXPECT_EQ(window->broughtToFront, fronts);
}

// Whichever way a hidden window comes back, it shows the connections of now, not of when it hid.
TEST_F(MainWindowTest, AWindowBroughtBackByAnyPathShowsTheTableOfNow) {
    const std::pair<const char*, std::function<void()>> paths[] = {
        {"second start", [&] { form->OnShowRequested(); }},
        {"tray icon", [&] { form->OnTrayMessage(TrayLeftButtonUp); }},
    };
    uint16_t port = 2000;
    for (const auto& [path, bringBack] : paths) {
        window->state = WindowState::Minimized;
        form->OnResize();
        ASSERT_FALSE(window->visible) << path;
        table.rows.push_back(
            MakeRow(TcpEstablished, Address(10, 0, 0, 1), ++port, Address(10, 0, 0, 9), 443));
        app.Tick();
        bringBack();
        EXPECT_TRUE(window->visible) << path;
        EXPECT_EQ(Rows().back(), std::to_string(port) + " <--> 10.0.0.9:443 ESTABLISHED") << path;
    }
}

TEST_F(MainWindowTest, CutsAreToldOnlyWhileTheWindowIsHidden) {
    const CutRecord cut = CutRecord::Of(table.rows[0], CutRecord::Rule::BlockedRemotePort, {});
    window->visible = false;
    app.CountCuts(1, cut);
    app.Tick();
    window->visible = true;
    app.CountCuts(1, cut);
    app.Tick();
    EXPECT_EQ(window->notices, std::vector<std::string>{
                                   "Cut 10.0.0.1:1025 -> 10.0.0.9:80 (blocked remote port 80)"});
}

TEST_F(MainWindowTest, RestoringRebuildsTheConnectionLines) {
    table.rows.pop_back();
    app.GetEngine()->PollConnections();
    ASSERT_EQ(Rows().size(), 1u);
    manager->oCurrentConnections.Reset();
    window->controls.ClearListRows();
    form->OnResize();
    EXPECT_EQ(Rows().size(), 1u);
    window->visible = false;
    window->controls.ClearListRows();
    form->OnResize(); // not visible: nothing
    EXPECT_TRUE(Rows().empty());
}

TEST(MainWindowNoTray, MinimizingKeepsTheWindowWhenThereIsNoTray) {
    FakeHost host;
    MemoryStore store;
    FakeTcpTable table;
    FakeWindowFactory windows;
    windows.prepare = [](FakeWindow& w) { w.trayAvailable = false; };
    Application app(Platform{host, store, table, windows, nullptr});
    ASSERT_TRUE(app.StartUp());
    windows.window->state = WindowState::Minimized;
    windows.form->OnResize();
    EXPECT_TRUE(windows.window->visible);
}

TEST_F(MainWindowTest, ClosingSavesAllThreeListsAndRemovesTheIcon) {
    EXPECT_TRUE(form->OnQueryUnload());
    EXPECT_EQ(store.writes,
              (std::vector<std::string>{"BlockedLocalPortsString", "BlockedRemotePortsString",
                                        "AllowedIPString"}));
    EXPECT_TRUE(app.QuitRequested);
    EXPECT_FALSE(window->trayIcon);
}

} // namespace
} // namespace kt

// frmMain's real window driven through its messages: start-up, modes, rule editing, the pop-up
// menu, the filter, the tray and closing.

#include "Win32TestSupport.h"

#include "core/win32/RegistrySettingsStore.h"
#include "engine/Engine.h"
#include "engine/RuleEditing.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>
#include <functional>

namespace kt::test {
namespace {

using win32::Win32MainWindow;

class MainWindowWin32 : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(app.Start()); }
    void TearDown() override {
        if (IsWindow(app.Main())) {
            DestroyWindow(app.Main());
        }
    }

    RunningApplication app;
};

TEST_F(MainWindowWin32, StartsInCurrentConnectionsWithEditingDisabled) {
    EXPECT_TRUE(TextOf(app.Main()).starts_with("Korvan Tessivo v1.0 Build 15 ")); // then the mode
    EXPECT_EQ(TextOf(app.Control(ControlId::txtHead)), "Current Connections");
    EXPECT_FALSE(IsWindowEnabled(app.Control(ControlId::txtItem)));
    win32::CommandWindow* add = app.window->Button(ControlId::cmdAdd);
    ASSERT_NE(add, nullptr);
    EXPECT_FALSE(add->Model().Enabled());
    EXPECT_EQ(add->Model().State(), ButtonState::Disable);
    const UINT deleteState =
        GetMenuState(app.window->ListMenu(), win32::DeleteMenuId, MF_BYCOMMAND);
    EXPECT_NE(deleteState & MF_GRAYED, 0u);
    EXPECT_TRUE(IsWindowVisible(app.Main()));
    EXPECT_EQ(SendMessageW(app.Control(ControlId::chkShowX), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_TRUE(app.window->TrayIconPresent());
}

TEST_F(MainWindowWin32, ClientAreaAndControlsSitAtTheirPlacesInTwips) {
    HDC screen = GetDC(nullptr);
    const int dpiX = GetDeviceCaps(screen, LOGPIXELSX);
    const int dpiY = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    RECT client{};
    GetClientRect(app.Main(), &client);
    EXPECT_EQ(client.right, MulDiv(6345, dpiX, 1440));
    EXPECT_EQ(client.bottom, MulDiv(4860, dpiY, 1440));
    EXPECT_FALSE(GetWindowLongPtrW(app.Main(), GWL_STYLE) & WS_MAXIMIZEBOX);

    for (const ControlLayout& c : MainWindowControls) {
        SCOPED_TRACE(std::string(c.Name));
        RECT r{};
        GetWindowRect(app.Control(c.Id), &r);
        MapWindowPoints(nullptr, app.Main(), reinterpret_cast<POINT*>(&r), 2);
        EXPECT_EQ(r.left, MulDiv(c.Left, dpiX, 1440));
        EXPECT_EQ(r.top, MulDiv(c.Top, dpiY, 1440));
        EXPECT_EQ(r.right - r.left, MulDiv(c.Width, dpiX, 1440));
        EXPECT_EQ(r.bottom - r.top, MulDiv(c.Height, dpiY, 1440));
    }
}

TEST_F(MainWindowWin32, TabGoesThroughTheControlsByTabIndex) {
    // Every control that can take the focus now, by tab index; Tab wraps round to the first.
    std::vector<const ControlLayout*> expected;
    for (const ControlLayout& c : MainWindowControls) {
        if (c.Kind != ControlKind::Label && IsWindowEnabled(app.Control(c.Id))) {
            expected.push_back(&c);
        }
    }
    std::sort(expected.begin(), expected.end(),
              [](auto* a, auto* b) { return a->TabIndex < b->TabIndex; });
    ASSERT_EQ(expected.front()->Id, ControlId::lstMain);
    ASSERT_EQ(expected.size(), MainWindowControls.size() - 2); // no label, no disabled txtItem
    HWND item = app.Control(expected.back()->Id);
    for (const ControlLayout* c : expected) {
        SCOPED_TRACE(std::string(c->Name));
        item = GetNextDlgTabItem(app.Main(), item, FALSE);
        EXPECT_EQ(item, app.Control(c->Id));
    }

    // Tab itself, through the window's message pass.
    SetFocus(app.Control(ControlId::lstMain));
    PostMessageW(app.Control(ControlId::lstMain), WM_KEYDOWN, VK_TAB, 0);
    app.Pump();
    EXPECT_EQ(GetFocus(), app.Control(ControlId::txtHead));
}

TEST_F(MainWindowWin32, EachModeButtonShowsItsListAndHeading) {
    app.manager().oAllowedIP.AddItem(Value("10.0.0.9"));
    app.manager().oBlockedLocalPorts.AddItem(Value(int32_t{135}));
    app.manager().oBlockedRemotePorts.AddItem(Value(int32_t{6667}));
    struct Case {
        ControlId button;
        const char* heading;
        std::vector<std::string> rows;
        bool editing;
    };
    const Case cases[] = {
        {ControlId::cmdLocalIP, "Local IP Addresses", {"127.0.0.2"}, false},
        {ControlId::cmdAllowedIP, "Allowed IP Addresses", {"127.0.0.1", "10.0.0.9"}, true},
        {ControlId::cmdBlockedLocal, "Blocked Local Ports", {"135"}, true},
        {ControlId::cmdBlockedRemote, "Blocked Remote Ports", {"6667"}, true},
        {ControlId::cmdCurrentConnections, "Current Connections", {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.heading);
        ClickButton(app.Control(c.button));
        EXPECT_EQ(TextOf(app.Control(ControlId::txtHead)), c.heading);
        EXPECT_EQ(ListRows(app.Control(ControlId::lstMain)), c.rows);
        EXPECT_EQ(IsWindowEnabled(app.Control(ControlId::txtItem)) != FALSE, c.editing);
        EXPECT_EQ(app.window->Button(ControlId::cmdAdd)->Model().Enabled(), c.editing);
    }
}

TEST_F(MainWindowWin32, AddingAPortListsAndStoresItAndABadPortIsRefused) {
    ClickButton(app.Control(ControlId::cmdBlockedRemote));
    SetText(app.Control(ControlId::txtItem), L"8080");
    ClickButton(app.Control(ControlId::cmdAdd));
    EXPECT_EQ(ListRows(app.Control(ControlId::lstMain)), std::vector<std::string>{"8080"});
    EXPECT_EQ(app.store.At("BlockedRemotePortsString"), "8080");
    EXPECT_TRUE(app.store.Has("BlockedLocalPortsString"));
    EXPECT_TRUE(app.store.Has("AllowedIPString"));
    EXPECT_EQ(TextOf(app.Control(ControlId::txtItem)), "8080");
    EXPECT_TRUE(app.host.messages.empty());

    SetText(app.Control(ControlId::txtItem), L"65536");
    ClickButton(app.Control(ControlId::cmdAdd));
    ASSERT_EQ(app.host.messages.size(), 1u);
    EXPECT_EQ(app.host.messages[0], InvalidPortMessage);
    EXPECT_EQ(app.host.buttonsShown[0], MessageButtons::Ok);
    // The box belongs to the main window.
    EXPECT_EQ(app.host.ownerAtMessage, app.Main());
    EXPECT_EQ(ListRows(app.Control(ControlId::lstMain)), std::vector<std::string>{"8080"});
}

TEST_F(MainWindowWin32, AddLocalAsksFirstAndCancelChangesNothing) {
    ClickButton(app.Control(ControlId::cmdAllowedIP));
    app.host.answer = MessageAnswer::Cancel;
    ClickButton(app.Control(ControlId::cmdAddLocal));
    ASSERT_EQ(app.host.messages.size(), 1u);
    EXPECT_EQ(app.host.messages[0], "Add Local IP's to Allowed?");
    EXPECT_EQ(app.host.buttonsShown[0], MessageButtons::OkCancel);
    EXPECT_EQ(ListRows(app.Control(ControlId::lstMain)), std::vector<std::string>{"127.0.0.1"});

    app.host.answer = MessageAnswer::Ok;
    ClickButton(app.Control(ControlId::cmdAddLocal));
    EXPECT_EQ(ListRows(app.Control(ControlId::lstMain)),
              (std::vector<std::string>{"127.0.0.1", "127.0.0.2"}));
}

TEST_F(MainWindowWin32, ABlockedConnectionIsCutWhileAMessageBoxIsOpen) {
    app.host.realBoxes = true;
    app.manager().oBlockedRemotePorts.AddItem(Value(int32_t{8080}));
    ClickButton(app.Control(ControlId::cmdBlockedRemote));
    SetText(app.Control(ControlId::txtItem), L"65536");
    app.table.rows = {testing::MakeRow(TcpEstablished, testing::Address(127, 0, 0, 2), 5000,
                                       testing::Address(127, 0, 0, 3), 8080)};
    // OK is pressed once the guard has looked again after a cut, or after 3 s.
    constexpr TIMERPROC pressOk = [](HWND, UINT, UINT_PTR, DWORD) {
        PostMessageW(FindWindowW(L"#32770", L"Korvan Tessivo"), WM_COMMAND, IDOK, 0);
    };
    app.table.onSnapshot = [&](int) {
        if (!app.table.deletes.empty()) {
            pressOk(nullptr, 0, 0, 0);
        }
    };
    const UINT_PTR giveUp = SetTimer(nullptr, 0, 3000, pressOk);
    ClickButton(app.Control(ControlId::cmdAdd)); // the bad port's box
    KillTimer(nullptr, giveUp);
    EXPECT_EQ(app.host.messages, std::vector<std::string>{std::string(InvalidPortMessage)});
    EXPECT_EQ(app.table.deletes.size(), 1u);
    EXPECT_TRUE(app.table.rows.empty());
}

TEST_F(MainWindowWin32, ReadmeAndWebsiteGoToTheShell) {
    ClickButton(app.Control(ControlId::cmdReadme));
    app.application.MainWindow()->Website = ""; // without a page: the read-me's folder
    ClickButton(app.Control(ControlId::cmdWebsite));
    app.application.MainWindow()->Website = "https://korvan.example/tessivo";
    ClickButton(app.Control(ControlId::cmdWebsite));
    ASSERT_EQ(app.host.opened.size(), 3u);
    EXPECT_EQ(app.host.opened[0], app.application.AppPath + "readme.txt");
    EXPECT_EQ(app.host.opened[1], app.application.AppPath);
    EXPECT_EQ(app.host.opened[2], "https://korvan.example/tessivo");
    EXPECT_EQ(app.application.AppPath.back(), '\\');
}

// Counts the pop-up menus the window opens.
LRESULT CALLBACK CountPopups(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                             DWORD_PTR data) {
    if (message == WM_INITMENUPOPUP) {
        ++*reinterpret_cast<int*>(data);
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

TEST_F(MainWindowWin32, RightButtonReleaseOverTheListPopsUpDeleteAndDeletesTheSelection) {
    int popups = 0;
    ASSERT_TRUE(
        SetWindowSubclass(app.Main(), &CountPopups, 7, reinterpret_cast<DWORD_PTR>(&popups)));
    app.manager().oBlockedLocalPorts.AddItem(Value(int32_t{135}));
    app.manager().oBlockedLocalPorts.AddItem(Value(int32_t{445}));
    ClickButton(app.Control(ControlId::cmdBlockedLocal));
    HWND list = app.Control(ControlId::lstMain);
    SendMessageW(list, LB_SETCURSEL, 0, 0);

    // Left and middle releases open nothing.
    SendMessageW(list, WM_LBUTTONUP, 0, MAKELPARAM(10, 10));
    SendMessageW(list, WM_MBUTTONUP, 0, MAKELPARAM(10, 10));
    EXPECT_EQ(popups, 0);
    SendMessageW(list, LB_SETCURSEL, 0, 0);

    // The menu's own loop takes these keys: down to Delete, Enter (as the character it makes);
    // Escape closes the menu should Enter not have.
    PostMessageW(app.Main(), WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(app.Main(), WM_CHAR, L'\r', 0);
    PostMessageW(app.Main(), WM_KEYDOWN, VK_ESCAPE, 0);
    SendMessageW(list, WM_RBUTTONUP, 0, MAKELPARAM(10, 10));
    EXPECT_EQ(popups, 1);
    app.Pump();
    EXPECT_EQ(ListRows(list), std::vector<std::string>{"445"});
    EXPECT_EQ(app.store.At("BlockedLocalPortsString"), "445");
    RemoveWindowSubclass(app.Main(), &CountPopups, 7);
}

TEST_F(MainWindowWin32, DeleteCommandActsOnlyWhileTheMenuItemIsEnabled) {
    app.manager().oAllowedIP.AddItem(Value("10.0.0.9"));
    HWND list = app.Control(ControlId::lstMain);
    // Connections view: Delete is greyed and its command does nothing.
    SendMessageW(app.Main(), WM_COMMAND, MAKEWPARAM(win32::DeleteMenuId, 0), 0);
    ClickButton(app.Control(ControlId::cmdAllowedIP));
    SendMessageW(list, LB_SETCURSEL, 1, 0);
    SendMessageW(app.Main(), WM_COMMAND, MAKEWPARAM(win32::DeleteMenuId, 0), 0);
    EXPECT_EQ(ListRows(list), std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(app.store.At("AllowedIPString"), "127.0.0.1");

    ClickButton(app.Control(ControlId::cmdLocalIP));
    SendMessageW(list, LB_SETCURSEL, 0, 0);
    SendMessageW(app.Main(), WM_COMMAND, MAKEWPARAM(win32::DeleteMenuId, 0), 0);
    EXPECT_EQ(ListRows(list), std::vector<std::string>{"127.0.0.2"});
}

// An established and a listening socket in the table, seen by one tick; the list box.
template <class Rig> HWND ShowOneConnectedAndOneListening(Rig& app) {
    using testing::Address;
    using testing::MakeRow;
    app.table.rows = {
        MakeRow(TcpEstablished, Address(127, 0, 0, 2), 5000, Address(127, 0, 0, 3), 80),
        MakeRow(TcpListening, Address(127, 0, 0, 2), 5001, Address(0, 0, 0, 0), 0),
    };
    app.application.GetEngine()->PollConnections();
    return app.Control(ControlId::lstMain);
}

TEST_F(MainWindowWin32, EnterInTheEntryAddsAndDeleteInTheListDeletesOnlyARule) {
    app.manager().oBlockedLocalPorts.AddItem(Value(int32_t{135}));
    app.manager().oBlockedLocalPorts.AddItem(Value(int32_t{445}));
    HWND list = ShowOneConnectedAndOneListening(app);
    const struct {
        ControlId mode, control;
        WPARAM key;
        std::vector<std::string> rows;
    } cases[] = {
        {ControlId::cmdCurrentConnections, ControlId::lstMain, VK_DELETE, ListRows(list)},
        {ControlId::cmdBlockedLocal, ControlId::txtItem, VK_RETURN, {"135", "445", "8080"}},
        {ControlId::cmdBlockedLocal, ControlId::lstMain, VK_DELETE, {"445", "8080"}},
    };
    SetText(app.Control(ControlId::txtItem), L"8080");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        ClickButton(app.Control(c.mode));
        SendMessageW(list, LB_SETCURSEL, 0, 0);
        SetFocus(app.Control(c.control));
        PostMessageW(app.Control(c.control), WM_KEYDOWN, c.key, 0); // through the window's pass
        app.Pump();
        EXPECT_EQ(ListRows(list), c.rows);
        EXPECT_EQ(TextOf(app.Control(ControlId::txtItem)), "8080");
    }
}

TEST_F(MainWindowWin32, CheckBoxFiltersTheConnectionLines) {
    HWND list = ShowOneConnectedAndOneListening(app);
    ASSERT_EQ(ListRows(list).size(), 1u);
    EXPECT_NE(ListRows(list)[0].find("ESTABLISHED"), std::string::npos);

    SendMessageW(app.Control(ControlId::chkShowX), BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageW(app.Control(ControlId::chkShowX), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(ListRows(list).size(), 2u);

    // In another view the box only changes the lines kept for later.
    ClickButton(app.Control(ControlId::cmdLocalIP));
    SendMessageW(app.Control(ControlId::chkShowX), BM_CLICK, 0, 0);
    EXPECT_EQ(ListRows(list), std::vector<std::string>{"127.0.0.2"});
    ClickButton(app.Control(ControlId::cmdCurrentConnections));
    EXPECT_EQ(ListRows(list).size(), 1u);
}

TEST_F(MainWindowWin32, RebuildsKeepTheScrollPositionAndTheSelectedLine) {
    std::vector<TcpRow> base; // 300 connections, and as many others to another remote port
    std::vector<TcpRow> others;
    for (uint16_t port = 5000; port < 5300; ++port) {
        base.push_back(testing::MakeRow(TcpEstablished, testing::Address(127, 0, 0, 2), port,
                                        testing::Address(127, 0, 0, 3), 80));
        others.push_back(base.back());
        others.back().dwRemotePort = PortToField(81);
    }
    const std::pair<std::function<void(std::vector<TcpRow>&)>, bool> changes[] = {
        {[&](auto& rows) { // above the view, below the selection, and at the end
             rows.erase(rows.begin() + 10);
             rows[200].dwState = TcpTimeWait;
             rows.push_back(others[0]);
         },
         true},
        {[&](auto& rows) { rows.insert(rows.begin(), others.begin(), others.end()); }, true},
        {[&](auto& rows) { rows.erase(rows.begin() + 110); }, false}, // the selected one ends
    };
    HWND list = app.Control(ControlId::lstMain);
    const auto show = [&](const std::vector<TcpRow>& rows) {
        app.table.rows = rows;
        app.application.GetEngine()->PollConnections();
        app.manager().RefreshCurrentConnections(); // now, whatever the view's own pace
        return ListRows(list);
    };
    for (const auto& [change, selectionStays] : changes) {
        const std::vector<std::string> before = show(base);
        SendMessageW(list, LB_SETCURSEL, 110, 0);
        SendMessageW(list, LB_SETTOPINDEX, 100, 0);
        std::vector<TcpRow> rows = base;
        change(rows);
        const std::vector<std::string> after = show(rows);
        const auto at = [&](LRESULT row) { return row < 0 ? "<none>" : after.at(row); };
        EXPECT_EQ(at(SendMessageW(list, LB_GETTOPINDEX, 0, 0)), before[100]);
        EXPECT_EQ(at(SendMessageW(list, LB_GETCURSEL, 0, 0)),
                  selectionStays ? before[110] : "<none>");
        // What the Manager lists, all of it and in its order.
        EXPECT_EQ(after, testing::ItemTexts(app.manager().oCurrentConnections));
    }
}

TEST_F(MainWindowWin32, MinimizeHidesToTheTrayAndTheIconBringsItBack) {
    HWND main = app.Main();
    // Shown normally, the icon's clicks are ignored.
    SendMessageW(main, win32::TrayCallbackMessage, win32::TrayIconId, WM_LBUTTONUP);
    EXPECT_TRUE(IsWindowVisible(main));
    EXPECT_FALSE(IsIconic(main));

    ShowWindow(main, SW_MINIMIZE);
    app.Pump();
    EXPECT_TRUE(IsIconic(main));
    EXPECT_FALSE(IsWindowVisible(main));

    // Right button: visible again, still minimized.
    SendMessageW(main, win32::TrayCallbackMessage, win32::TrayIconId, WM_RBUTTONUP);
    EXPECT_TRUE(IsWindowVisible(main));
    EXPECT_TRUE(IsIconic(main));

    // Restored from the task bar, then minimized again.
    ShowWindow(main, SW_RESTORE);
    ShowWindow(main, SW_MINIMIZE);
    app.Pump();
    EXPECT_FALSE(IsWindowVisible(main));
    // Moves and presses over the icon do nothing.
    SendMessageW(main, win32::TrayCallbackMessage, win32::TrayIconId, WM_MOUSEMOVE);
    SendMessageW(main, win32::TrayCallbackMessage, win32::TrayIconId, WM_LBUTTONDOWN);
    EXPECT_FALSE(IsWindowVisible(main));

    SendMessageW(main, win32::TrayCallbackMessage, win32::TrayIconId, WM_LBUTTONUP);
    app.Pump();
    EXPECT_TRUE(IsWindowVisible(main));
    EXPECT_FALSE(IsIconic(main));

    ShowWindow(main, SW_MINIMIZE);
    app.Pump();
    SendMessageW(main, win32::TrayCallbackMessage, win32::TrayIconId, WM_LBUTTONDBLCLK);
    EXPECT_TRUE(IsWindowVisible(main));
    EXPECT_FALSE(IsIconic(main));
}

// Windows has no kernel guard: a window polls, is a service's face, or cuts nothing once refused.
TEST(MainWindowWin32Tray, TheTitleAndTheTipSayWhatGuards) {
    const struct {
        std::string mode;
        std::wstring title;
        std::wstring cuts;
    } rows[] = {
        {"polling", L"guarding (polling)", L"1 cut since start"},
        {"refused", L"view only", L"0 cuts since start"},
        {"service", L"guarded by the service", L"1 cut since start"},
    };
    for (const auto& row : rows) {
        RunningApplication app(L"Tip");
        app.store.At("BlockedRemotePortsString") = "8080";
        app.table.refuseDeletes = row.mode == "refused";
        app.table.refusal = "Access is denied.";
        app.application.SetGuardedByService(row.mode == "service");
        ASSERT_TRUE(app.Start());
        app.table.rows = {testing::MakeRow(TcpEstablished, testing::Address(127, 0, 0, 2), 40000,
                                           testing::Address(127, 0, 0, 3), 8080)};
        for (int tick = 0; tick < 3; ++tick) { // cut (or refused), then confirmed gone
            app.application.Tick();
        }
        const std::wstring title = L"Korvan Tessivo v1.0 Build 15 \u2014 " + row.title;
        wchar_t shown[256] = {};
        GetWindowTextW(app.Main(), shown, 256);
        EXPECT_EQ(shown, title) << row.mode;
        EXPECT_EQ(app.window->TrayTip(), title + L"\n" + row.cuts) << row.mode;
        DestroyWindow(app.Main());
    }
}

TEST_F(MainWindowWin32, RestoringRebuildsTheConnectionLines) {
    HWND list = ShowOneConnectedAndOneListening(app);
    ASSERT_EQ(ListRows(list).size(), 1u);
    ShowWindow(app.Main(), SW_MINIMIZE);
    app.Pump();
    // Unchecked without its click: only a rebuild can show the listening socket.
    SendMessageW(app.Control(ControlId::chkShowX), BM_SETCHECK, BST_UNCHECKED, 0);
    EXPECT_EQ(ListRows(list).size(), 1u);
    SendMessageW(app.Main(), win32::TrayCallbackMessage, win32::TrayIconId, WM_LBUTTONUP);
    EXPECT_EQ(ListRows(list).size(), 2u);
}

TEST_F(MainWindowWin32, ClosingSavesAllThreeSettingsAndRemovesTheTrayIcon) {
    HWND main = app.Main();
    NOTIFYICONDATAW probe{};
    probe.cbSize = sizeof probe;
    probe.hWnd = main;
    probe.uID = win32::TrayIconId;
    // The shell knows the icon while the window lives.
    EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &probe));

    app.store.writes.clear();
    SendMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(app.store.writes,
              (std::vector<std::string>{"BlockedLocalPortsString", "BlockedRemotePortsString",
                                        "AllowedIPString"}));
    EXPECT_TRUE(app.application.QuitRequested);
    EXPECT_FALSE(IsWindow(main));
    EXPECT_FALSE(app.window->TrayIconPresent());
    EXPECT_FALSE(app.application.MainWindow()->TrayIconShown());
    EXPECT_FALSE(Shell_NotifyIconW(NIM_MODIFY, &probe));

    // The loop ends after the cycle that sees the flag, and the process would end.
    app.application.MainLoop();
    app.application.Shutdown();
    EXPECT_TRUE(app.host.ended);
}

// The real registry, under a test application's key removed before and after.
struct TestRegistry final : SettingsStore {
    TestRegistry() { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\KorvanTessivoTest"); }
    ~TestRegistry() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\KorvanTessivoTest"); }
    std::string Read(std::string_view, std::string_view section, std::string_view key,
                     std::string_view fallback) override {
        return real.Read("KorvanTessivoTest", section, key, fallback);
    }
    bool Write(std::string_view, std::string_view section, std::string_view key,
               std::string_view text) override {
        return real.Write("KorvanTessivoTest", section, key, text);
    }
    win32::RegistrySettingsStore real;
};

TEST(MainWindowWin32Session, EndingTheSessionClosesAsTheUserWould) {
    TestRegistry registry;
    RunningApplication app(L"Session", &registry);
    ASSERT_TRUE(app.Start());
    app.manager().oBlockedRemotePorts.AddItem(Value(int32_t{8080}));
    HWND main = app.Main();
    SendMessageW(main, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    EXPECT_EQ(registry.Read("", "General", "BlockedRemotePortsString", "-"), "8080");
    for (const char* key : {"BlockedLocalPortsString", "AllowedIPString"}) {
        EXPECT_NE(registry.Read("", "General", key, "-"), "-") << key;
    }
    EXPECT_FALSE(IsWindow(main));
    EXPECT_FALSE(app.window->TrayIconPresent());
    EXPECT_TRUE(app.application.QuitRequested);
}

TEST_F(MainWindowWin32, AccessKeyOfAButtonClicksIt) {
    win32::CommandWindow* local = app.window->Button(ControlId::cmdLocalIP);
    local->Model().SetCaption("&Local IP Addresses");
    EXPECT_EQ(local->AccessKey(), L'L');
    PostMessageW(app.Main(), WM_SYSCHAR, L'l', 1 << 29);
    app.Pump();
    EXPECT_EQ(TextOf(app.Control(ControlId::txtHead)), "Local IP Addresses");
}

TEST_F(MainWindowWin32, ScreenshotsOfTheFiveModes) {
    const std::pair<ControlId, const wchar_t*> modes[] = {
        {ControlId::cmdCurrentConnections, L"mode0-current-connections"},
        {ControlId::cmdLocalIP, L"mode1-local-ip"},
        {ControlId::cmdAllowedIP, L"mode2-allowed-ip"},
        {ControlId::cmdBlockedLocal, L"mode3-blocked-local"},
        {ControlId::cmdBlockedRemote, L"mode4-blocked-remote"},
    };
    using testing::Address;
    using testing::MakeRow;
    app.table.rows = {
        MakeRow(TcpEstablished, Address(127, 0, 0, 2), 5000, Address(127, 0, 0, 3), 80)};
    app.application.GetEngine()->PollConnections();
    app.manager().oBlockedLocalPorts.AddItem(Value(int32_t{135}));
    app.manager().oBlockedRemotePorts.AddItem(Value(int32_t{8080}));
    SetForegroundWindow(app.Main());
    for (const auto& [button, name] : modes) {
        ClickButton(app.Control(button));
        // The cursor is elsewhere: let the hover timers settle, and everything paint.
        for (int i = 0; i < 3; ++i) {
            Sleep(110);
            app.Pump();
        }
        UpdateWindow(app.Main());
        const std::wstring path = std::wstring(KT_SCREENSHOT_DIR) + L"/" + name + L".bmp";
        EXPECT_TRUE(SaveClientScreenshot(app.Main(), path));
    }
}

} // namespace
} // namespace kt::test

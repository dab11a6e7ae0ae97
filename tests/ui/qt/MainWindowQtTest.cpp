#include "QtRig.h"

#include "engine/RuleEditing.h"
#include "manager/Manager.h"
#include "service/StopSignals.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCursor>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kt;
using namespace kt::testing;

Q_DECLARE_METATYPE(kt::ControlId)

namespace {

uint32_t Loopback(unsigned char last) {
    return Address(127, 0, 0, last);
}

// Receives what the desktop would be asked to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    UrlCatcher() {
        QDesktopServices::setUrlHandler("file", this, "Open");
        QDesktopServices::setUrlHandler("https", this, "Open");
    }
    ~UrlCatcher() override {
        QDesktopServices::unsetUrlHandler("file");
        QDesktopServices::unsetUrlHandler("https");
    }
    QList<QUrl> opened;
public slots:
    void Open(const QUrl& url) { opened << url; }
};

// A press and release over the list box's row.
void ClickRow(QtMainWindow& window, int row, Qt::MouseButton button) {
    QListView* list = window.List();
    QTest::mouseClick(list->viewport(), button, Qt::NoModifier,
                      list->visualRect(list->model()->index(row, 0)).center());
}

void ReleaseOverList(QtMainWindow& window, Qt::MouseButton button) {
    QWidget* viewport = window.List()->viewport();
    QTest::mouseRelease(viewport, button, Qt::NoModifier, QPoint(20, 5));
}

QStringList TabChain(QWidget* first, int count) {
    QStringList names;
    QWidget* w = first;
    for (int i = 0; i < count; ++i) {
        names << w->objectName();
        w = w->nextInFocusChain();
        while (w->objectName().isEmpty() || !(w->focusPolicy() & Qt::TabFocus)) {
            w = w->nextInFocusChain();
        }
    }
    return names;
}

} // namespace

class MainWindowQtTest : public QObject {
    Q_OBJECT

private slots:
    void headShowsChooseUntilTheFirstMode();
    void startUpShowsCurrentConnectionsWithEditingDisabled();
    void controlsSitAtTheirPlacesInTheirColoursAndFonts();
    void eachButtonShowsItsListAndWritesAScreenshot();
    void addingRulesSavesThemAndBadEntriesAreRefused();
    void deleteMenuFollowsTheModeAndDeletesTheSelectedRule();
    void keysActAsTheirControls_data();
    void keysActAsTheirControls();
    void addLocalAddressesAsksFirst();
    void checkBoxFiltersTheConnectionView();
    void minimizingHidesToTheTrayAndTheTrayBringsItBack();
    void withoutATrayMinimizingKeepsTheWindow();
    void titleAndTraySayWhatGuards_data();
    void titleAndTraySayWhatGuards();
    void aSecondStartBringsTheHiddenWindowBack();
    void entriesLeftOutAreListedAndKeptUntilTheRulesChange_data();
    void entriesLeftOutAreListedAndKeptUntilTheRulesChange();
    void closingSavesAllThreeKeysAndEndsTheLoop();
    void stopSignalClosesTheWindow();
    void aStopEndsTheProcessEvenWhenTheWayOutHangs();
    void readmeAndWebsiteGoToTheDesktop();
    void aReadmeNothingOpensIsToldInABox();
    void secondHostOnTheSameLockIsAPreviousInstance();
    void messageBoxCarriesTheTitleAndAnswersTheButtonPressed();
    void blockedConnectionIsCutWhileAMessageBoxIsOpen();
    void placeAndSelectionSurviveAChangeOfAnotherLine();
};

void MainWindowQtTest::headShowsChooseUntilTheFirstMode() {
    QtRig rig;
    frmMain behaviour(rig.app);
    auto window = rig.windows.LoadMainWindow(behaviour);
    auto& qtWindow = *rig.windows.LastWindow();
    QCOMPARE(qtWindow.HeadBox()->text(), QString("Choose..."));
    QCOMPARE(qtWindow.windowTitle(), QString("Korvan Tessivo"));
    QVERIFY(!qtWindow.isVisible());
}

void MainWindowQtTest::startUpShowsCurrentConnectionsWithEditingDisabled() {
    QtRig rig;
    rig.table.rows = {MakeRow(TcpEstablished, Loopback(2), 40000, Loopback(3), 8080)};
    QVERIFY(rig.app.StartUp());
    QtMainWindow& w = rig.Window();
    QVERIFY(w.isVisible());
    QVERIFY(w.windowTitle().startsWith("Korvan Tessivo v1.0 Build 15 \u2014 "));
    QCOMPARE(w.HeadBox()->text(), QString("Current Connections"));
    QVERIFY(!w.ItemBox()->isEnabled());
    QVERIFY(!w.DeleteAction()->isEnabled());
    QVERIFY(!rig.Button(ControlId::cmdAdd).Model().Enabled());
    QCOMPARE(rig.Button(ControlId::cmdAdd).Model().State(), ButtonState::Disable);
    QVERIFY(w.ShowConnectedBox()->isChecked());
    rig.Cycle();
    QCOMPARE(rig.ListRows(), QStringList{"40000 <--> 127.0.0.3:8080 ESTABLISHED"});
    // Every button was initialised: the hover timers run.
    for (const ControlLayout& layout : MainWindowControls) {
        if (layout.Kind == ControlKind::Button && layout.Id != ControlId::cmdAdd) {
            QCOMPARE(rig.Button(layout.Id).Model().State(), ButtonState::Normal);
        }
    }
    QVERIFY(rig.host.messages.empty());
}

void MainWindowQtTest::controlsSitAtTheirPlacesInTheirColoursAndFonts() {
    QtRig rig;
    QVERIFY(rig.app.StartUp());
    QtMainWindow& w = rig.Window();
    QCOMPARE(w.logicalDpiX(), 96);
    QCOMPARE(w.size(), QSize(423, 324));
    QCOMPARE(w.minimumSize(), w.maximumSize());
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    QCOMPARE(w.windowIcon().pixmap(32, 32).size(), QSize(32, 32));

    QCOMPARE(w.Control(ControlId::cmdAllowedIP)->geometry(), QRect(264, 36, 149, 31));
    QCOMPARE(w.Control(ControlId::lstMain)->geometry(), QRect(8, 28, 249, 268));
    QCOMPARE(w.Control(ControlId::cmdAdd)->geometry(), QRect(208, 298, 47, 21));
    QCOMPARE(w.Control(ControlId::chkShowX)->geometry(), QRect(266, 132, 13, 13));
    for (const ControlLayout& layout : MainWindowControls) {
        if (layout.Kind == ControlKind::Button) {
            QCOMPARE(rig.Button(layout.Id).Model().Caption(), std::string(layout.Text));
            QCOMPARE(rig.Button(layout.Id).Model().Font(), ButtonFont{});
        }
    }
    auto* label = qobject_cast<QLabel*>(w.Control(ControlId::Label1));
    QCOMPARE(label->text(), QString("Show only connected"));

    QCOMPARE(w.HeadBox()->font().family(), QString("Arial"));
    QCOMPARE(w.HeadBox()->font().pointSizeF(), 8.25);
    QVERIFY(w.HeadBox()->font().bold());
    QVERIFY(!w.List()->font().bold());
    QVERIFY(w.HeadBox()->isReadOnly());
    QCOMPARE(w.HeadBox()->alignment(), Qt::AlignCenter);
    QCOMPARE(w.HeadBox()->palette().color(QPalette::Base), QColor(92, 197, 231));
    QCOMPARE(w.List()->palette().color(QPalette::Base), QColor(180, 226, 243));
    QCOMPARE(w.List()->palette().color(QPalette::Text), QColor(Qt::black));

    QCOMPARE(TabChain(w.List(), 13),
             (QStringList{"lstMain", "txtHead", "cmdLocalIP", "cmdAllowedIP", "cmdAddLocal",
                          "cmdBlockedLocal", "cmdBlockedRemote", "cmdCurrentConnections", "cmdAdd",
                          "txtItem", "cmdWebsite", "cmdReadme", "chkShowX"}));

    // The background picture is painted unscaled from the top-left corner.
    const QImage shot = w.grab().toImage();
    const QImage background(":/pictures/Background.bmp");
    QCOMPARE(background.size(), QSize(789, 461));
    QCOMPARE(shot.pixelColor(2, 2), background.pixelColor(2, 2));
    QCOMPARE(shot.pixelColor(420, 200), background.pixelColor(420, 200));
}

void MainWindowQtTest::eachButtonShowsItsListAndWritesAScreenshot() {
    QtRig rig;
    rig.table.rows = {MakeRow(TcpEstablished, Loopback(2), 40000, Loopback(3), 8080),
                      MakeRow(TcpListening, Loopback(3), 8080, 0, 0)};
    rig.store.Write("KorvanTessivo", "General", "BlockedLocalPortsString", "445,139");
    rig.store.Write("KorvanTessivo", "General", "BlockedRemotePortsString", "25");
    QVERIFY(rig.app.StartUp());
    rig.Cycle();
    QDir().mkpath(KT_SCREENSHOT_DIR);

    struct Case {
        ControlId button;
        const char* head;
        QStringList rows;
        bool editing;
        const char* file;
    };
    const Case cases[] = {
        {ControlId::cmdLocalIP,
         "Local IP Addresses",
         {"10.1.2.3", "192.168.7.7"},
         false,
         "mode1-local-ip.png"},
        {ControlId::cmdAllowedIP,
         "Allowed IP Addresses",
         {"127.0.0.1"},
         true,
         "mode2-allowed-ip.png"},
        {ControlId::cmdBlockedLocal,
         "Blocked Local Ports",
         {"445", "139"},
         true,
         "mode3-blocked-local.png"},
        {ControlId::cmdBlockedRemote,
         "Blocked Remote Ports",
         {"25"},
         true,
         "mode4-blocked-remote.png"},
        {ControlId::cmdCurrentConnections,
         "Current Connections",
         {"40000 <--> 127.0.0.3:8080 ESTABLISHED"},
         false,
         "mode0-current-connections.png"},
    };
    for (const Case& c : cases) {
        Click(rig.Button(c.button));
        QCOMPARE(rig.Window().HeadBox()->text(), QString(c.head));
        QCOMPARE(rig.ListRows(), c.rows);
        QCOMPARE(rig.Window().ItemBox()->isEnabled(), c.editing);
        QCOMPARE(rig.Window().DeleteAction()->isEnabled(), c.editing);
        QCOMPARE(rig.Button(ControlId::cmdAdd).Model().Enabled(), c.editing);
        rig.host.DoEvents();
        QVERIFY(rig.Window().grab().save(QString(KT_SCREENSHOT_DIR) + "/" + c.file));
    }
}

void MainWindowQtTest::addingRulesSavesThemAndBadEntriesAreRefused() {
    QtRig rig;
    QVERIFY(rig.app.StartUp());
    QtMainWindow& w = rig.Window();
    QSettings ini(rig.IniPath(), QSettings::IniFormat);

    Click(rig.Button(ControlId::cmdBlockedRemote));
    QTest::keyClicks(w.ItemBox(), "8080");
    Click(rig.Button(ControlId::cmdAdd));
    QCOMPARE(rig.ListRows(), QStringList{"8080"});
    QCOMPARE(w.ItemBox()->text(), QString("8080"));
    ini.sync();
    QCOMPARE(ini.value("BlockedRemotePortsString").toString(), QString("8080"));
    QVERIFY(ini.contains("BlockedLocalPortsString"));
    QVERIFY(ini.contains("AllowedIPString"));

    // The same port again is not added twice.
    Click(rig.Button(ControlId::cmdAdd));
    QCOMPARE(rig.ListRows(), QStringList{"8080"});

    w.ItemBox()->setText("70000");
    Click(rig.Button(ControlId::cmdAdd));
    QCOMPARE(rig.host.messages, std::vector<std::string>{std::string(InvalidPortMessage)});
    QCOMPARE(rig.host.messageButtons.back(), MessageButtons::Ok);
    QCOMPARE(rig.ListRows(), QStringList{"8080"});

    Click(rig.Button(ControlId::cmdAllowedIP));
    w.ItemBox()->setText("300.1.1.1");
    Click(rig.Button(ControlId::cmdAdd));
    QCOMPARE(rig.host.messages.back(), std::string(InvalidAddressMessage));
    QCOMPARE(rig.ListRows(), QStringList{"127.0.0.1"});

    w.ItemBox()->setText("127.0.0.3");
    Click(rig.Button(ControlId::cmdAdd));
    QCOMPARE(rig.ListRows(), (QStringList{"127.0.0.1", "127.0.0.3"}));
    ini.sync();
    QCOMPARE(rig.store.Read("KorvanTessivo", "General", "AllowedIPString", ""),
             std::string("127.0.0.1,127.0.0.3"));

    // An empty box adds nothing and says nothing.
    const size_t messages = rig.host.messages.size();
    w.ItemBox()->clear();
    Click(rig.Button(ControlId::cmdAdd));
    QCOMPARE(rig.ListRows().size(), 2);
    QCOMPARE(rig.host.messages.size(), messages);
}

void MainWindowQtTest::deleteMenuFollowsTheModeAndDeletesTheSelectedRule() {
    QtRig rig;
    rig.store.Write("KorvanTessivo", "General", "BlockedLocalPortsString", "8080,445,139");
    rig.store.Write("KorvanTessivo", "General", "BlockedRemotePortsString", "445");
    QVERIFY(rig.app.StartUp());
    QtMainWindow& w = rig.Window();

    // Mode 0: the menu comes up with Delete disabled; other buttons bring no menu.
    ReleaseOverList(w, Qt::LeftButton);
    ReleaseOverList(w, Qt::MiddleButton);
    QVERIFY(!w.ListMenu()->isVisible());
    ReleaseOverList(w, Qt::RightButton);
    QTRY_VERIFY(w.ListMenu()->isVisible());
    QVERIFY(!w.DeleteAction()->isEnabled());
    w.ListMenu()->hide();

    Click(rig.Button(ControlId::cmdBlockedLocal));
    QCOMPARE(rig.ListRows(), (QStringList{"8080", "445", "139"}));
    // The right click over another row brings the menu, and leaves the chosen row chosen.
    ClickRow(w, 0, Qt::LeftButton);
    ClickRow(w, 2, Qt::RightButton);
    QTRY_VERIFY(w.ListMenu()->isVisible());
    QVERIFY(w.DeleteAction()->isEnabled());
    w.DeleteAction()->trigger();
    QCOMPARE(rig.ListRows(), (QStringList{"445", "139"}));
    QSettings ini(rig.IniPath(), QSettings::IniFormat);
    QCOMPARE(ini.value("BlockedLocalPortsString").toString(), QString("445,139"));
    // A line chosen in one list is not chosen in the next, though it stays in place there.
    ClickRow(w, 0, Qt::LeftButton);
    Click(rig.Button(ControlId::cmdBlockedRemote));
    QCOMPARE(rig.ListRows(), QStringList{"445"});
    QVERIFY(!w.ListRowSelected(0));
}

void MainWindowQtTest::keysActAsTheirControls_data() {
    QTest::addColumn<ControlId>("mode");
    QTest::addColumn<int>("key");
    QTest::addColumn<QStringList>("rows"); // none: the lines stay as they were
    QTest::newRow("Enter in the entry adds")
        << ControlId::cmdBlockedLocal << int(Qt::Key_Return) << QStringList{"135", "445", "8080"};
    QTest::newRow("Delete in a rule list deletes the chosen rule")
        << ControlId::cmdBlockedLocal << int(Qt::Key_Delete) << QStringList{"445"};
    QTest::newRow("Delete in the connections does nothing")
        << ControlId::cmdCurrentConnections << int(Qt::Key_Delete) << QStringList{};
}

void MainWindowQtTest::keysActAsTheirControls() {
    QFETCH(ControlId, mode);
    QFETCH(int, key);
    QFETCH(QStringList, rows);
    QtRig rig;
    rig.store.Write("KorvanTessivo", "General", "BlockedLocalPortsString", "135,445");
    rig.table.rows = {MakeRow(TcpEstablished, Loopback(2), 40000, Loopback(3), 8080)};
    QVERIFY(rig.app.StartUp());
    rig.Cycle();
    QtMainWindow& w = rig.Window();
    Click(rig.Button(mode));
    w.ItemBox()->setText("8080");
    const QStringList before = rig.ListRows();
    QVERIFY(!before.isEmpty());
    ClickRow(w, 0, Qt::LeftButton);
    QTest::keyClick(key == Qt::Key_Delete ? static_cast<QWidget*>(w.List()) : w.ItemBox(),
                    Qt::Key(key));
    QCOMPARE(rig.ListRows(), rows.isEmpty() ? before : rows);
    QCOMPARE(w.ItemBox()->text(), QString("8080"));
}

void MainWindowQtTest::addLocalAddressesAsksFirst() {
    QtRig rig;
    QVERIFY(rig.app.StartUp());
    Click(rig.Button(ControlId::cmdAllowedIP));

    rig.host.answers = {MessageAnswer::Cancel};
    Click(rig.Button(ControlId::cmdAddLocal));
    QCOMPARE(rig.host.messages, std::vector<std::string>{"Add Local IP's to Allowed?"});
    QCOMPARE(rig.host.messageButtons.back(), MessageButtons::OkCancel);
    QCOMPARE(rig.ListRows(), QStringList{"127.0.0.1"});

    rig.host.answers = {MessageAnswer::Ok};
    Click(rig.Button(ControlId::cmdAddLocal));
    QCOMPARE(rig.host.messages.size(), size_t{2});
    QCOMPARE(rig.ListRows(), (QStringList{"127.0.0.1", "10.1.2.3", "192.168.7.7"}));
}

void MainWindowQtTest::checkBoxFiltersTheConnectionView() {
    QtRig rig;
    rig.table.rows = {MakeRow(TcpEstablished, Loopback(2), 40000, Loopback(3), 8080),
                      MakeRow(TcpListening, Loopback(3), 8080, 0, 0)};
    QVERIFY(rig.app.StartUp());
    rig.Cycle();
    QCOMPARE(rig.ListRows().size(), 1);
    QCheckBox* box = rig.Window().ShowConnectedBox();
    QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QVERIFY(!box->isChecked());
    // The empty box is drawn whole: the middle of each side is darker than the inside.
    const QImage shot = box->grab().toImage();
    const int w = shot.width() - 1, h = shot.height() - 1;
    for (const QPoint side :
         {QPoint(w / 2, 0), QPoint(w / 2, h), QPoint(0, h / 2), QPoint(w, h / 2)})
        QVERIFY(qGray(shot.pixel(side)) + 40 < qGray(shot.pixel(w / 2, h / 2)));
    QCOMPARE(rig.ListRows().size(), 2);
    QVERIFY(rig.ListRows().join("|").contains("LISTEN"));

    // In another mode the box leaves the list alone.
    Click(rig.Button(ControlId::cmdAllowedIP));
    QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QVERIFY(box->isChecked());
    QCOMPARE(rig.ListRows(), QStringList{"127.0.0.1"});
}

void MainWindowQtTest::minimizingHidesToTheTrayAndTheTrayBringsItBack() {
    QtRig rig(true);
    rig.table.listChanges = true; // as the kernel guard's table
    QVERIFY(rig.app.StartUp());
    const List& lines = rig.app.AppManager->oCurrentConnections;
    QtMainWindow& w = rig.Window();
    QSystemTrayIcon* tray = w.TrayIcon();
    QVERIFY(tray != nullptr);
    QCOMPARE(tray->toolTip().section('\n', 0, 0), w.windowTitle());
    QVERIFY(!tray->icon().pixmap(32, 32).isNull());

    // Shown normally: the icon's clicks change nothing.
    emit tray->activated(QSystemTrayIcon::Context);
    QVERIFY(w.isVisible());
    QCOMPARE(w.GetState(), WindowState::Normal);

    struct Case {
        QSystemTrayIcon::ActivationReason reason;
        WindowState after;
    };
    for (const Case c : {Case{QSystemTrayIcon::Trigger, WindowState::Normal},
                         Case{QSystemTrayIcon::DoubleClick, WindowState::Normal},
                         Case{QSystemTrayIcon::Context, WindowState::Minimized}}) {
        if (w.GetState() != WindowState::Minimized) {
            w.setWindowState(Qt::WindowMinimized);
        } else {
            w.Hide();
        }
        QTRY_VERIFY(!w.isVisible());
        QCOMPARE(w.GetState(), WindowState::Minimized);
        // Hidden, the table changes and nobody sees it: no line is made...
        const int32_t made = lines.GetItemCount();
        rig.table.rows.push_back(
            MakeRow(TcpEstablished, Loopback(2), uint16_t(7000 + made), Loopback(3), 80));
        rig.Cycle();
        rig.Cycle();
        QCOMPARE(lines.GetItemCount(), made);
        // A middle click over the icon does nothing.
        emit tray->activated(QSystemTrayIcon::MiddleClick);
        QVERIFY(!w.isVisible());
        emit tray->activated(c.reason);
        QTRY_VERIFY(w.isVisible());
        QCOMPARE(w.GetState(), c.after);
        // ...until it is shown.
        QCOMPARE(rig.ListRows().size(), made + 1);
        QCOMPARE(rig.ListRows().back(),
                 QString("%1 <--> 127.0.0.3:80 ESTABLISHED").arg(7000 + made));
    }

    w.close();
    QCOMPARE(w.TrayIcon(), nullptr);
}

void MainWindowQtTest::titleAndTraySayWhatGuards_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("cuts");
    QTest::newRow("polling") << "polling"
                             << "guarding (polling)"
                             << "1 cut since start";
    QTest::newRow("kernel guard") << "guard"
                                  << "guarding (kernel guard)"
                                  << "1 cut since start";
    QTest::newRow("no right to cut") << "view"
                                     << "view only"
                                     << "0 cuts since start";
    QTest::newRow("service") << "service"
                             << "guarded by the service"
                             << "1 cut since start";
}

void MainWindowQtTest::titleAndTraySayWhatGuards() {
    QFETCH(QString, mode);
    QFETCH(QString, title);
    QFETCH(QString, cuts);
    FakeGuard guard;
    QtRig rig(true, [&](Platform& platform) {
        platform.Guard = mode == "guard" ? &guard : nullptr;
        platform.MissingRights = [view = mode == "view"] {
            return std::string(view ? "the program lacks CAP_NET_ADMIN" : "");
        };
    });
    rig.table.refuseDeletes = mode == "view";
    rig.store.Write("KorvanTessivo", "General", "BlockedRemotePortsString", "8080");
    rig.app.SetGuardedByService(mode == "service");
    QVERIFY(rig.app.StartUp());
    const QString caption = QString::fromUtf8("Korvan Tessivo v1.0 Build 15 \u2014 ") + title;
    QCOMPARE(rig.Window().windowTitle(), caption); // from the first moment it is shown
    rig.table.rows = {MakeRow(TcpEstablished, Loopback(2), 40000, Loopback(3), 8080)};
    for (int tick = 0; tick < 3; ++tick) { // cut, then confirmed gone
        rig.app.Tick();
    }
    QCOMPARE(rig.Window().windowTitle(), caption);
    QCOMPARE(rig.Window().TrayIcon()->toolTip(), caption + '\n' + cuts);
}

void MainWindowQtTest::aSecondStartBringsTheHiddenWindowBack() {
    QtRig rig(true);
    QVERIFY(rig.app.StartUp());
    QtMainWindow& w = rig.Window();
    w.setWindowState(Qt::WindowMinimized);
    QTRY_VERIFY(!w.isVisible());
    QtHost second(rig.folder.path() + "/run");
    QVERIFY(second.PreviousInstance());
    std::string why;
    std::atomic<int> answer = -1;
    std::thread ask([&] { answer = second.AskRunningCopyToShow(why) ? 1 : 0; });
    QTRY_VERIFY(answer >= 0); // the window's loop answers meanwhile
    ask.join();
    QVERIFY2(answer == 1, why.c_str());
    QVERIFY(w.isVisible());
    QCOMPARE(w.GetState(), WindowState::Normal);
}

void MainWindowQtTest::entriesLeftOutAreListedAndKeptUntilTheRulesChange_data() {
    QTest::addColumn<bool>("change");
    QTest::newRow("closed as it was") << false;
    QTest::newRow("local addresses added") << true;
}

void MainWindowQtTest::entriesLeftOutAreListedAndKeptUntilTheRulesChange() {
    QFETCH(bool, change);
    QtRig rig;
    const QByteArray stored = "[General]\nAllowedIPString=127.0.0.1,127.0.0.256\n"
                              "BlockedLocalPortsString=70000,22\nBlockedRemotePortsString=abc\n";
    QVERIFY(QDir().mkpath(QFileInfo(rig.IniPath()).path()));
    QFile file(rig.IniPath());
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(stored) == stored.size());
    file.close();
    QVERIFY(rig.app.StartUp());
    rig.app.ShowToldMessages();
    QCOMPARE(rig.host.messages.size(), size_t{1});
    for (const char* entry : {"\"127.0.0.256\"", "\"70000\"", "\"abc\""}) {
        QVERIFY2(rig.host.messages[0].find(entry) != std::string::npos, entry);
    }
    if (change) {
        Click(rig.Button(ControlId::cmdAddLocal)); // answered OK
    }
    QVERIFY(rig.Window().close());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray after = file.readAll();
    QVERIFY2(change ? after.contains("10.1.2.3") && !after.contains("abc") : after == stored,
             after.constData());
}

void MainWindowQtTest::withoutATrayMinimizingKeepsTheWindow() {
    QtRig rig(false);
    QVERIFY(rig.app.StartUp());
    QtMainWindow& w = rig.Window();
    QCOMPARE(w.TrayIcon(), nullptr);
    w.setWindowState(Qt::WindowMinimized);
    rig.host.DoEvents();
    QVERIFY(w.isVisible());
    QCOMPARE(w.GetState(), WindowState::Minimized);
    // Brought to the front while minimized, as the tray's right click does, it is not
    // activated: the desktop restores a window it activates.
    QWidget other;
    other.show();
    QTRY_VERIFY(other.isActiveWindow());
    w.BringToFront();
    rig.host.DoEvents();
    QVERIFY(!w.isActiveWindow() && w.GetState() == WindowState::Minimized);
    // Restored while visible: the connection lines are rebuilt.
    rig.table.rows = {MakeRow(TcpEstablished, Loopback(2), 40001, Loopback(3), 9090)};
    rig.Cycle();
    w.setWindowState(Qt::WindowNoState);
    QCOMPARE(w.GetState(), WindowState::Normal);
    QCOMPARE(rig.ListRows(), QStringList{"40001 <--> 127.0.0.3:9090 ESTABLISHED"});
}

void MainWindowQtTest::closingSavesAllThreeKeysAndEndsTheLoop() {
    QtRig rig(true);
    QVERIFY(rig.app.StartUp());
    QVERIFY(!QFile::exists(rig.IniPath()));
    QVERIFY(rig.Window().close());
    QVERIFY(rig.app.QuitRequested);
    QVERIFY(!rig.Window().isVisible());
    QCOMPARE(rig.Window().TrayIcon(), nullptr);
    QSettings ini(rig.IniPath(), QSettings::IniFormat);
    // QSettings reads the section [General] as its top level.
    QCOMPARE(ini.allKeys(), (QStringList{"AllowedIPString", "BlockedLocalPortsString",
                                         "BlockedRemotePortsString"}));
    QFile file(rig.IniPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().startsWith("[General]"));
    QCOMPARE(ini.value("AllowedIPString").toString(), QString("127.0.0.1"));

    const int snapshots = rig.table.snapshots;
    rig.app.MainLoop();
    QCOMPARE(rig.table.snapshots, snapshots + 1);
    rig.app.Shutdown();
    QVERIFY(rig.host.ended);
}

void MainWindowQtTest::stopSignalClosesTheWindow() {
    QtRig rig;
    QVERIFY(rig.app.StartUp());
    StopSignals stop([&rig] { rig.Window().close(); });
    QVERIFY(stop.Active());
    QVERIFY(::kill(::getpid(), SIGTERM) == 0);
    QTRY_VERIFY(rig.app.QuitRequested);
    QVERIFY(QFile::exists(rig.IniPath()));
    QVERIFY(!rig.Window().isVisible());
}

void MainWindowQtTest::aStopEndsTheProcessEvenWhenTheWayOutHangs() {
    const auto started = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        StopSignals stop([] { std::this_thread::sleep_for(std::chrono::seconds(30)); });
        ::raise(SIGTERM);
        for (int i = 0; i < 3000; ++i) {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::_exit(0);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    QVERIFY(std::chrono::steady_clock::now() - started < std::chrono::seconds(4));
}

void MainWindowQtTest::readmeAndWebsiteGoToTheDesktop() {
    QtRig rig;
    QVERIFY(rig.app.StartUp());
    UrlCatcher catcher;
    Click(rig.Button(ControlId::cmdReadme));
    rig.app.MainWindow()->Website = ""; // without a page: the read-me's folder
    Click(rig.Button(ControlId::cmdWebsite));
    rig.app.MainWindow()->Website = "https://korvan.example/tessivo";
    Click(rig.Button(ControlId::cmdWebsite));
    QCOMPARE(catcher.opened.size(), 3);
    QCOMPARE(catcher.opened[0],
             QUrl::fromLocalFile(QCoreApplication::applicationDirPath() + "/readme.txt"));
    QCOMPARE(catcher.opened[1], QUrl::fromLocalFile(QCoreApplication::applicationDirPath() + "/"));
    QCOMPARE(catcher.opened[2], QUrl("https://korvan.example/tessivo"));
    QVERIFY(rig.host.messages.empty());
}

// The offscreen platform opens nothing, as a desktop without a text viewer.
void MainWindowQtTest::aReadmeNothingOpensIsToldInABox() {
    QtRig rig;
    QVERIFY(rig.app.StartUp());
    Click(rig.Button(ControlId::cmdReadme));
    QCOMPARE(rig.host.messages.size(), size_t{1});
    QVERIFY(QString::fromStdString(rig.host.messages[0])
                .contains(QCoreApplication::applicationDirPath() + "/readme.txt"));
}

void MainWindowQtTest::secondHostOnTheSameLockIsAPreviousInstance() {
    QTemporaryDir folder;
    {
        QtHost first(folder.path());
        QVERIFY(!first.PreviousInstance());
        QVERIFY(!first.PreviousInstance());
        QtHost second(folder.path());
        QVERIFY(second.PreviousInstance());
    }
    // The first copy is gone: its lock went with it, and what the file holds does not matter.
    QFile garbage(folder.filePath("KorvanTessivo.lock"));
    QVERIFY(garbage.open(QIODevice::WriteOnly) && garbage.write("99999\nhost\nname") > 0);
    garbage.close();
    QtHost third(folder.path());
    QVERIFY(!third.PreviousInstance());
    // A lock folder that cannot be used does not stop the program.
    QtHost nowhere(folder.path() + "/missing/deeper");
    QVERIFY(!nowhere.PreviousInstance());
}

void MainWindowQtTest::messageBoxCarriesTheTitleAndAnswersTheButtonPressed() {
    QTemporaryDir folder;
    QtHost host(folder.path());
    struct Case {
        MessageButtons buttons;
        QMessageBox::StandardButton press;
        QMessageBox::StandardButtons shown;
        MessageAnswer answer;
    };
    for (const Case c :
         {Case{MessageButtons::OkCancel, QMessageBox::Cancel, QMessageBox::Ok | QMessageBox::Cancel,
               MessageAnswer::Cancel},
          Case{MessageButtons::OkCancel, QMessageBox::Ok, QMessageBox::Ok | QMessageBox::Cancel,
               MessageAnswer::Ok},
          Case{MessageButtons::Ok, QMessageBox::Ok, QMessageBox::Ok, MessageAnswer::Ok}}) {
        QString title, text;
        QMessageBox::StandardButtons shown;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box != nullptr);
            title = box->windowTitle();
            text = box->text();
            shown = box->standardButtons();
            box->button(c.press)->click();
        });
        QCOMPARE(host.ShowMessage("Add Local IP's to Allowed?", c.buttons), c.answer);
        QCOMPARE(title, QString("Korvan Tessivo"));
        QCOMPARE(text, QString("Add Local IP's to Allowed?"));
        QCOMPARE(shown, c.shown);
    }
}

void MainWindowQtTest::blockedConnectionIsCutWhileAMessageBoxIsOpen() {
    QtRig rig;
    rig.host.realBoxes = true;
    rig.store.Write("KorvanTessivo", "General", "BlockedRemotePortsString", "8080");
    QVERIFY(rig.app.StartUp());
    Click(rig.Button(ControlId::cmdBlockedRemote));
    rig.Window().ItemBox()->setText("70000");
    // Once the box is up, a blocked connection opens; the box stays until it is cut (or 2 s).
    bool cutWhileOpen = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            watch.stop();
            rig.table.rows = {MakeRow(TcpEstablished, Loopback(2), 40000, Loopback(3), 8080)};
            cutWhileOpen = QTest::qWaitFor([&] { return rig.table.rows.empty(); }, 2000);
            box->button(QMessageBox::Ok)->click();
        }
    });
    watch.start(5);
    Click(rig.Button(ControlId::cmdAdd));
    QCOMPARE(rig.host.messages, std::vector<std::string>{std::string(InvalidPortMessage)});
    QVERIFY(cutWhileOpen);
}

void MainWindowQtTest::placeAndSelectionSurviveAChangeOfAnotherLine() {
    QtRig rig;
    for (uint16_t port = 1000; port < 1300; ++port) {
        rig.table.rows.push_back(MakeRow(TcpEstablished, Loopback(2), port, Loopback(3), 80));
    }
    QVERIFY(rig.app.StartUp());
    rig.Cycle();
    QListView* list = rig.Window().List();
    list->scrollTo(list->model()->index(150, 0), QAbstractItemView::PositionAtTop);
    ClickRow(rig.Window(), 152, Qt::LeftButton);
    const int top = list->indexAt(QPoint(1, 1)).row();
    const QStringList before = rig.ListRows();
    rig.table.rows[200].dwRemotePort = PortToField(81);
    rig.Cycle();
    rig.app.AppManager->RefreshCurrentConnections();
    QVERIFY(top > 100 && rig.ListRows()[200] != before[200]);
    QCOMPARE(list->indexAt(QPoint(1, 1)).row(), top);
    QCOMPARE(list->selectionModel()->selectedIndexes(), {list->model()->index(152, 0)});
}

QTEST_MAIN(MainWindowQtTest)
#include "MainWindowQtTest.moc"

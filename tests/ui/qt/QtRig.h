#pragma once

// The real Qt window and program core over test doubles: a host whose message boxes are answered
// by the test, settings in an INI file of a temporary folder, and a connection table the test
// fills.

#include "../../fakes/Fakes.h"
#include "core/Application.h"
#include "core/qt/QtSettingsStore.h"
#include "engine/Engine.h"
#include "ui/qt/CommandButton.h"
#include "ui/qt/QtHost.h"
#include "ui/qt/QtMainWindow.h"

#include <QCursor>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kt::testing {

class TestHost : public QtHost {
public:
    explicit TestHost(const QString& lockFolder) : QtHost(lockFolder) {}
    MessageAnswer ShowMessage(std::string_view text, MessageButtons buttons) override {
        messages.emplace_back(text);
        messageButtons.push_back(buttons);
        if (realBoxes) {
            return QtHost::ShowMessage(text, buttons);
        }
        if (answers.empty()) {
            return MessageAnswer::Ok;
        }
        const MessageAnswer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void End() override { ended = true; }
    void Diagnose(std::string_view line) override {
        diagnosed.emplace_back(line);
        QtHost::Diagnose(line);
    }

    std::vector<std::string> messages;
    std::vector<std::string> diagnosed; // the lines for standard error
    std::vector<MessageButtons> messageButtons;
    std::deque<MessageAnswer> answers;
    // The real box, answered by whoever clicks it.
    bool realBoxes = false;
    bool ended = false;
};

// As a user clicks: the cursor comes over the button first, from outside it (a cursor left there
// by an earlier window would not arrive).
inline void Click(CommandButton& button) {
    const QPoint centre = button.rect().center();
    QCursor::setPos(button.window()->mapToGlobal(QPoint(0, 0)));
    QCursor::setPos(button.mapToGlobal(centre));
    QTest::mouseMove(&button, centre);
    QTest::mouseClick(&button, Qt::LeftButton, Qt::NoModifier, centre);
}

struct QtRig {
    // adjust changes what the program is made of before it is made.
    explicit QtRig(bool trayAvailable = false, const std::function<void(Platform&)>& adjust = {})
        : host(folder.path() + "/run"), store((folder.path() + "/config").toStdString()),
          windows([trayAvailable] { return trayAvailable; }),
          app(Adjusted(Platform{host, store, table, windows,
                                [] { return std::string("10.1.2.3 192.168.7.7 "); },
                                FormatDottedAddress, testing::SteppingClock()},
                       adjust)) {
        QDir().mkpath(folder.path() + "/run");
    }
    static Platform Adjusted(Platform platform, const std::function<void(Platform&)>& adjust) {
        if (adjust) {
            adjust(platform);
        }
        return platform;
    }

    QtMainWindow& Window() { return *windows.LastWindow(); }
    CommandButton& Button(ControlId id) { return *Window().Button(id); }
    // One cycle of the main loop, without its sleep.
    void Cycle() {
        app.GetEngine()->PollConnections();
        host.DoEvents();
    }
    QString IniPath() const { return QString::fromStdString(store.FilePath("KorvanTessivo")); }
    QStringList ListRows() {
        QStringList rows;
        for (int32_t i = 0; i < Window().ListRowCount(); ++i) {
            rows << QString::fromStdString(Window().ListRowText(i));
        }
        return rows;
    }

    QTemporaryDir folder;
    TestHost host;
    QtSettingsStore store;
    FakeTcpTable table;
    QtMainWindowFactory windows;
    Application app;
};

} // namespace kt::testing

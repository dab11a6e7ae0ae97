// Korvan Tessivo on Linux: the Qt window over the netlink connection table.

#include "core/Application.h"
#include "core/qt/QtSettingsStore.h"
#include "engine/linux/NetlinkTcpTable.h"
#include "net/LocalAddresses.h"
#include "ui/qt/QtHost.h"
#include "ui/qt/QtMainWindow.h"
#include "ui/qt/StopSignals.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication qtApp(argc, argv);
    // The program's own loop ends it; closing or hiding a window must not stop anything else.
    QApplication::setQuitOnLastWindowClosed(false);

    kt::QtHost host;
    kt::QtSettingsStore store;
    kt::NetlinkTcpTable table;
    kt::QtMainWindowFactory windows;
    kt::Application app(
        kt::Platform{host, store, table, windows, [&host] { return kt::GetIP(host); }});

    // Stopped from outside: close the window as the user would, which saves the rules.
    const kt::StopSignals stop([&windows, &app] {
        if (kt::QtMainWindow* window = windows.LastWindow()) {
            window->close();
        } else {
            app.QuitRequested = true;
        }
    });

    app.Main();
    return 0;
}

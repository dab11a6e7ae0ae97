// Korvan Tessivo on Linux: the Qt window over the kernel guard, or the netlink connection table
// where the guard cannot load.

#include "core/Application.h"
#include "core/qt/QtSettingsStore.h"
#include "engine/linux/GuardedTable.h"
#include "net/LocalAddresses.h"
#include "ui/qt/Privileges.h"
#include "ui/qt/QtHost.h"
#include "ui/qt/QtMainWindow.h"
#include "ui/qt/StopSignals.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[]) {
    // Before Qt reads a single path from the environment.
    if (const kt::DroppedRights rights = kt::DropRightsInSecureMode(); !rights.said.empty()) {
        std::fprintf(stderr, "Korvan Tessivo: %s\n", rights.said.c_str());
        if (!rights.ok) {
            return 1;
        }
    }
    QApplication qtApp(argc, argv);
    // The program's own loop ends it; closing or hiding a window must not stop anything else.
    QApplication::setQuitOnLastWindowClosed(false);

    kt::QtHost host;
    // A second copy ends at once and silently, before it loads anything into the kernel.
    if (host.PreviousInstance()) {
        return 0;
    }
    kt::QtSettingsStore store;
    // The rules reach the guard once they are loaded.
    std::string whyNot;
    kt::GuardedTable table({}, whyNot);
    if (!whyNot.empty()) {
        std::fprintf(stderr,
                     "Korvan Tessivo: the kernel guard could not load (%s). Guarding by polling "
                     "the connection table instead: cuts take milliseconds rather than "
                     "microseconds, and the program uses part of a core while idle.\n",
                     whyNot.c_str());
    }
    kt::QtMainWindowFactory windows;
    kt::Platform platform{host, store, table, windows, [&host] { return kt::GetIP(host); }};
    platform.Guard = whyNot.empty() ? &table : nullptr;
    kt::Application app(platform);

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

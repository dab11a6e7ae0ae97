#pragma once

#include <QString>
#include <QStringList>

namespace kt {

// What the command line asks for. Read before any Qt application exists, so that --help and a
// wrong option work without a display.
struct ProgramOptions {
    enum class Action { Run, Help, Version, UsageError };
    Action action = Action::Run;
    bool headless = false;
    QString configFile; // empty: the user's own rules file
    // Headless: the control socket it listens on (empty: none); the window: the service's
    // socket it looks for (empty: the default).
    QString controlPath;
    QString controlGroup = QStringLiteral("korvan-tessivo"); // who besides root may use it
    QString platform;                                        // Qt's -platform, when given
    QString text; // what Help, Version and UsageError print
};

// arguments as main gets them, the program's name first. Qt's own options (-platform, -style,
// ...) are accepted and left for Qt, which takes them from argv itself.
ProgramOptions ParseProgramOptions(const QStringList& arguments);

// Whether a window can be shown: DISPLAY or WAYLAND_DISPLAY is set, or Qt is told (by -platform
// or QT_QPA_PLATFORM) to use a platform that draws without one, such as offscreen.
bool DisplayReachable(const QString& platformOption);

} // namespace kt

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
    QString configFile;  // empty: the user's own rules file
    QString controlPath; // headless: the control socket; empty: none
    QString controlGroup = QStringLiteral("korvan-tessivo"); // who besides root may use it
    QString text; // what Help, Version and UsageError print
};

// arguments as main gets them, the program's name first. Qt's own options (-platform, -style,
// ...) are accepted and left for Qt, which takes them from argv itself.
ProgramOptions ParseProgramOptions(const QStringList& arguments);

} // namespace kt

#include "ui/qt/ProgramOptions.h"

#include "core/CommandLine.h"
#include "core/HostServices.h"

#include <QCommandLineParser>

namespace kt {
namespace {

// Qt's options as QGuiApplication and QApplication take them, each with one dash.
const char* const kQtOptionsWithValue[] = {"platform",      "platformpluginpath",
                                           "platformtheme", "plugin",
                                           "qmljsdebugger", "qwindowgeometry",
                                           "qwindowicon",   "qwindowtitle",
                                           "session",       "display",
                                           "geometry",      "style",
                                           "stylesheet",    "title",
                                           "name",          "visual",
                                           "fontengine"};
const char* const kQtFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

QString Usage() {
    return QStringLiteral(
        "Usage: korvan-tessivo [options]\n"
        "Cuts every established TCP connection on a blocked local or remote port whose remote\n"
        "address is not allowed.\n"
        "\n"
        "Options:\n"
        "  -h, --help       Shows this text and ends.\n"
        "  -v, --version    Shows the version and ends.\n"
        "  --headless       Guards without a window, tray or display (as the service does);\n"
        "                   each cut goes to standard error; SIGHUP or a change of the rules\n"
        "                   file reloads it; SIGTERM ends it.\n"
        "  --config FILE    The rules file (default:\n"
        "                   $XDG_CONFIG_HOME/KorvanTessivo/KorvanTessivo.ini).\n"
        "  --control PATH   With --headless: listens on the Unix socket PATH, where root and\n"
        "                   the members of the control group read and change the rules and\n"
        "                   watch the connections and the cuts. The window: the socket of the\n"
        "                   service it shows and edits when one runs (default:\n"
        "                   /run/korvan-tessivo/control).\n"
        "  --control-group NAME  The control group (default: korvan-tessivo).\n"
        "\n"
        "Qt's own options (-platform, -style, ...) are passed to Qt.\n");
}

} // namespace

ProgramOptions ParseProgramOptions(const QStringList& arguments) {
    QCommandLineParser parser;
    // Qt's options come with one dash and a whole word: -platform offscreen.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    const QCommandLineOption headless(QStringLiteral("headless"));
    const QCommandLineOption config(QStringLiteral("config"), {}, QStringLiteral("FILE"));
    const QCommandLineOption control(QStringLiteral("control"), {}, QStringLiteral("PATH"));
    const QCommandLineOption controlGroup(QStringLiteral("control-group"), {},
                                          QStringLiteral("NAME"));
    parser.addOptions({help, version, headless, config, control, controlGroup});
    for (const char* name : kQtOptionsWithValue) {
        parser.addOption(
            QCommandLineOption(QString::fromLatin1(name), {}, QStringLiteral("value")));
    }
    for (const char* name : kQtFlags) {
        parser.addOption(QCommandLineOption(QString::fromLatin1(name)));
    }

    ProgramOptions options;
    if (!parser.parse(arguments)) {
        options.action = ProgramOptions::Action::UsageError;
        options.text = parser.errorText() + u'\n' + Usage();
        return options;
    }
    if (!parser.positionalArguments().isEmpty()) {
        options.action = ProgramOptions::Action::UsageError;
        options.text = QStringLiteral("Unexpected argument '%1'.\n")
                           .arg(parser.positionalArguments().constFirst()) +
                       Usage();
        return options;
    }
    if (parser.isSet(help)) {
        options.action = ProgramOptions::Action::Help;
        options.text = Usage();
        return options;
    }
    if (parser.isSet(version)) {
        options.action = ProgramOptions::Action::Version;
        options.text = QString::fromStdString(VersionText(VersionInfo{}) + '\n');
        return options;
    }
    options.headless = parser.isSet(headless);
    options.platform = parser.value(QStringLiteral("platform"));
    options.configFile = parser.value(config);
    options.controlPath = parser.value(control);
    if (parser.isSet(controlGroup)) {
        options.controlGroup = parser.value(controlGroup);
    }
    if (parser.isSet(config) && options.configFile.isEmpty()) {
        options.action = ProgramOptions::Action::UsageError;
        options.text = QStringLiteral("--config needs a file.\n") + Usage();
    } else if ((parser.isSet(control) && options.controlPath.isEmpty()) ||
               options.controlGroup.isEmpty() ||
               (options.headless && parser.isSet(controlGroup) && !parser.isSet(control))) {
        options.action = ProgramOptions::Action::UsageError;
        options.text =
            QStringLiteral("--control needs a path, --control-group a name (and, headless, "
                           "--control).\n") +
            Usage();
    }
    return options;
}

bool DisplayReachable(const QString& platformOption) {
    if (!qEnvironmentVariableIsEmpty("DISPLAY") ||
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        return true;
    }
    // Platforms that need no display server: they draw in memory, to a frame buffer or to VNC.
    static const QStringList kWithoutDisplay = {
        QStringLiteral("offscreen"),   QStringLiteral("minimal"), QStringLiteral("minimalegl"),
        QStringLiteral("linuxfb"),     QStringLiteral("eglfs"),   QStringLiteral("vnc"),
        QStringLiteral("vkkhrdisplay")};
    // "name:option=value", or several names separated by ';', each tried in turn.
    const QString named =
        platformOption.isEmpty() ? qEnvironmentVariable("QT_QPA_PLATFORM") : platformOption;
    for (const QString& platform : named.split(u';', Qt::SkipEmptyParts)) {
        if (kWithoutDisplay.contains(platform.section(u':', 0, 0).trimmed())) {
            return true;
        }
    }
    return false;
}

} // namespace kt

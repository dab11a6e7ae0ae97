// Korvan Tessivo on Linux: the Qt window, or the guard alone (--headless), over the kernel guard,
// or the netlink connection table where the guard cannot load.

#include "core/Application.h"
#include "core/CutLog.h"
#include "core/Settings.h"
#include "core/qt/QtSettingsStore.h"
#include "engine/linux/GuardedTable.h"
#include "manager/Manager.h"
#include "net/LocalAddresses.h"
#include "net/linux/InterfaceList.h"
#include "service/ControlSocket.h"
#include "service/ServiceRun.h"
#include "service/StopSignals.h"
#include "ui/qt/ControlClient.h"
#include "ui/qt/Privileges.h"
#include "ui/qt/ProgramOptions.h"
#include "ui/qt/QtHost.h"
#include "ui/qt/QtMainWindow.h"
#include "ui/qt/ServiceFace.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <linux/capability.h>
#include <memory>
#include <optional>

namespace {

void Say(std::string_view line) {
    std::fprintf(stderr, "Korvan Tessivo: %.*s\n", static_cast<int>(line.size()), line.data());
}

// The service's own folder for its lock when systemd made one; else the user's.
QString HeadlessLockFolder() {
    const QString runtime = qEnvironmentVariable("RUNTIME_DIRECTORY").section(u':', 0, 0);
    return runtime.startsWith(u'/') ? runtime : QString();
}

// Neither mode starts on a named file that is not there. Headless mode also refuses rules it
// cannot trust: any file that is cut short or holds an invalid entry; the window loads what it
// can and lists what it left out. Without a named file, the user's file may be missing: the
// default rules then. why: what is wrong with the file, unless Usable.
enum class Rules { Usable, Defaults, Unusable };
Rules RulesUsable(kt::SettingsStore& store, bool named, bool headless, std::string& why) {
    kt::Manager scratch(store, {});
    if (kt::ReloadSettings(scratch, store, why)) {
        return Rules::Usable;
    }
    const bool missing = store.Refusal().empty() && why == "it is not there";
    if (!named && missing) {
        return Rules::Defaults;
    }
    return !headless && !missing ? Rules::Usable : Rules::Unusable;
}

// How to start this very program as root from where it was started: by its name where the
// installed one is found on the path, else by its full path (a build folder's), with whether it
// is the installed one.
std::string RootCommand(bool headless, bool& installed) {
    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("korvan-tessivo"));
    installed = !onPath.isEmpty() && QFileInfo(onPath).canonicalFilePath() == self;
    QString command = installed ? QStringLiteral("korvan-tessivo") : self;
    if (!installed && command.contains(QRegularExpression(QStringLiteral("[^\\w/.+-]")))) {
        command = u'\'' + QString(command).replace(u'\'', QStringLiteral("'\\''")) + u'\'';
    }
    return "sudo " + command.toStdString() + (headless ? " --headless" : "");
}

std::string RightsHint(bool headless) {
    bool installed = false;
    const std::string command = RootCommand(headless, installed);
    std::string hint =
        headless ? "Run it as root (" + command + ")" : "Run the window as root (" + command + ")";
    // The service is there only where the package put it.
    if (installed) {
        hint += headless ? ", or as the service (systemctl enable --now korvan-tessivo)"
                         : ", or let the service guard by its own rules "
                           "(/etc/korvan-tessivo/KorvanTessivo.ini; systemctl enable --now "
                           "korvan-tessivo)";
    }
    return hint + '.';
}

} // namespace

int main(int argc, char* argv[]) {
    // Before Qt reads a single path from the environment.
    if (const kt::DroppedRights rights = kt::DropRightsInSecureMode(); !rights.said.empty()) {
        Say(rights.said);
        if (!rights.ok) {
            return 1;
        }
    }
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    const kt::ProgramOptions options = kt::ParseProgramOptions(arguments);
    switch (options.action) {
    case kt::ProgramOptions::Action::Help:
    case kt::ProgramOptions::Action::Version:
        std::fputs(options.text.toLocal8Bit().constData(), stdout);
        return 0;
    case kt::ProgramOptions::Action::UsageError:
        std::fputs(options.text.toLocal8Bit().constData(), stderr);
        return 2;
    case kt::ProgramOptions::Action::Run:
        break;
    }
    const bool headless = options.headless;
    if (!headless && !kt::DisplayReachable(options.platform)) {
        Say("the window needs a display, and neither DISPLAY nor WAYLAND_DISPLAY is set; to guard "
            "without one, run korvan-tessivo --headless");
        return 2;
    }
    // A stop that comes while the program starts waits for the handlers that end it cleanly.
    sigset_t stops;
    sigemptyset(&stops);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&stops, signal);
    }
    ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    // The window and the service each have a lock of their own: they may run side by side.
    kt::QtHost host(headless ? HeadlessLockFolder() : QString(),
                    headless ? QStringLiteral("KorvanTessivo-headless.lock")
                             : QStringLiteral("KorvanTessivo.lock"));
    // A second window ends at once and silently, before it loads anything into the kernel.
    if (host.PreviousInstance()) {
        if (!host.LockRefusal().empty()) {
            Say(host.LockRefusal() + "; not starting");
            if (!headless) {
                const QApplication box(argc, argv);
                host.ShowMessage("Korvan Tessivo does not start: " + host.LockRefusal() + ".",
                                 kt::MessageButtons::Ok);
            }
            return 1;
        }
        if (headless) {
            Say("another headless copy is running already");
            return 1;
        }
        // The running window comes back from the tray instead.
        const QCoreApplication ask(argc, argv);
        if (std::string why; !host.AskRunningCopyToShow(why)) {
            Say("a copy is running already, but its window did not come back (" + why + ")");
            return 1;
        }
        return 0;
    }
    // The control socket right after the lock, before any right is given up: a socket made here
    // gets its group, which takes CAP_CHOWN. Under systemd the socket unit makes it.
    const bool control = headless && !options.controlPath.isEmpty();
    kt::UniqueFd controlFd;
    std::string noControl;
    if (control) {
        const std::string path = options.controlPath.toStdString();
        switch (kt::TakeHandedSocket(path, controlFd, noControl)) {
        case kt::Handed::Refused:
            Say(noControl + "; not starting");
            return 1;
        case kt::Handed::Taken:
            break;
        case kt::Handed::None:
            if (kt::StartedBySystemd()) {
                Say("started by systemd without the control socket " + path +
                    " (its socket unit korvan-tessivo.socket); not starting");
                return 1;
            }
            controlFd = kt::MakeControlSocket(path, options.controlGroup.toStdString(), noControl);
            break;
        }
    }
    // Held from here on only for what is still to come: CAP_BPF and CAP_PERFMON load the guard,
    // CAP_NET_ADMIN attaches it and cuts, CAP_SETPCAP (where held) lets the drop below lower the
    // bounding set too. The rules are read without any right beyond these.
    if (const std::string kept =
            kt::KeepOnlyCapabilities({CAP_NET_ADMIN, CAP_BPF, CAP_PERFMON, CAP_SETPCAP});
        !kept.empty()) {
        Say(kept);
    }
    const bool named = !options.configFile.isEmpty();
    kt::QtSettingsStore store =
        named
            ? kt::QtSettingsStore(kt::QtSettingsStore::NamedFile{options.configFile.toStdString()})
            : kt::QtSettingsStore();
    const std::string rulesPath = store.FilePath(kt::SettingsApplication);
    // Headless mode keeps the set it applied last: a file that cannot be used leaves it in force.
    std::optional<kt::LastRules> lastRules;
    if (headless) {
        lastRules.emplace();
    }
    kt::SettingsStore* startRules = nullptr;
    std::string byLastSet; // why the file is not used, while the last set guards
    std::string why;
    if (const Rules rules = RulesUsable(store, named, headless, why); rules != Rules::Usable) {
        std::string noLast;
        startRules = lastRules ? lastRules->Usable(noLast) : nullptr;
        if (rules == Rules::Defaults && startRules == nullptr) {
            if (headless) {
                Say("no rules file at " + rulesPath +
                    "; guarding by the default rules until there is");
            }
        } else if (startRules == nullptr) {
            Say("the rules in " + rulesPath + " cannot be used: " + why);
            if (lastRules) {
                Say("no rules were applied here before (" + lastRules->Path() + ": " + noLast +
                    "); not starting until the file is mended");
                return kt::kNoRulesExit;
            }
            // Started from a launcher, nobody reads standard error.
            const QApplication box(argc, argv);
            host.ShowMessage("Korvan Tessivo does not start: the rules in " + rulesPath +
                                 " cannot be used: " + why + ".",
                             kt::MessageButtons::Ok);
            return 1;
        } else {
            byLastSet = why;
            Say("the rules in " + rulesPath + " cannot be used: " + why +
                "; guarding by the last applied rules (" + lastRules->Path() +
                ") until the file is mended");
        }
    }

    // Every cut is written down off the guard's path; headless, the journal gets each line too.
    std::string whyNoLog;
    std::unique_ptr<kt::LogFile> logFile = kt::OpenCutLogFile(whyNoLog);
    if (!whyNoLog.empty()) {
        Say("no cut log: " + whyNoLog);
    }
    // The control socket's watchers get each line too; the feed outlives the log's writer.
    // Under systemd each cut is a journal entry of its own instead of a line.
    kt::CutFeed cutFeed;
    kt::JournalCuts journalCuts;
    const bool toJournal = headless && kt::UnderJournal();
    const auto echo = [&cutFeed, &journalCuts, control, toJournal](std::string_view line,
                                                                   const kt::CutRecord* record) {
        if (toJournal && record != nullptr) {
            journalCuts.Send(*record, line);
        } else {
            std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
        }
        if (control) {
            cutFeed.Push(line);
        }
    };
    kt::CutLog log(std::move(logFile),
                   headless ? kt::CutLog::RecordSink(echo) : kt::CutLog::RecordSink(), Say, 4096);

    // Where a service guards, the window is its face and loads no guard of its own.
    const std::string servicePath = options.controlPath.isEmpty()
                                        ? std::string(kt::ControlClient::kDefaultPath)
                                        : options.controlPath.toStdString();
    const kt::ServiceFound service =
        headless ? kt::ServiceFound::None : kt::LookForService(servicePath);
    const bool face = service == kt::ServiceFound::Listening;

    // The rules reach the guard once they are loaded.
    std::string whyNot;
    kt::KernelGuard::Options guardOptions;
    kt::CutMailbox guardCuts; // the window counts them
    guardOptions.onCut = [&log, &guardCuts](const kt::CutRecord& record) {
        log.Record(record);
        guardCuts.Post(record);
    };
    guardOptions.onSlowCut = [](const kt::CutRecord& record, kt::SlowCause cause) {
        Say(std::string("a cut waits ") + kt::DescribeSlowCause(cause) +
            "; it carries no byte meanwhile: " + kt::FormatCutLine(record));
    };
    std::optional<kt::GuardedTable> guarded;
    if (face) {
        guarded.emplace(kt::GuardedTable::WithoutGuard{});
    } else {
        guarded.emplace(kt::GuardRules{}, whyNot, guardOptions);
    }
    kt::GuardedTable& table = *guarded;
    // Without the right to cut nothing polls either: the start line says so, once.
    if (!whyNot.empty() && kt::HasNetAdmin()) {
        Say("the kernel guard could not load (" + whyNot +
            "). Guarding by polling the connection table instead: cuts take milliseconds rather "
            "than microseconds, and the program uses part of a core while idle.");
    }
    if (const kt::KernelGuard* guard = table.Guard(); guard && !guard->GateMissing().empty()) {
        Say("the kernel guard cuts, but cannot hold back the first bytes of a blocked connection "
            "until its cut (" +
            guard->GateMissing() + ")");
    }
    // Nothing loads into the kernel from here on: CAP_NET_ADMIN destroys connections (the destroy
    // helpers are forks of this process and keep only it), CAP_BPF makes the maps of a new rule
    // set. Before Qt starts any thread of its own, so that each one is born without the rest.
    const std::string kept = table.Guard() != nullptr
                                 ? kt::KeepOnlyCapabilities({CAP_NET_ADMIN, CAP_BPF})
                                 : kt::KeepOnlyCapabilities({CAP_NET_ADMIN});
    if (!kept.empty()) {
        Say(kept);
    }

    // Headless mode never connects to a display.
    const std::unique_ptr<QCoreApplication> qtApp =
        headless ? std::make_unique<QCoreApplication>(argc, argv)
                 : std::make_unique<QApplication>(argc, argv);
    if (!headless) {
        // The program's own loop ends it; closing or hiding a window must not stop anything else.
        QApplication::setQuitOnLastWindowClosed(false);
    }
    kt::QtMainWindowFactory windows;
    kt::Platform platform{host, store, table, windows, [&host] { return kt::GetIPWithIPv6(host); }};
    platform.Guard = table.Guard() != nullptr ? &table : nullptr;
    platform.Headless = headless;
    platform.GuardCuts = &guardCuts;
    platform.StartRules = startRules;
    platform.RecordCut = [&log](const kt::CutRecord& record) { log.Record(record); };
    platform.MissingRights = [] {
        return kt::HasNetAdmin() ? std::string() : std::string("the program lacks CAP_NET_ADMIN");
    };
    platform.RightsHint = RightsHint(headless);
    if (service == kt::ServiceFound::KeptOut) {
        // Said with the refusal to cut, which a user kept out meets at once.
        platform.RightsHint = kt::NotInGroupText(options.controlGroup.toStdString());
    }
    kt::Application app(platform);
    // A window looks for the service at start, on each second start and every 2 s while it is
    // not its face; the service may come, go and come back.
    std::optional<kt::ServiceFace> serviceFace;
    if (!headless) {
        serviceFace.emplace(app, servicePath, options.controlGroup.toStdString());
    }
    if (face) {
        serviceFace->BecomeFace();
    }

    kt::ServiceNotifier notifier;
    std::optional<kt::ServiceRun> run;
    if (headless) {
        run.emplace(kt::ServiceParts{app, table, notifier, journalCuts, cutFeed, lastRules,
                                     rulesPath, byLastSet, startRules == nullptr, control,
                                     std::move(controlFd), noControl, options.controlPath,
                                     options.controlGroup, Say});
    }
    // Stopped from outside: close the window as the user would, which saves the rules.
    const kt::StopSignals stop(
        [&windows, &app, &host, &notifier] {
            notifier.Stopping();
            host.CloseMessages();
            if (kt::QtMainWindow* window = windows.LastWindow()) {
                window->close();
            } else {
                app.QuitRequested = true;
            }
        },
        headless ? std::function<void()>([&run] { run->Reload(); }) : std::function<void()>(),
        kt::StopSignals::Deadline::UntilExit);
    ::pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);

    if (!app.StartUp()) {
        return 0;
    }
    QTimer lookForService;
    if (face) {
        serviceFace->Start();
    }
    if (serviceFace) {
        app.SecondStarted = [&serviceFace] { serviceFace->Look(); };
        QObject::connect(&lookForService, &QTimer::timeout,
                         [&serviceFace] { serviceFace->Look(); });
        lookForService.start(2000);
    }
    if (run) {
        run->Started();
    }
    app.MainLoop();
    if (run) {
        run->Stopping();
    } else {
        notifier.Stopping();
    }
    app.Shutdown();
    return 0;
}

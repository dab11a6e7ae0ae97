#include "ui/qt/Privileges.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <set>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace kt {

namespace {

// What every thread is to keep, as capset takes it. A signal handler can reach nothing else.
struct Keep {
    std::atomic<uint64_t> mask{0};
    std::atomic<int> done{0};
    std::atomic<int> failed{0};
};
Keep keep;

constexpr uint32_t kNoRoot =
    SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_SETUID_FIXUP | SECBIT_NO_SETUID_FIXUP_LOCKED;

// Raw system calls only: it runs in a signal handler too.
bool KeepInThisThread(uint64_t mask) {
    bool ok = ::prctl(PR_SET_SECUREBITS, kNoRoot, 0, 0, 0) == 0;
    for (int capability = 0; capability <= CAP_LAST_CAP; ++capability) {
        if ((mask & (uint64_t{1} << capability)) == 0 &&
            ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0) {
            ok = false;
        }
    }
    ok = ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) == 0 && ok;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i) {
        const auto half = static_cast<uint32_t>(mask >> (32 * i));
        data[i].effective = half;
        data[i].permitted = half;
    }
    return ::syscall(SYS_capset, &header, data) == 0 && ok;
}

extern "C" void OnKeepSignal(int) {
    const int saved = errno;
    (KeepInThisThread(keep.mask.load()) ? keep.done : keep.failed).fetch_add(1);
    errno = saved;
}

std::set<pid_t> Tasks() {
    std::set<pid_t> tasks;
    for (const QString& name : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs)) {
        bool number = false;
        const int tid = name.toInt(&number);
        if (number) {
            tasks.insert(tid);
        }
    }
    return tasks;
}

// Whether every capability set a task shows lies within mask.
bool TaskKeepsOnly(pid_t tid, uint64_t mask) {
    QFile status(QStringLiteral("/proc/self/task/%1/status").arg(tid));
    if (!status.open(QIODevice::ReadOnly)) {
        return true; // it ended
    }
    int seen = 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("Cap")) {
            bool hex = false;
            const uint64_t set = line.mid(line.indexOf(':') + 1).trimmed().toULongLong(&hex, 16);
            if (!hex || (set & ~mask) != 0) {
                return false;
            }
            ++seen;
        }
    }
    return seen == 5;
}

} // namespace

DroppedRights DropRightsInSecureMode() {
    if (::getauxval(AT_SECURE) == 0) {
        return {};
    }
    const gid_t gid = ::getgid();
    const uid_t uid = ::getuid();
    bool dropped = ::setresgid(gid, gid, gid) == 0 && ::setresuid(uid, uid, uid) == 0;
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    dropped = ::syscall(SYS_capset, &header, none) == 0 && dropped;
    if (!dropped) {
        return {"started with file capabilities or set-id bits, which could not be given up: "
                "stopping",
                false};
    }
    return {"started with file capabilities or set-id bits: every right they gave is dropped, "
            "since Qt would load plugins the user names with them; run it as root, or let the "
            "service guard, to cut connections",
            true};
}

std::string KeepOnlyCapabilities(std::initializer_list<int> kept) {
    uint64_t mask = 0;
    for (const int capability : kept) {
        mask |= uint64_t{1} << capability;
    }
    // Without CAP_SETPCAP nothing can be given up this way, and a process without it holds
    // nothing worth giving up.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct now[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, now) != 0 ||
        (now[CAP_SETPCAP / 32].effective & (1u << (CAP_SETPCAP % 32))) == 0) {
        return {};
    }
    keep.mask.store(mask);
    keep.done.store(0);
    keep.failed.store(0);
    struct sigaction action {
    }, previous{};
    action.sa_handler = OnKeepSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    const int signal = SIGRTMIN + 4;
    ::sigaction(signal, &action, &previous);
    const pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
    bool ok = KeepInThisThread(mask);
    // Until no thread is new: one not yet reached may have started another with its rights.
    std::set<pid_t> reached{self};
    for (std::set<pid_t> tasks = Tasks(); ok;) {
        int asked = 0;
        for (const pid_t tid : tasks) {
            if (reached.insert(tid).second && ::syscall(SYS_tgkill, ::getpid(), tid, signal) == 0) {
                ++asked;
            }
        }
        const int before = keep.done.load() + keep.failed.load();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (keep.done.load() + keep.failed.load() - before < asked &&
               std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        tasks = Tasks();
        if (std::includes(reached.begin(), reached.end(), tasks.begin(), tasks.end())) {
            break;
        }
    }
    ::sigaction(signal, &previous, nullptr);
    ok = ok && keep.failed.load() == 0;
    for (const pid_t tid : Tasks()) {
        ok = ok && TaskKeepsOnly(tid, mask);
    }
    return ok ? std::string()
              : std::string("could not give up the capabilities it no longer needs in every "
                            "thread; it runs with more rights than it needs");
}

} // namespace kt

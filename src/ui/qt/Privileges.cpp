#include "ui/qt/Privileges.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
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

// What every thread is to keep, as capset takes it; it only ever narrows, so a thread that takes
// a late signal of an earlier drop gives up no less than the latest asked. A signal handler can
// reach nothing else.
struct Keep {
    std::atomic<uint64_t> mask{~uint64_t{0}};
    std::atomic<int> round{0}; // counts the answers of the drop under way only
    std::atomic<int> done{0};
    std::atomic<int> failed{0};
    std::atomic<bool> handled{false};
};
Keep keep;

constexpr int kSignalOffset = 4; // from SIGRTMIN: glibc keeps the first ones for itself

constexpr uint32_t kNoRoot =
    SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_SETUID_FIXUP | SECBIT_NO_SETUID_FIXUP_LOCKED;

bool Holds(const __user_cap_data_struct (&sets)[_LINUX_CAPABILITY_U32S_3], int capability) {
    return (sets[capability / 32].effective & (1u << (capability % 32))) != 0;
}

// Raw system calls only: it runs in a signal handler too. Lowering the effective, permitted,
// inheritable and ambient sets needs no right; the bounding set and the securebits need
// CAP_SETPCAP, so capset comes last. Without it, no_new_privs keeps an exec by root from getting
// its bounding set back.
bool KeepInThisThread(uint64_t mask) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    bool ok = true;
    if (Holds(data, CAP_SETPCAP)) {
        ok = ::prctl(PR_SET_SECUREBITS, kNoRoot, 0, 0, 0) == 0;
        for (int capability = 0; capability <= CAP_LAST_CAP; ++capability) {
            // EINVAL: a capability this kernel does not know, which nobody holds.
            if ((mask & (uint64_t{1} << capability)) == 0 &&
                ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0 && errno != EINVAL) {
                ok = false;
            }
        }
    } else {
        ok = ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
    }
    ok = ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) == 0 && ok;
    for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i) {
        const uint32_t half = data[i].permitted & static_cast<uint32_t>(mask >> (32 * i));
        data[i] = {half, half, 0};
    }
    header = {_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capset, &header, data) == 0 && ok;
}

// Stays for the life of the process: a thread that had the signal blocked takes it whenever it
// unblocks it, maybe long after the drop that sent it gave up waiting.
extern "C" void OnKeepSignal(int, siginfo_t* info, void*) {
    const int saved = errno;
    const bool kept = KeepInThisThread(keep.mask.load());
    if (info->si_code == SI_QUEUE && info->si_value.sival_int == keep.round.load()) {
        (kept ? keep.done : keep.failed).fetch_add(1);
    }
    errno = saved;
}

bool AskThread(pid_t tid, int round) {
    siginfo_t info{};
    info.si_signo = SIGRTMIN + kSignalOffset;
    info.si_code = SI_QUEUE;
    info.si_pid = ::getpid();
    info.si_uid = ::getuid();
    info.si_value.sival_int = round;
    return ::syscall(SYS_rt_tgsigqueueinfo, ::getpid(), tid, info.si_signo, &info) == 0;
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

// Whether every capability set a task shows lies within mask; the bounding set only where it
// could be lowered.
bool TaskKeepsOnly(pid_t tid, uint64_t mask, bool bounding) {
    QFile status(QStringLiteral("/proc/self/task/%1/status").arg(tid));
    if (!status.open(QIODevice::ReadOnly)) {
        return true; // it ended
    }
    int seen = 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("Cap") && (bounding || !line.startsWith("CapBnd"))) {
            bool hex = false;
            const uint64_t set = line.mid(line.indexOf(':') + 1).trimmed().toULongLong(&hex, 16);
            if (!hex || (set & ~mask) != 0) {
                return false;
            }
            ++seen;
        }
    }
    return seen == (bounding ? 5 : 4);
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
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct now[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, now) != 0) {
        return "could not read its own capabilities: " + std::string(std::strerror(errno));
    }
    const uint64_t permitted = now[0].permitted | (uint64_t{now[1].permitted} << 32);
    const bool bounding = Holds(now, CAP_SETPCAP);
    if ((permitted & ~mask) == 0 && now[0].inheritable == 0 && now[1].inheritable == 0 &&
        !bounding) {
        return {}; // nothing to give up
    }
    const uint64_t narrowed = keep.mask.fetch_and(mask) & mask;
    const int round = keep.round.fetch_add(1) + 1;
    keep.done.store(0);
    keep.failed.store(0);
    const int signal = SIGRTMIN + kSignalOffset;
    if (!keep.handled.exchange(true)) {
        struct sigaction action {};
        action.sa_sigaction = OnKeepSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART | SA_SIGINFO;
        if (::sigaction(signal, &action, nullptr) != 0) {
            keep.handled.store(false);
            return "could not give up the capabilities it no longer needs: no handler for the "
                   "signal that reaches every thread";
        }
    }
    const pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
    const bool selfKept = KeepInThisThread(narrowed);
    // Until no thread is new: one not yet reached may have started another with its rights.
    std::set<pid_t> reached{self};
    bool late = false;
    for (std::set<pid_t> tasks = Tasks();;) {
        // Counted before asking: a thread may answer before the last one is asked.
        const int before = keep.done.load() + keep.failed.load();
        int asked = 0;
        for (const pid_t tid : tasks) {
            if (reached.insert(tid).second && AskThread(tid, round)) {
                ++asked;
            }
        }
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (keep.done.load() + keep.failed.load() - before < asked &&
               std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        late = late || keep.done.load() + keep.failed.load() - before < asked;
        tasks = Tasks();
        if (std::includes(reached.begin(), reached.end(), tasks.begin(), tasks.end())) {
            break;
        }
    }
    bool ok = selfKept && keep.failed.load() == 0;
    for (const pid_t tid : Tasks()) {
        ok = ok && TaskKeepsOnly(tid, narrowed, bounding);
    }
    if (ok) {
        return {};
    }
    return late ? "could not give up the capabilities it no longer needs in every thread: one "
                  "did not answer within a second (it gives them up once it takes the signal); "
                  "until then it runs with more rights than it needs"
                : "could not give up the capabilities it no longer needs in every thread; it "
                  "runs with more rights than it needs";
}

} // namespace kt

#include "engine/linux/KernelGuard.h"

#include "guard.skel.h"
#include "guard_events.h"

#include <algorithm>
#include <array>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/magic.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/statfs.h>
#include <unistd.h>

// The guard's BPF program: loading and attaching it, writing its rules, reading its counters.

namespace kt {
namespace {

std::string ErrorText(int error) {
    return std::strerror(error);
}

// libbpf's print callback carries no context of its own: the first warning of a start goes to
// the string that the starting thread names here for the time of the start, and every other
// message is dropped rather than written to standard error.
thread_local std::string* tLibbpfWarning = nullptr;

int KeepFirstWarning(libbpf_print_level level, const char* format, va_list args) {
    if (level != LIBBPF_WARN || tLibbpfWarning == nullptr || !tLibbpfWarning->empty()) {
        return 0;
    }
    std::array<char, 512> line{};
    std::vsnprintf(line.data(), line.size(), format, args);
    std::string text(line.data());
    // Said on every start without CAP_SYS_RESOURCE, whatever else goes wrong: never the reason.
    if (text.find("RLIMIT_MEMLOCK") != std::string::npos) {
        return 0;
    }
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    *tLibbpfWarning = text;
    return 0;
}

class LibbpfWarningScope {
public:
    explicit LibbpfWarningScope(std::string& warning) {
        libbpf_set_print(KeepFirstWarning);
        tLibbpfWarning = &warning;
    }
    ~LibbpfWarningScope() { tLibbpfWarning = nullptr; }
    LibbpfWarningScope(const LibbpfWarningScope&) = delete;
    LibbpfWarningScope& operator=(const LibbpfWarningScope&) = delete;
};

// Outside the first user namespace the uid map is anything but the identity of every id.
bool InUserNamespace() {
    std::ifstream map("/proc/self/uid_map");
    uint64_t inside = 0, outside = 0, count = 0;
    return map >> inside >> outside >> count &&
           !(inside == 0 && outside == 0 && count == 4294967295u);
}

std::string LoadRefusal(int error, const std::string& warning) {
    // A refusal for want of rights says all there is to say; libbpf's words would only confuse.
    if ((error == EPERM || error == EACCES) && InUserNamespace()) {
        return "the kernel does not let a user namespace load BPF programs";
    }
    if (error == EPERM || error == EACCES) {
        return "no right to load BPF programs (needs root, or CAP_BPF and CAP_PERFMON)";
    }
    const std::string why = "the kernel refused the guard's BPF program (" + ErrorText(error) + ")";
    return warning.empty() ? why : why + ": " + warning;
}

// The root of the cgroup v2 hierarchy, where the gate sees every socket's packets; beside a v1
// hierarchy it is mounted at unified/.
UniqueFd OpenCgroupRoot(std::string& whyNot) {
    for (const char* path : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"}) {
        UniqueFd folder(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct statfs kind {};
        if (folder.Valid() && ::fstatfs(folder.Get(), &kind) == 0 &&
            kind.f_type == CGROUP2_SUPER_MAGIC) {
            return folder;
        }
    }
    whyNot = "no cgroup v2 hierarchy is mounted (at /sys/fs/cgroup or /sys/fs/cgroup/unified)";
    return UniqueFd();
}

} // namespace

void KernelGuard::SkeletonDeleter::operator()(guard* skeleton) const {
    guard__destroy(skeleton); // detaches the links, then closes programs and maps
}

void KernelGuard::RingDeleter::operator()(ring_buffer* ring) const {
    ring_buffer__free(ring);
}

bool KernelGuard::Load(AttachPoint point, bool gate, uint64_t netnsCookie, std::string& whyNot) {
    std::string warning;
    const LibbpfWarningScope scope(warning);
    skeleton_.reset(guard__open());
    if (!skeleton_) {
        whyNot = "opening the guard's BPF object: " + ErrorText(errno);
        return false;
    }
    guard& g = *skeleton_;
    g.rodata->netns_cookie = netnsCookie;
    g.rodata->count_passes = options_.countGatePasses ? 1 : 0;
    bpf_map__set_max_entries(g.maps.matches, options_.matchRingBytes);
    bpf_map__set_max_entries(g.maps.changes, options_.changeRingBytes);
    bpf_program__set_autoload(g.progs.typed_state_change, point == AttachPoint::Typed);
    bpf_program__set_autoload(g.progs.raw_state_change, point == AttachPoint::Raw);
    bpf_program__set_autoload(g.progs.gate_ingress, gate);
    bpf_program__set_autoload(g.progs.gate_egress, gate);
    const int error = guard__load(&g);
    if (error != 0) {
        whyNot = LoadRefusal(-error, warning);
        return false;
    }
    matches_.reset(ring_buffer__new(bpf_map__fd(g.maps.matches), OnMatch, this, nullptr));
    epoll_.Reset(::epoll_create1(EPOLL_CLOEXEC));
    wake_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!matches_ || !epoll_.Valid() || !wake_.Valid()) {
        whyNot = "setting up the guard's wake-ups: " + ErrorText(errno);
        return false;
    }
    epoll_event wake{EPOLLIN, {.u32 = kWakeTag}};
    epoll_event matches{EPOLLIN, {.u32 = kMatchesTag}};
    epoll_event destroys{EPOLLIN, {.u32 = kDestroysTag}};
    if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, wake_.Get(), &wake) != 0 ||
        ::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, ring_buffer__epoll_fd(matches_.get()), &matches) !=
            0 ||
        ::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, destroyer_->Fd(), &destroys) != 0) {
        whyNot = "setting up the guard's wake-ups: " + ErrorText(errno);
        return false;
    }
    if (gate && options_.timeGate) {
        runTimes_.Reset(bpf_enable_stats(BPF_STATS_RUN_TIME));
    }
    attached_ = point;
    gated_ = gate;
    return true;
}

bool KernelGuard::Attach(std::string& whyNot) {
    std::string warning;
    const LibbpfWarningScope scope(warning);
    if (guard__attach(skeleton_.get()) != 0) {
        whyNot = "attaching the guard's BPF program: " + ErrorText(errno);
        whyNot += warning.empty() ? "" : ": " + warning;
        return false;
    }
    if (gated_) {
        AttachGate();
    }
    return true;
}

// Without the gate the guard still cuts, as fast, but the first bytes of a blocked connection
// may reach its application before the cut.
void KernelGuard::AttachGate() {
    guard& g = *skeleton_;
    std::string why;
    const UniqueFd root = OpenCgroupRoot(why);
    if (root.Valid()) {
        // Links, not attachments: nothing stays attached once the program is gone.
        g.links.gate_ingress = bpf_program__attach_cgroup(g.progs.gate_ingress, root.Get());
        const int ingress = errno;
        g.links.gate_egress = g.links.gate_ingress == nullptr
                                  ? nullptr
                                  : bpf_program__attach_cgroup(g.progs.gate_egress, root.Get());
        if (g.links.gate_egress != nullptr) {
            return;
        }
        why = "the kernel refused to attach it to the cgroup v2 root: " +
              ErrorText(g.links.gate_ingress == nullptr ? ingress : errno);
        bpf_link__destroy(g.links.gate_ingress);
        g.links.gate_ingress = nullptr;
    }
    gated_ = false;
    gateMissing_ = why;
}

bool KernelGuard::InstallRules(const GuardRules& rules, std::string& whyNot) {
    guard& g = *skeleton_;
    rules_ = std::make_unique<RuleSwitch>(
        bpf_map__fd(g.maps.rule_sets), &g.bss->rules_version, [this](RuleSwitch::InForce&& news) {
            {
                const std::lock_guard lock(handOver_);
                passAsked_ = passAsked_ || news.mayBlock;
                if (!inForce_ || news.whole) {
                    inForce_ = std::move(news);
                } else {
                    inForce_->edits.insert(inForce_->edits.end(), news.edits.begin(),
                                           news.edits.end());
                }
            }
            Wake();
        });
    return rules_->Install(rules, whyNot);
}

std::array<uint64_t, KernelGuard::kGatePaths> KernelGuard::GatePasses() const {
    static_assert(kGatePaths == KT_GATE_PATHS);
    std::array<uint64_t, kGatePaths> passes{};
    for (size_t path = 0; path < passes.size(); ++path) {
        passes[path] = __atomic_load_n(&skeleton_->bss->passed[path], __ATOMIC_RELAXED);
    }
    return passes;
}

KernelGuard::GateRuns KernelGuard::GateRunTime() const {
    GateRuns total;
    for (const bpf_program* program :
         {skeleton_->progs.gate_ingress, skeleton_->progs.gate_egress}) {
        bpf_prog_info info{};
        uint32_t length = sizeof info;
        if (gated_ && bpf_obj_get_info_by_fd(bpf_program__fd(program), &info, &length) == 0) {
            total.runs += info.run_cnt;
            total.nanoseconds += info.run_time_ns;
        }
    }
    return total;
}

uint64_t KernelGuard::Unkept() const {
    return __atomic_load_n(&skeleton_->bss->unmarked, __ATOMIC_RELAXED);
}

int KernelGuard::ChangeRingFd() const {
    return bpf_map__fd(skeleton_->maps.changes);
}

uint64_t KernelGuard::LostChanges() const {
    return __atomic_load_n(&skeleton_->bss->lost_changes, __ATOMIC_RELAXED) + SkippedChanges();
}

uint64_t KernelGuard::LostMatches() const {
    return __atomic_load_n(&skeleton_->bss->lost_matches, __ATOMIC_RELAXED) + SkippedChanges();
}

// An interrupt's softirqs can make state changes in the middle of the program: those are neither
// judged nor reported, only counted.
uint64_t KernelGuard::SkippedChanges() const {
    bpf_prog_info info{};
    uint32_t length = sizeof info;
    const bpf_program* program = attached_ == AttachPoint::Typed
                                     ? skeleton_->progs.typed_state_change
                                     : skeleton_->progs.raw_state_change;
    return bpf_obj_get_info_by_fd(bpf_program__fd(program), &info, &length) == 0
               ? info.recursion_misses
               : 0;
}

} // namespace kt

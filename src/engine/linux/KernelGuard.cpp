#include "engine/linux/KernelGuard.h"

#include "engine/linux/SockDiag.h"
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
#include <linux/capability.h>
#include <linux/magic.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef SO_NETNS_COOKIE
#define SO_NETNS_COOKIE 71
#endif

namespace kt {
namespace {

constexpr uint32_t kWakeTag = 1;
constexpr uint32_t kMatchesTag = 2;
constexpr uint32_t kDestroysTag = 3;

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

std::string ErrorText(int error) {
    return std::strerror(error);
}

// Outside the first user namespace the uid map is anything but the identity of every id.
bool InUserNamespace() {
    std::ifstream map("/proc/self/uid_map");
    uint64_t inside = 0, outside = 0, count = 0;
    return map >> inside >> outside >> count &&
           !(inside == 0 && outside == 0 && count == 4294967295u);
}

bool NetnsCookie(uint64_t& cookie) {
    const UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    socklen_t length = sizeof cookie;
    return probe.Valid() &&
           ::getsockopt(probe.Get(), SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &length) == 0;
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

// The port rules as the program reads them: a bit per port, local then remote.
struct PortBits {
    std::array<uint64_t, 1024> local{};
    std::array<uint64_t, 1024> remote{};
};

void SetBits(std::array<uint64_t, 1024>& bits, const std::vector<uint16_t>& ports) {
    for (const uint16_t port : ports) {
        bits[port >> 6] |= uint64_t{1} << (port & 63);
    }
}

struct AllowedKey {
    uint32_t generation;
    Address6 address;
};
static_assert(sizeof(AllowedKey) == 20);

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

KernelGuard::KernelGuard(Key, const Options& options) : options_(options) {
    DestroyerOptions destroys;
    destroys.onSlow = [this](const TcpRow& row, std::chrono::milliseconds) {
        if (options_.onSlowCut) {
            options_.onSlowCut(CutRecord::Of(row, CutRule(row), std::chrono::system_clock::now()));
        }
    };
    // A cut queued behind others is judged again when its turn comes: a change may have spared it.
    destroys.stillWanted = [this](const TcpRow& row) {
        AdoptRules();
        return judge_.Blocks(row);
    };
    destroyer_ = std::make_unique<Destroyer>(std::move(destroys));
}

std::unique_ptr<KernelGuard> KernelGuard::Start(const GuardRules& rules, std::string& whyNot,
                                                const Options& options) {
    whyNot.clear();
    // Without it the program would load and then fail every cut.
    if (!HasNetAdmin()) {
        whyNot = "no right to cut connections (needs root, or CAP_NET_ADMIN)";
        return nullptr;
    }
    if (::access("/sys/kernel/btf/vmlinux", R_OK) != 0) {
        whyNot = "the kernel describes no types (no /sys/kernel/btf/vmlinux)";
        return nullptr;
    }
    uint64_t cookie = 0;
    if (!NetnsCookie(cookie)) {
        whyNot = "the kernel is too old (no network namespace cookie: Linux 5.14 or later)";
        return nullptr;
    }
    auto self = std::make_unique<KernelGuard>(Key{}, options);
    std::vector<AttachPoint> points{AttachPoint::Typed, AttachPoint::Raw};
    if (options.attachPoint) {
        points = {*options.attachPoint};
    }
    bool running = false;
    for (const AttachPoint point : points) {
        // Socket storage, which the gate needs, is the typed tracepoint's only.
        for (const bool gate : {true, false}) {
            if (gate && (point != AttachPoint::Typed || !options.gate)) {
                continue;
            }
            std::string why;
            // Attached after the rules are written, and before the pass, so that a connection
            // established meanwhile is seen by one of them (or both: the second cut finds it
            // gone).
            running = self->Load(point, gate, cookie, why) && self->WriteRules(rules, why) &&
                      self->Attach(why);
            if (running) {
                break;
            }
            if (!gate && whyNot.empty()) {
                whyNot = why;
            }
            if (gate && self->gateMissing_.empty()) {
                self->gateMissing_ = "the kernel refused the gate's BPF programs: " + why;
            }
            self->matches_.reset();
            self->skeleton_.reset();
        }
        if (running) {
            break;
        }
    }
    if (!running) {
        return nullptr;
    }
    if (!options.gate) {
        self->gateMissing_ = "left out on request";
    } else if (self->attached_ == AttachPoint::Raw) {
        self->gateMissing_ = "the kernel's typed tracepoint could not be used";
    }
    whyNot.clear();
    self->judge_ = GuardJudge(rules);
    self->Pass();
    // What was open at start is cut before Start answers, but for a cut that waits for its
    // socket: the thread sees to that one.
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
         !self->submitted_.empty() && std::chrono::steady_clock::now() < end;) {
        self->Collect(std::chrono::milliseconds(50));
    }
    if (!self->Sound()) {
        whyNot = self->WhyNotSound();
        return nullptr;
    }
    self->thread_ = std::thread(&KernelGuard::Run, self.get());
    return self;
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
    inGeneration_ = {};
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

KernelGuard::~KernelGuard() {
    stop_.store(true);
    Wake();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool KernelGuard::SetRules(const GuardRules& rules, std::string& whyNot) {
    if (!WriteRules(rules, whyNot)) {
        SetFault(Fault::RulesRefused, errno);
        return false;
    }
    {
        const std::lock_guard lock(handOver_);
        newRules_ = rules;
        passAsked_ = true;
    }
    Wake();
    return true;
}

// The rules go to the generation the program does not read, which then becomes the one it
// reads in one store: a socket is judged by the old rules or by the new, never by a mix.
bool KernelGuard::WriteRules(const GuardRules& rules, std::string& whyNot) {
    guard& g = *skeleton_;
    const int allowed = bpf_map__fd(g.maps.allowed_addresses);
    const uint32_t version = __atomic_load_n(&g.bss->rules_version, __ATOMIC_RELAXED) + 1;
    const uint32_t next = version & 1;
    // Left over from the switch before the last; nothing has read that generation since.
    for (const Address6& address : inGeneration_[next].allowedAddresses) {
        const AllowedKey key{next, address};
        if (bpf_map_delete_elem(allowed, &key) != 0 && errno != ENOENT) {
            whyNot = "the kernel refused to forget an allowed address: " + ErrorText(errno);
            return false;
        }
    }
    inGeneration_[next] = {};
    const uint8_t on = 1;
    for (const Address6& address : rules.allowedAddresses) {
        const AllowedKey key{next, address};
        if (bpf_map_update_elem(allowed, &key, &on, BPF_ANY) != 0) {
            whyNot = "the kernel refused an allowed address: " + ErrorText(errno);
            return false;
        }
        inGeneration_[next].allowedAddresses.push_back(address);
    }
    auto ports = std::make_unique<PortBits>();
    SetBits(ports->local, rules.blockedLocalPorts);
    SetBits(ports->remote, rules.blockedRemotePorts);
    if (bpf_map_update_elem(bpf_map__fd(g.maps.port_rules), &next, ports.get(), BPF_ANY) != 0) {
        whyNot = "the kernel refused the blocked ports: " + ErrorText(errno);
        return false;
    }
    inGeneration_[next] = rules;
    // Every socket's kept judgement is stale from here on: judged again on its next packet.
    __atomic_store_n(&g.bss->rules_version, version, __ATOMIC_RELEASE);
    return true;
}

void KernelGuard::Wake() {
    const uint64_t one = 1;
    if (::write(wake_.Get(), &one, sizeof one) < 0) {
        // EAGAIN: the counter is full, so the thread has a wake-up pending anyway.
    }
}

void KernelGuard::Run() {
    try {
        while (!stop_.load()) {
            std::array<epoll_event, 3> events{};
            const int n = ::epoll_wait(epoll_.Get(), events.data(), events.size(), RetryWait());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                SetFault(Fault::ThreadEnded, errno);
                return;
            }
            if (n > 0 && options_.onWake) {
                options_.onWake();
            }
            for (int i = 0; i < n; ++i) {
                if (events[static_cast<size_t>(i)].data.u32 == kDestroysTag) {
                    Collect();
                    continue;
                }
                if (events[static_cast<size_t>(i)].data.u32 == kWakeTag) {
                    uint64_t count = 0;
                    if (::read(wake_.Get(), &count, sizeof count) < 0) {
                        // EAGAIN: another wake-up read it already.
                    }
                    continue;
                }
                if (options_.onMatchesWake) {
                    options_.onMatchesWake();
                }
                if (ring_buffer__consume(matches_.get()) < 0) {
                    SetFault(Fault::ThreadEnded, errno);
                    return;
                }
            }
            bool pass = false;
            const uint64_t lost = LostMatches();
            if (lost != lostSeen_) { // reports were lost: only a full pass finds their sockets
                lostSeen_ = lost;
                lost_.store(lost);
                pass = true;
            }
            {
                const std::lock_guard lock(handOver_);
                pass = pass || passAsked_;
                passAsked_ = false;
            }
            if (pass && !stop_.load()) {
                Pass();
            }
            RetryDue();
        }
    } catch (...) {
        SetFault(Fault::ThreadEnded, 0);
    }
}

bool HasNetAdmin() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    return ::syscall(SYS_capget, &header, data) == 0 &&
           (data[CAP_NET_ADMIN / 32].effective & (1u << (CAP_NET_ADMIN % 32))) != 0;
}

TcpRow KernelGuard::RowOf(const kt_guard_socket& socket) {
    TcpRow row{static_cast<uint32_t>(TcpEstablished), socket.local_addr,
               PortToField(socket.local_port), socket.remote_addr, PortToField(socket.remote_port)};
    row.ipv6 = socket.ipv6 != 0;
    std::memcpy(row.localAddr6.data(), socket.local_addr6, row.localAddr6.size());
    std::memcpy(row.remoteAddr6.data(), socket.remote_addr6, row.remoteAddr6.size());
    row.boundInterface = socket.bound_if;
    row.cookie = socket.cookie;
    return row;
}

int KernelGuard::OnMatch(void* self, void* data, size_t size) {
    auto& guard = *static_cast<KernelGuard*>(self);
    kt_guard_socket match;
    if (size < sizeof match) {
        return 0;
    }
    std::memcpy(&match, data, sizeof match);
    if (match.mptcp != 0) {
        // No kernel's MPTCP diagnostics can destroy one: its subflows, TCP sockets that the
        // gate holds back, are cut on their own reports.
        guard.mptcp_.fetch_add(1);
        return 0;
    }
    Pending cut{match.family, RowOf(match)};
    cut.early = match.new_state != sockdiag::LinuxEstablished;
    guard.Cut(cut);
    return 0;
}

void KernelGuard::Cut(Pending cut) {
    // Once unsound, the rules in the kernel may be stale: the polling that takes over judges.
    if (!Sound()) {
        return;
    }
    // Judged when made, maybe under rules since changed.
    AdoptRules();
    if (!judge_.Blocks(cut.row)) {
        spared_.fetch_add(1);
        return;
    }
    if (cut.row.cookie == 0 || cut.family == 0) {
        // No cookie to name the socket by: the table looks it up first and uses that one's.
        Account(table_.DeleteConnection(cut.row) ? 0 : table_.LastDeleteError(), cut);
        return;
    }
    // The cookie makes the kernel destroy this very socket or nothing: by addresses alone a
    // connection already gone would leave the listener of its port to be destroyed instead.
    const auto request = sockdiag::MakeDestroyRequest(static_cast<uint8_t>(cut.family), cut.row, 0,
                                                      sockdiag::ToCookie(cut.row.cookie));
    submitted_[destroyer_->Submit(request, cut.row)] = cut;
    Collect();
}

void KernelGuard::Collect(std::chrono::milliseconds bound) {
    outcomes_.clear();
    destroyer_->Collect(outcomes_, bound);
    for (const Destroyer::Outcome& outcome : outcomes_) {
        const auto found = submitted_.find(outcome.ticket);
        if (found != submitted_.end()) {
            Pending cut = found->second;
            submitted_.erase(found);
            Account(outcome.error, cut);
        }
    }
}

CutRecord::Rule KernelGuard::CutRule(const TcpRow& row) const {
    // The rules the thread judges by; the kernel's maps get them at the same moment.
    return judge_.BlocksByLocalPort(row) ? CutRecord::Rule::BlockedLocalPort
                                         : CutRecord::Rule::BlockedRemotePort;
}

namespace {

// Only these say that no cut can work; anything else may pass (a timeout, an interrupted or
// short-of-memory exchange) and is tried again.
bool Refusal(int error) {
    return error == EPERM || error == EACCES || error == EOPNOTSUPP;
}

} // namespace

void KernelGuard::Account(int error, Pending& cut) {
    const TcpRow& row = cut.row;
    if (error == ECANCELED) {
        spared_.fetch_add(1);
    } else if (error == 0) {
        cuts_.fetch_add(1);
        if (options_.onCut) {
            const CutRecord record =
                CutRecord::Of(row, CutRule(row), std::chrono::system_clock::now());
            options_.onCut(record);
        }
    } else if (error == ENOENT && cut.early) {
        // Reported before the kernel listed it: looked for once more, and judged again anyway
        // once established.
        if (cut.tries == 0) {
            cut.tries = 1;
            cut.error = error;
            cut.due = std::chrono::steady_clock::now() + kRetryDelay;
            retry_.push_back(cut);
        }
    } else if (error == ENOENT) {
        gone_.fetch_add(1);
    } else if (Refusal(error) || (cut.tries >= kTries && error == cut.error)) {
        SetFault(Fault::CutRefused, error);
    } else {
        retries_.fetch_add(1);
        cut.tries = cut.error == error ? cut.tries + 1 : 1;
        cut.error = error;
        cut.due = std::chrono::steady_clock::now() + kRetryDelay * cut.tries;
        retry_.push_back(cut);
    }
}

int KernelGuard::RetryWait() const {
    if (retry_.empty()) {
        return -1;
    }
    const auto due =
        std::min_element(retry_.begin(), retry_.end(), [](const auto& a, const auto& b) {
            return a.due < b.due;
        })->due;
    const auto wait =
        std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(wait.count(), 0));
}

void KernelGuard::RetryDue() {
    const auto now = std::chrono::steady_clock::now();
    std::vector<Pending> due;
    std::erase_if(retry_, [&](const Pending& cut) {
        if (cut.due > now) {
            return false;
        }
        due.push_back(cut);
        return true;
    });
    for (Pending& cut : due) {
        Cut(cut);
    }
}

void KernelGuard::AdoptRules() {
    const std::lock_guard lock(handOver_);
    if (newRules_) {
        judge_ = GuardJudge(*newRules_);
        passPorts_ = {newRules_->blockedLocalPorts, newRules_->blockedRemotePorts};
        newRules_.reset();
    }
}

void KernelGuard::Pass() {
    AdoptRules();
    // The kernel leaves out the connections on no blocked port, where it can: the pass after
    // a rule change costs the blocked rows, not the whole table.
    std::vector<TcpRow> rows;
    if (!table_.TakeBlockedSnapshot(rows, passPorts_.first, passPorts_.second) &&
        !table_.TakeSnapshot(rows)) {
        SetFault(Fault::TableUnreadable, 0);
        return;
    }
    for (const TcpRow& row : rows) {
        if (judge_.Blocks(row)) {
            // Either family finds an IPv4 connection, of an IPv4 socket or a dual-stack one.
            Cut({static_cast<uint16_t>(row.ipv6 ? AF_INET6 : AF_INET), row});
        }
    }
    passes_.fetch_add(1);
}

void KernelGuard::SetFault(Fault fault, int error) {
    uint64_t none = 0;
    const uint64_t packed = (static_cast<uint64_t>(fault) << 32) | static_cast<uint32_t>(error);
    fault_.compare_exchange_strong(none, packed, std::memory_order_acq_rel);
}

std::string KernelGuard::WhyNotSound() const {
    const uint64_t packed = fault_.load(std::memory_order_acquire);
    const auto error = static_cast<int>(static_cast<uint32_t>(packed));
    const std::string detail = error != 0 ? ": " + ErrorText(error) : "";
    switch (static_cast<Fault>(packed >> 32)) {
    case Fault::None:
        return {};
    case Fault::ThreadEnded:
        return "the kernel guard's thread ended" + detail;
    case Fault::CutRefused:
        return "the kernel refused a cut" + detail;
    case Fault::TableUnreadable:
        return "the kernel guard could not read the connection table";
    case Fault::RulesRefused:
        return "the kernel refused the rules" + detail;
    }
    return {};
}

KernelGuard::Counters KernelGuard::Count() const {
    return {cuts_.load(),    gone_.load(),   passes_.load(), lost_.load(),
            retries_.load(), spared_.load(), mptcp_.load()};
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

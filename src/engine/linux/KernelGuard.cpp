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
#include <fstream>
#include <linux/capability.h>
#include <set>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef SO_NETNS_COOKIE
#define SO_NETNS_COOKIE 71
#endif

namespace kt {
namespace {

constexpr uint32_t kWakeTag = 1;
constexpr uint32_t kMatchesTag = 2;

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
    std::string why;
    if ((error == EPERM || error == EACCES) && InUserNamespace()) {
        why = "the kernel does not let a user namespace load BPF programs";
    } else if (error == EPERM || error == EACCES) {
        why = "no right to load BPF programs (needs root, or CAP_BPF and CAP_PERFMON)";
    } else {
        why = "the kernel refused the guard's BPF program (" + ErrorText(error) + ")";
    }
    return warning.empty() ? why : why + ": " + warning;
}

// Sets or clears the ports that changed between two lists.
int WritePorts(int map, const std::vector<uint16_t>& before, const std::vector<uint16_t>& after) {
    std::vector<bool> blocked(65536);
    for (const uint16_t port : after) {
        blocked[port] = true;
    }
    for (const uint16_t port : before) {
        const uint32_t key = port;
        const uint8_t off = 0;
        if (!blocked[port] && bpf_map_update_elem(map, &key, &off, BPF_ANY) != 0) {
            return errno;
        }
    }
    for (const uint16_t port : after) {
        const uint32_t key = port;
        const uint8_t on = 1;
        if (bpf_map_update_elem(map, &key, &on, BPF_ANY) != 0) {
            return errno;
        }
    }
    return 0;
}

} // namespace

void KernelGuard::SkeletonDeleter::operator()(guard* skeleton) const {
    guard__destroy(skeleton); // detaches the links, then closes programs and maps
}

void KernelGuard::RingDeleter::operator()(ring_buffer* ring) const {
    ring_buffer__free(ring);
}

KernelGuard::KernelGuard(Key, const Options& options)
    : options_(options), destroy_(OpenDiagChannel()), answer_(NetlinkTcpTable::kBufferSize) {}

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
        std::string why;
        // Attached after the rules are written, and before the pass, so that a connection
        // established meanwhile is seen by one of them (or both: the second cut finds it gone).
        running =
            self->Load(point, cookie, why) && self->WriteRules(rules, why) && self->Attach(why);
        if (running) {
            break;
        }
        if (whyNot.empty()) {
            whyNot = why;
        }
        self->matches_.reset();
        self->skeleton_.reset();
    }
    if (!running) {
        return nullptr;
    }
    whyNot.clear();
    self->judge_ = GuardJudge(rules);
    self->Pass();
    if (!self->Sound()) {
        whyNot = self->WhyNotSound();
        return nullptr;
    }
    self->thread_ = std::thread(&KernelGuard::Run, self.get());
    return self;
}

bool KernelGuard::Load(AttachPoint point, uint64_t netnsCookie, std::string& whyNot) {
    std::string warning;
    const LibbpfWarningScope scope(warning);
    skeleton_.reset(guard__open());
    if (!skeleton_) {
        whyNot = "opening the guard's BPF object: " + ErrorText(errno);
        return false;
    }
    guard& g = *skeleton_;
    g.rodata->netns_cookie = netnsCookie;
    bpf_map__set_max_entries(g.maps.matches, options_.matchRingBytes);
    bpf_map__set_max_entries(g.maps.changes, options_.changeRingBytes);
    bpf_program__set_autoload(g.progs.typed_state_change, point == AttachPoint::Typed);
    bpf_program__set_autoload(g.progs.raw_state_change, point == AttachPoint::Raw);
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
    if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, wake_.Get(), &wake) != 0 ||
        ::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, ring_buffer__epoll_fd(matches_.get()), &matches) !=
            0) {
        whyNot = "setting up the guard's wake-ups: " + ErrorText(errno);
        return false;
    }
    attached_ = point;
    written_ = {};
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
    return true;
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

bool KernelGuard::WriteRules(const GuardRules& rules, std::string& whyNot) {
    const guard& g = *skeleton_;
    const int allowed = bpf_map__fd(g.maps.allowed_addresses);
    const uint8_t on = 1;
    // Added before the stale ones go, so that an address allowed before and after never counts
    // as blocked in between.
    for (const Address6& address : rules.allowedAddresses) {
        if (bpf_map_update_elem(allowed, address.data(), &on, BPF_ANY) != 0) {
            whyNot = "the kernel refused an allowed address: " + ErrorText(errno);
            return false;
        }
    }
    const std::set<Address6> kept(rules.allowedAddresses.begin(), rules.allowedAddresses.end());
    for (const Address6& address : written_.allowedAddresses) {
        if (!kept.contains(address) && bpf_map_delete_elem(allowed, address.data()) != 0 &&
            errno != ENOENT) {
            whyNot = "the kernel refused to forget an allowed address: " + ErrorText(errno);
            return false;
        }
    }
    int error = WritePorts(bpf_map__fd(g.maps.blocked_local_ports), written_.blockedLocalPorts,
                           rules.blockedLocalPorts);
    if (error == 0) {
        error = WritePorts(bpf_map__fd(g.maps.blocked_remote_ports), written_.blockedRemotePorts,
                           rules.blockedRemotePorts);
    }
    if (error != 0) {
        whyNot = "the kernel refused a blocked port: " + ErrorText(error);
        errno = error;
        return false;
    }
    written_ = rules;
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
            std::array<epoll_event, 2> events{};
            const int n = ::epoll_wait(epoll_.Get(), events.data(), events.size(), -1);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                SetFault(Fault::ThreadEnded, errno);
                return;
            }
            for (int i = 0; i < n; ++i) {
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

int KernelGuard::OnMatch(void* self, void* data, size_t size) {
    auto& guard = *static_cast<KernelGuard*>(self);
    kt_guard_socket match;
    if (size < sizeof match) {
        return 0;
    }
    std::memcpy(&match, data, sizeof match);
    const TcpRow row{static_cast<uint32_t>(TcpEstablished), match.local_addr,
                     PortToField(match.local_port), match.remote_addr,
                     PortToField(match.remote_port)};
    if (match.cookie != 0) {
        guard.Account(guard.Destroy(match.family, row, match.cookie), row);
    } else {
        // No cookie to name the socket by: the table looks it up first and uses that one's.
        guard.Account(guard.table_.DeleteConnection(row) ? 0 : guard.table_.LastDeleteError(), row);
    }
    return 0;
}

int KernelGuard::Destroy(uint16_t family, const TcpRow& row, uint64_t cookie) {
    // The cookie makes the kernel destroy this very socket or nothing: by addresses alone a
    // connection already gone would leave the listener of its port to be destroyed instead.
    const sockdiag::Request request = sockdiag::MakeDestroyRequest(
        static_cast<uint8_t>(family), row, ++seq_,
        {static_cast<uint32_t>(cookie), static_cast<uint32_t>(cookie >> 32)});
    return AskKernel(*destroy_, {reinterpret_cast<const uint8_t*>(&request), sizeof request},
                     request.header.nlmsg_seq, answer_);
}

void KernelGuard::Account(int error, const TcpRow& row) {
    if (error == 0) {
        cuts_.fetch_add(1);
        if (options_.onCut) {
            CutRecord record;
            record.When = std::chrono::system_clock::now();
            record.LocalAddress = row.dwLocalAddr;
            record.LocalPort = PortFromField(row.dwLocalPort);
            record.RemoteAddress = row.dwRemoteAddr;
            record.RemotePort = PortFromField(row.dwRemotePort);
            // The rules the thread judges by; the kernel's maps get them at the same moment.
            record.Matched = judge_.BlocksByLocalPort(row) ? CutRecord::Rule::BlockedLocalPort
                                                           : CutRecord::Rule::BlockedRemotePort;
            options_.onCut(record);
        }
    } else if (error == ENOENT) {
        gone_.fetch_add(1);
    } else {
        SetFault(Fault::CutRefused, error);
    }
}

void KernelGuard::Pass() {
    {
        const std::lock_guard lock(handOver_);
        if (newRules_) {
            judge_ = GuardJudge(*newRules_);
            newRules_.reset();
        }
    }
    std::vector<TcpRow> rows;
    if (!table_.TakeSnapshot(rows)) {
        SetFault(Fault::TableUnreadable, 0);
        return;
    }
    for (const TcpRow& row : rows) {
        if (judge_.Blocks(row)) {
            Account(table_.DeleteConnection(row) ? 0 : table_.LastDeleteError(), row);
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
    return {cuts_.load(), gone_.load(), passes_.load(), lost_.load()};
}

int KernelGuard::ChangeRingFd() const {
    return bpf_map__fd(skeleton_->maps.changes);
}

uint64_t KernelGuard::LostChanges() const {
    return __atomic_load_n(&skeleton_->bss->lost_changes, __ATOMIC_RELAXED);
}

uint64_t KernelGuard::LostMatches() const {
    return __atomic_load_n(&skeleton_->bss->lost_matches, __ATOMIC_RELAXED);
}

} // namespace kt

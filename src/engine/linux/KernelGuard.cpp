#include "engine/linux/KernelGuard.h"

#include "engine/linux/SockDiag.h"
#include "guard.skel.h"
#include "guard_events.h"

#include <algorithm>
#include <array>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstring>
#include <linux/capability.h>
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

std::string ErrorText(int error) {
    return std::strerror(error);
}

bool NetnsCookie(uint64_t& cookie) {
    const UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    socklen_t length = sizeof cookie;
    return probe.Valid() &&
           ::getsockopt(probe.Get(), SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &length) == 0;
}

} // namespace

KernelGuard::KernelGuard(Key, const Options& options) : options_(options) {
    DestroyerOptions destroys;
    destroys.onSlow = [this](const TcpRow& row, std::chrono::milliseconds, SlowCause cause) {
        if (options_.onSlowCut) {
            options_.onSlowCut(CutRecord::Of(row, CutRule(row), std::chrono::system_clock::now()),
                               cause);
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
            running = self->Load(point, gate, cookie, why) && self->InstallRules(rules, why) &&
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
            self->rules_.reset();
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
    self->rules_->Start();
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

KernelGuard::~KernelGuard() {
    rules_.reset(); // it hands its news to this thread
    stop_.store(true);
    Wake();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void KernelGuard::Edit(std::span<const GuardRuleEdit> edits) {
    rules_->Edit(edits);
}

bool KernelGuard::TakeRefusal(std::string& why) {
    return rules_->TakeRefusal(why);
}

bool KernelGuard::SetRules(const GuardRules& rules, std::string& whyNot) {
    if (!Sound()) {
        whyNot = WhyNotSound();
        return false;
    }
    rules_->Replace(rules);
    return true;
}

bool KernelGuard::SettleRules(std::chrono::milliseconds bound) const {
    return rules_->Settle(bound);
}

RuleSwitch::Counts KernelGuard::RuleCounts() const {
    return rules_->Count();
}

uint64_t KernelGuard::RuleMapBytes() const {
    return rules_->MapBytes();
}

void KernelGuard::Wake() {
    const uint64_t one = 1;
    if (::write(wake_.Get(), &one, sizeof one) < 0) {
        // EAGAIN: the counter is full, so the thread has a wake-up pending anyway.
    }
}

bool KernelGuard::Answering(uint64_t& seen) const {
    const uint64_t turns = turns_.load(std::memory_order_relaxed);
    const bool answered = turns != seen || dumping_.load();
    seen = turns;
    const uint64_t one = 1;
    if (::write(wake_.Get(), &one, sizeof one) < 0) {
        // EAGAIN: a wake-up is pending anyway.
    }
    return answered;
}

void KernelGuard::Run() {
    try {
        while (!stop_.load()) {
            turns_.fetch_add(1, std::memory_order_relaxed);
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
    if (cutCookies_.contains(cut.row.cookie)) {
        return; // cut already
    }
    if (cut.row.cookie == 0 || cut.family == 0) {
        // No cookie to name the socket by: the table looks it up, and its own is used.
        uint8_t family = 0;
        sockdiag::Cookie cookie = sockdiag::kNoCookie;
        if (const int error = table_.FindSocket(cut.row, family, cookie); error != 0) {
            Account(error, cut);
            return;
        }
        cut.family = family;
        cut.row.cookie = sockdiag::CookieValue(cookie);
        if (cutCookies_.contains(cut.row.cookie)) {
            return;
        }
    }
    // The cookie makes the kernel destroy this very socket or nothing: by addresses alone a
    // connection already gone would leave the listener of its port to be destroyed instead.
    // A destroy that waits for its socket stays in the destroyer until it is done: it never
    // counts as a failure.
    const auto request = sockdiag::MakeDestroyRequest(static_cast<uint8_t>(cut.family), cut.row, 0,
                                                      sockdiag::ToCookie(cut.row.cookie));
    const Destroyer::Ticket ticket = destroyer_->Submit(request, cut.row);
    if (submitted_.insert_or_assign(ticket, cut).second) {
        const std::lock_guard lock(cuttingLock_);
        cutting_.insert(cut.row.cookie);
    }
    Collect();
}

bool KernelGuard::Cutting(uint64_t cookie) const {
    const std::lock_guard lock(cuttingLock_);
    return cookie != 0 && cutting_.contains(cookie);
}

void KernelGuard::Collect(std::chrono::milliseconds bound) {
    outcomes_.clear();
    destroyer_->Collect(outcomes_, bound);
    for (const Destroyer::Outcome& outcome : outcomes_) {
        const auto found = submitted_.find(outcome.ticket);
        if (found != submitted_.end()) {
            Pending cut = found->second;
            submitted_.erase(found);
            {
                const std::lock_guard lock(cuttingLock_);
                if (const auto cookie = cutting_.find(cut.row.cookie); cookie != cutting_.end()) {
                    cutting_.erase(cookie);
                }
            }
            Account(outcome.error, cut);
        }
    }
    helpers_.store(destroyer_->Helpers());
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
        if (row.cookie != 0 && cutCookies_.insert(row.cookie).second) {
            cutOrder_.push_back(row.cookie);
            if (cutOrder_.size() > kCutCookies) {
                cutCookies_.erase(cutOrder_.front());
                cutOrder_.pop_front();
            }
        }
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
        const bool ours =
            row.cookie != 0 &&
            (cutCookies_.contains(row.cookie) ||
             std::any_of(submitted_.begin(), submitted_.end(),
                         [&](const auto& other) { return other.second.row.cookie == row.cookie; }));
        if (!ours) {
            gone_.fetch_add(1);
        }
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
    if (!inForce_) {
        return;
    }
    if (inForce_->whole) {
        judge_ = std::move(*inForce_->whole);
    }
    for (const GuardRuleEdit& edit : inForce_->edits) {
        judge_.Apply(edit);
    }
    inForce_.reset();
}

void KernelGuard::Pass() {
    AdoptRules();
    // The kernel leaves out the connections on no blocked port, where it can: the pass after
    // a rule change costs the blocked rows, not the whole table.
    std::vector<TcpRow> rows;
    dumping_.store(true);
    const bool read = table_.TakeBlockedSnapshot(rows, judge_.LocalPorts(), judge_.RemotePorts()) ||
                      table_.TakeSnapshot(rows);
    dumping_.store(false);
    if (!read) {
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
    }
    return {};
}

KernelGuard::Counters KernelGuard::Count() const {
    return {cuts_.load(),    gone_.load(),   passes_.load(), lost_.load(),
            retries_.load(), spared_.load(), mptcp_.load()};
}

} // namespace kt

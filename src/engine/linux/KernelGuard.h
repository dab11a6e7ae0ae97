#pragma once

#include "core/linux/UniqueFd.h"
#include "engine/CutRecord.h"
#include "engine/GuardRules.h"
#include "engine/linux/DestroyHelper.h"
#include "engine/linux/DiagChannel.h"
#include "engine/linux/NetlinkTcpTable.h"
#include "engine/linux/RuleSwitch.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

struct guard;
struct kt_guard_socket;
struct ring_buffer;

namespace kt {

// Whether this process holds CAP_NET_ADMIN in its effective set, without which every cut fails.
bool HasNetAdmin();

enum class GuardAttachPoint { Typed, Raw }; // tp_btf, or raw_tp where tp_btf cannot load

struct KernelGuardOptions {
    // Unset: Typed, and Raw when Typed cannot load.
    std::optional<GuardAttachPoint> attachPoint;
    // False: no gate (for measuring what it costs).
    bool gate = true;
    // The gate counts the payload packets it lets pass whose own addresses and ports its rules
    // block, by path (GatePasses); costs a look at every such packet.
    bool countGatePasses = false;
    // The kernel times the gate's runs while the guard lives (GateRunTime).
    bool timeGate = false;
    uint32_t matchRingBytes = 256 * 1024; // a power of two, at least a page
    // A second of reports at 10,000 connections a second, both ends local (9 reports each, of
    // 40 bytes for IPv4 and 72 for IPv6), with room to spare: a reader may sleep that long.
    uint32_t changeRingBytes = 8 * 1024 * 1024;
    // For tests: runs on the guard thread when matches wake it, before they are read.
    std::function<void()> onMatchesWake;
    // For tests: runs on the guard thread whenever anything wakes it, before it is looked at.
    std::function<void()> onWake;
    // Runs on the guard thread after each cut, which it must not hold up.
    std::function<void(const CutRecord&)> onCut;
    // Runs on the guard thread once for a cut that has waited longer than a second, with what
    // it waits for; the socket carries no byte meanwhile.
    std::function<void(const CutRecord&, SlowCause)> onSlowCut;
};

// The guard in the kernel: a BPF program judges every TCP connection of this network namespace,
// IPv4 and IPv6, as it is established, marks the ones the rules cut so that the gate holds back
// their bytes, and reports them; a thread of its own sleeps until then and has each destroyed (by
// a helper process) by its addresses, bound interface and socket cookie. A full pass over the table
// follows the start, every rule change that may block more, and every lost report. Owns the
// program, its maps and links, the ring buffers' readers and the thread; everything is released on
// destruction.
class KernelGuard {
public:
    using AttachPoint = GuardAttachPoint;
    using Options = KernelGuardOptions;

    struct Counters {
        uint64_t cuts = 0;
        uint64_t alreadyGone = 0;
        uint64_t passes = 0;
        uint64_t lostMatches = 0;
        uint64_t retries = 0; // cuts tried again after a failure that may pass
        uint64_t spared = 0;  // cuts the rules no longer wanted when their turn came
        uint64_t mptcp = 0;   // blocked MPTCP connections: their TCP subflows are cut
    };
    // What the gate let pass by each path (see countGatePasses): no socket, a request or
    // TIME_WAIT socket, a packet unreadable on a socket without its connection, a socket kept
    // judged spared, a socket judged spared afresh.
    static constexpr size_t kGatePaths = 5;
    std::array<uint64_t, kGatePaths> GatePasses() const;
    // Judgements the kernel had no memory to keep on their socket.
    uint64_t Unkept() const;
    // The gate's runs, both ways, and the time they took (see timeGate).
    struct GateRuns {
        uint64_t runs = 0;
        uint64_t nanoseconds = 0;
    };
    GateRuns GateRunTime() const;

    // Loads and attaches the program with the given rules, which are in force once it returns,
    // cuts what they block, and starts the thread. Nothing, with a one-line reason in whyNot, when
    // the guard cannot run here.
    static std::unique_ptr<KernelGuard> Start(const GuardRules& rules, std::string& whyNot,
                                              const Options& options = {});
    class Key {
        friend class KernelGuard;
        Key() = default;
    };
    KernelGuard(Key, const Options& options); // through Start only
    ~KernelGuard();
    KernelGuard(const KernelGuard&) = delete;
    KernelGuard& operator=(const KernelGuard&) = delete;

    // Any thread: hands the rules over to be switched in whole off the caller's thread (see
    // RuleSwitch); a full pass follows. False, with the reason, once the guard is no longer sound.
    bool SetRules(const GuardRules& rules, std::string& whyNot);
    // Any thread: one edit is applied in place, several switched in whole.
    void Edit(std::span<const GuardRuleEdit> edits);
    // A set or edit the kernel could not take, told once each; the set in force stayed.
    bool TakeRefusal(std::string& why);
    // Waits, at most bound, until every rule handed over is in force in the kernel (or refused).
    bool SettleRules(std::chrono::milliseconds bound) const;
    RuleSwitch::Counts RuleCounts() const;
    // The kernel's account of the memory of the rule set's map in force.
    uint64_t RuleMapBytes() const;

    // Lock-free, from any thread: false once the thread ended or a cut was refused for another
    // reason than the connection being gone already.
    bool Sound() const { return fault_.load(std::memory_order_acquire) == 0; }
    std::string WhyNotSound() const;
    // For a watchdog, any thread: whether the thread turned since seen (updated here) or waits in
    // a table dump, which a socket's owner can hold up; wakes it for the next question.
    bool Answering(uint64_t& seen) const;
    Counters Count() const;
    // Any thread: whether the cut of the socket with this cookie is in the thread's hands (its
    // destroy waits, or is due again): another destroy of it would only wait beside that one.
    bool Cutting(uint64_t cookie) const;
    // Helper processes of the thread's destroys, alive or not yet reaped.
    size_t Helpers() const { return helpers_.load(); }
    AttachPoint Attached() const { return attached_; }
    // Why the gate that holds back a blocked connection's bytes until its cut is not running;
    // empty while it runs.
    const std::string& GateMissing() const { return gateMissing_; }

    // The ring buffer of the TCP state changes, which wakes nobody, and how many changes it
    // lost: found no room, or skipped by the kernel.
    int ChangeRingFd() const;
    uint64_t LostChanges() const;
    // Of those, the ones the kernel skipped: it runs no second copy of the program on a processor
    // where it runs already.
    uint64_t SkippedChanges() const;

private:
    enum class Fault : int { None, ThreadEnded, CutRefused, TableUnreadable };
    struct SkeletonDeleter {
        void operator()(guard* skeleton) const;
    };
    struct RingDeleter {
        void operator()(ring_buffer* ring) const;
    };

    bool Load(AttachPoint point, bool gate, uint64_t netnsCookie, std::string& whyNot);
    bool InstallRules(const GuardRules& rules, std::string& whyNot);
    bool Attach(std::string& whyNot);
    void AttachGate();
    void Run();
    void Wake();
    // A cut to make: family 0 when the socket's own is not known (the table looks it up).
    struct Pending {
        uint16_t family = 0;
        TcpRow row;
        bool early = false; // reported before it was established: the kernel may not list it
        int error = 0;      // of the last try
        int tries = 0;      // in a row with that error
        std::chrono::steady_clock::time_point due{};
    };
    // What woke the thread, as its epoll set tags it.
    static constexpr uint32_t kWakeTag = 1;
    static constexpr uint32_t kMatchesTag = 2;
    static constexpr uint32_t kDestroysTag = 3;
    // Failures of the same kind in a row after which the guard gives up.
    static constexpr int kTries = 3;
    static constexpr std::chrono::milliseconds kRetryDelay{10};

    static TcpRow RowOf(const kt_guard_socket& socket);
    static int OnMatch(void* self, void* data, size_t size);
    void Cut(Pending cut);
    // Accounts for the destroys that have ended, waiting at most bound for the first.
    void Collect(std::chrono::milliseconds bound = std::chrono::milliseconds(0));
    CutRecord::Rule CutRule(const TcpRow& row) const;
    // Counts a cut's outcome and reports a done one; a failure that may pass is tried again.
    void Account(int error, Pending& cut);
    // Until the next retry falls due, in milliseconds for epoll_wait; -1 for none.
    int RetryWait() const;
    void RetryDue();
    void Pass();
    // Takes the rules that came into force, if any: what the thread judges by is what the kernel
    // does.
    void AdoptRules();
    void SetFault(Fault fault, int error);
    uint64_t LostMatches() const;

    Options options_;
    AttachPoint attached_ = AttachPoint::Typed;
    bool gated_ = false;
    std::string gateMissing_;
    std::unique_ptr<guard, SkeletonDeleter> skeleton_;
    std::unique_ptr<ring_buffer, RingDeleter> matches_;
    UniqueFd epoll_;
    UniqueFd wake_;
    UniqueFd runTimes_; // while open, the kernel times BPF programs

    // Gone before the skeleton whose maps it writes, and stopped first of all.
    std::unique_ptr<RuleSwitch> rules_;

    // Handed to the guard thread.
    std::mutex handOver_;
    std::optional<RuleSwitch::InForce> inForce_;
    bool passAsked_ = false;

    // The guard thread only (and Start, before the thread runs).
    GuardJudge judge_;
    NetlinkTcpTable table_;
    // Destroys run in helper processes: one that waits for its socket holds up nothing else.
    std::unique_ptr<Destroyer> destroyer_;
    std::unordered_map<Destroyer::Ticket, Pending> submitted_;
    // The cookies of submitted_, for other threads.
    mutable std::mutex cuttingLock_;
    std::unordered_multiset<uint64_t> cutting_;
    std::vector<Destroyer::Outcome> outcomes_;
    uint64_t lostSeen_ = 0;
    std::vector<Pending> retry_;
    // A child is reported twice (when made and once established): the second cut of the same
    // socket finding nothing is the guard's own doing, not a connection that went by itself.
    std::unordered_set<uint64_t> cutCookies_;
    std::deque<uint64_t> cutOrder_;
    static constexpr size_t kCutCookies = 4096;

    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> fault_{0}; // the first fault and its errno, as (fault << 32) | errno
    std::atomic<uint64_t> cuts_{0};
    std::atomic<uint64_t> turns_{0};
    std::atomic<bool> dumping_{false};
    std::atomic<uint64_t> gone_{0};
    std::atomic<uint64_t> passes_{0};
    std::atomic<uint64_t> lost_{0};
    std::atomic<uint64_t> retries_{0};
    std::atomic<uint64_t> spared_{0};
    std::atomic<uint64_t> mptcp_{0};
    std::atomic<size_t> helpers_{0};
    std::thread thread_;
};

} // namespace kt

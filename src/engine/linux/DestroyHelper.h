#pragma once

// SOCK_DESTROY from helper processes of the program's own. A destroy waits, uninterruptibly, for
// its socket's lock, which the socket's owner can hold for as long as it likes (a send() from a
// page whose fault is never served). A thread waiting there could never be interrupted and would
// keep the process from ending; a helper process can be left behind and replaced.

#include "core/linux/UniqueFd.h"
#include "engine/TcpTable.h"
#include "engine/linux/DiagChannel.h"
#include "engine/linux/SockDiag.h"

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <sys/types.h>
#include <vector>

namespace kt {

// Why a destroy named as slow still waits.
enum class SlowCause {
    OwnerHolds,     // its helper waits for the socket, which the program that owns it holds
    OwnerAtBound,   // queued: its owner's other sockets keep as many helpers waiting as one may
    HelpersAtBound, // queued: every helper the program may run waits for a socket
    BehindAnother,  // queued behind a destroy that waits, which the kernel serves before any other
};
// The cause as the middle of a sentence: "a cut waits ...".
const char* DescribeSlowCause(SlowCause cause);

struct DestroyerOptions {
    // A destroy that has waited this long while others are queued is left to its helper, and a
    // fresh helper takes the queue.
    std::chrono::milliseconds abandonAfter{20};
    // A destroy still unanswered after this long is named once, through onSlow.
    std::chrono::milliseconds nameAfter{1000};
    // Helper processes at once, the one taking the queue included: the program's share of the
    // unit's task limit. At this many, the queue waits until one ends.
    size_t maxHelpers = 12;
    // Helpers left waiting on the sockets of one user (the owner the kernel names): at this many,
    // that user's further destroys wait in the queue while other users' go on.
    size_t maxPerOwner = 4;
    // The kernel serves one sock_diag request at a time (before Linux 6.9): a destroy that waits
    // holds up every other, and a look-up of its owner too. Then no helper is left behind.
    bool serialized = sockdiag::ServesOneAtATime();
    // Runs on the calling thread, inside Submit, Collect, Wait or Tend, which it must not call.
    std::function<void(const TcpRow& row, std::chrono::milliseconds waited, SlowCause cause)>
        onSlow;
    // Asked, on the same terms, as a queued destroy's turn comes: false spares the socket, whose
    // outcome is then ECANCELED. Unset: every destroy goes ahead.
    std::function<bool(const TcpRow& row)> stillWanted;
};

// Owns the helpers and the queue of destroys; one thread at a time uses it. A helper dies with
// the thread that started it (PR_SET_PDEATHSIG); one found dead is replaced. Nothing here ever
// waits for a helper without a bound, so an object and the program holding it always end.
class Destroyer {
public:
    using Ticket = uint64_t;
    struct Outcome {
        Ticket ticket = 0;
        TcpRow row;
        // 0 done, ENOENT gone, ECANCELED spared, EPERM refused, another errno from the kernel;
        // EINTR, ENOBUFS, ETIMEDOUT (no answer within the netlink socket's timeout) and EIO (no
        // readable answer) say that the exchange failed and the destroy may be tried again.
        int error = 0;
    };
    // Wait's answer for a destroy that has no outcome yet.
    static constexpr int kStillWaiting = EINPROGRESS;

    explicit Destroyer(DestroyerOptions options = {});
    ~Destroyer();
    Destroyer(const Destroyer&) = delete;
    Destroyer& operator=(const Destroyer&) = delete;

    // Queues the destroy (its sequence number is replaced) of the socket in row, which comes back
    // with the outcome. A socket whose destroy is still pending gets that destroy's ticket.
    Ticket Submit(const sockdiag::Request& request, const TcpRow& row);
    // Appends the outcomes that are in, waiting at most bound for the first one (not at all when
    // nothing is pending).
    void Collect(std::vector<Outcome>& outcomes, std::chrono::milliseconds bound);
    // The outcome of one destroy, waiting at most bound, and not at all for one that a Wait gave
    // up on before: kStillWaiting then; EINVAL for a ticket with nothing to tell (its outcome
    // already handed out). The outcomes of others are kept for Collect.
    int Wait(Ticket ticket, std::chrono::milliseconds bound);
    // Readable when Collect has something to do: an answer, a helper's end, a deadline.
    int Fd() const { return epoll_.Get(); }
    // Destroys without an outcome yet.
    size_t Pending() const;
    // Does what is due (reaps the helpers that ended, names the slow, dispatches) without
    // waiting: for an owner that does not watch Fd.
    void Tend() { Step(); }
    // Helper processes alive or not yet reaped.
    size_t Helpers() const { return abandoned_.size() + (live_ ? 1 : 0); }

private:
    using Clock = std::chrono::steady_clock;
    struct Job {
        Ticket ticket = 0;
        sockdiag::Request request{};
        TcpRow row;
        Clock::time_point submitted;
        bool named = false;
        bool waitedOut = false; // a Wait gave up on it
        int tries = 0;
        std::optional<uint32_t> owner; // the socket's user, once looked up
    };
    struct Helper {
        UniqueFd pidfd;
        UniqueFd channel; // SOCK_SEQPACKET: one request in, one answer out
        UniqueFd netlink; // the helper's own socket, kept to read the answer of a helper killed
        // No default member initializers: clang could not tell, inside this class, that
        // std::optional<Helper> may make one.
        uint32_t portId;
        std::optional<Job> job;
        Clock::time_point started;
    };

    void Step();
    void ReadLive();
    void Dispatch();
    // The first queued destroy whose owner may have a helper, or the queue's end.
    std::deque<Job>::iterator Next();
    // Leaves the live helper to its destroy, within the bounds.
    bool Leave();
    uint32_t OwnerOf(Job& job);
    size_t Waiting(uint32_t owner) const;
    SlowCause CauseOf(const Job& job) const;
    void Abandon();
    void Reap();
    void Resolve(Helper& helper);
    bool Spawn(int& error);
    void NameSlow();
    void ArmTimer();
    void Finish(const Job& job, int error);
    void Requeue(Job job);
    bool WaitForEvents(Clock::time_point deadline);
    template <typename Match> Job* Find(Match match);

    DestroyerOptions options_;
    UniqueFd epoll_;
    UniqueFd timer_;
    std::unique_ptr<DiagChannel> lookups_; // opened with the first look-up of an owner
    std::optional<Helper> live_;
    std::vector<Helper> abandoned_;
    std::deque<Job> queue_;
    std::deque<Outcome> done_;
    Ticket lastTicket_ = 0;
    uint32_t lastSeq_ = 0;
};

} // namespace kt

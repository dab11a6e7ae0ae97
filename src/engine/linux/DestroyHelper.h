#pragma once

// SOCK_DESTROY from helper processes of the program's own. A destroy waits, uninterruptibly, for
// its socket's lock, which the socket's owner can hold for as long as it likes (a send() from a
// page whose fault is never served). A thread waiting there could never be interrupted and would
// keep the process from ending; a helper process can be left behind and replaced.

#include "core/linux/UniqueFd.h"
#include "engine/TcpTable.h"
#include "engine/linux/SockDiag.h"

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <sys/types.h>
#include <vector>

namespace kt {

struct DestroyerOptions {
    // A destroy that has waited this long while others are queued is left to its helper, and a
    // fresh helper takes the queue.
    std::chrono::milliseconds abandonAfter{20};
    // A destroy still unanswered after this long is named once, through onSlow.
    std::chrono::milliseconds nameAfter{1000};
    // Helpers left behind that may still wait in the kernel; at this many the queue waits too.
    size_t maxAbandoned = 8;
    // Runs on the calling thread, inside Submit, Collect or Wait, which it must not call.
    std::function<void(const TcpRow& row, std::chrono::milliseconds waited)> onSlow;
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
    std::optional<Helper> live_;
    std::vector<Helper> abandoned_;
    std::deque<Job> queue_;
    std::deque<Outcome> done_;
    Ticket lastTicket_ = 0;
    uint32_t lastSeq_ = 0;
};

} // namespace kt

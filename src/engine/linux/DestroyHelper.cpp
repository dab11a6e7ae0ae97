#include "engine/linux/DestroyHelper.h"

#include "engine/linux/DestroyHelperChild.h"

#include <algorithm>
#include <array>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kt {
namespace {

using destroyhelper::kMaxDatagrams;
using destroyhelper::kReplyBytes;
using destroyhelper::kReplyHead;

// A kernel that does not answer within this time is reported, not waited for.
constexpr time_t kAnswerTimeoutSeconds = 2;
// A destroy whose helper ended without an answer is sent again once.
constexpr int kMaxTries = 2;
// Outcomes nobody collects are dropped past this many, oldest first.
constexpr size_t kMaxKeptOutcomes = 4096;
// How long a Destroyer's end waits for its helpers that are not stuck in the kernel: the exit of a
// fork of a large process (a sanitized one above all) takes tens of milliseconds.
constexpr auto kReapBound = std::chrono::milliseconds(150);

// The outcome in a helper's answer.
int ReadReply(std::span<const uint8_t> reply, uint32_t seq, uint32_t portId) {
    if (reply.size() < kReplyHead) {
        return EIO;
    }
    int32_t status = 0;
    std::memcpy(&status, reply.data(), sizeof status);
    if (status != 0) {
        return status == EAGAIN ? ETIMEDOUT : status;
    }
    const sockdiag::AckResult ack = sockdiag::ParseAck(reply.subspan(kReplyHead), seq, portId);
    return ack.status == sockdiag::AckStatus::Answered ? ack.error : EIO;
}

void Watch(int epoll, int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
}

void Unwatch(int epoll, int fd) {
    ::epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
}

} // namespace

Destroyer::Destroyer(DestroyerOptions options)
    : options_(std::move(options)), epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      timer_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {
    Watch(epoll_.Get(), timer_.Get());
    int error = 0;
    Spawn(error); // ready before the first destroy; a failure is told with the first outcome
}

Destroyer::~Destroyer() {
    // Every helper is killed; the ones not stuck in the kernel end at once and are reaped here.
    // A stuck one ends when its socket's lock comes free, a zombie until this process ends.
    if (live_) {
        Abandon();
    }
    const auto deadline = Clock::now() + kReapBound;
    for (;;) {
        Reap();
        const bool onlyStuck = std::all_of(abandoned_.begin(), abandoned_.end(),
                                           [](const Helper& helper) { return helper.job; });
        if (onlyStuck || !WaitForEvents(deadline)) {
            break;
        }
    }
}

template <typename Match> Destroyer::Job* Destroyer::Find(Match match) {
    for (Job& job : queue_) {
        if (match(job)) {
            return &job;
        }
    }
    if (live_ && live_->job && match(*live_->job)) {
        return &*live_->job;
    }
    for (Helper& helper : abandoned_) {
        if (helper.job && match(*helper.job)) {
            return &*helper.job;
        }
    }
    return nullptr;
}

Destroyer::Ticket Destroyer::Submit(const sockdiag::Request& request, const TcpRow& row) {
    const uint64_t cookie =
        sockdiag::CookieValue({request.body.id.idiag_cookie[0], request.body.id.idiag_cookie[1]});
    const Job* pending = Find([&](const Job& job) {
        // A socket's cookie names it whichever family a request was made in.
        const uint64_t other = sockdiag::CookieValue(
            {job.request.body.id.idiag_cookie[0], job.request.body.id.idiag_cookie[1]});
        return job.request.header.nlmsg_type == request.header.nlmsg_type &&
               (cookie != 0 && other != 0
                    ? cookie == other
                    : std::memcmp(&job.request.body, &request.body, sizeof request.body) == 0);
    });
    if (pending != nullptr) {
        // A second destroy of the socket would only wait beside the first: one that waits for
        // its socket keeps its helper, and no other, until that helper ends.
        return pending->ticket;
    }
    Job job;
    job.ticket = ++lastTicket_;
    job.request = request;
    job.row = row;
    job.submitted = Clock::now();
    queue_.push_back(job);
    Step();
    return job.ticket;
}

void Destroyer::Collect(std::vector<Outcome>& outcomes, std::chrono::milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    Step();
    while (done_.empty() && Pending() > 0 && WaitForEvents(deadline)) {
        Step();
    }
    outcomes.insert(outcomes.end(), done_.begin(), done_.end());
    done_.clear();
}

int Destroyer::Wait(Ticket ticket, std::chrono::milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    for (Step();; Step()) {
        const auto done = std::find_if(done_.begin(), done_.end(),
                                       [&](const Outcome& o) { return o.ticket == ticket; });
        if (done != done_.end()) {
            const int error = done->error;
            done_.erase(done);
            return error;
        }
        Job* job = Find([&](const Job& j) { return j.ticket == ticket; });
        if (job == nullptr) {
            return EINVAL;
        }
        // A caller that asks on every tick waits once, not on every tick.
        if (job->waitedOut || !WaitForEvents(deadline)) {
            job->waitedOut = true;
            return kStillWaiting;
        }
    }
}

size_t Destroyer::Pending() const {
    return queue_.size() + (live_ && live_->job ? 1 : 0) +
           static_cast<size_t>(std::count_if(abandoned_.begin(), abandoned_.end(),
                                             [](const Helper& helper) { return helper.job; }));
}

void Destroyer::Step() {
    uint64_t expirations = 0;
    if (::read(timer_.Get(), &expirations, sizeof expirations) < 0) {
        // EAGAIN: the timer has not fired; Step looks at everything anyway.
    }
    ReadLive();
    Reap();
    Dispatch();
    NameSlow();
    ArmTimer();
}

void Destroyer::ReadLive() {
    if (!live_) {
        return;
    }
    alignas(8) std::array<uint8_t, kReplyBytes> reply;
    const ssize_t got = ::recv(live_->channel.Get(), reply.data(), reply.size(), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (got <= 0) {
        Abandon(); // the helper ended: killed from outside, or with the thread that started it
        return;
    }
    if (live_->job) {
        const Job& job = *live_->job;
        Finish(job, ReadReply({reply.data(), static_cast<size_t>(got)},
                              job.request.header.nlmsg_seq, live_->portId));
        live_->job.reset();
    }
}

void Destroyer::Dispatch() {
    while (!queue_.empty()) {
        if (live_ && live_->job &&
            (Clock::now() - live_->started < options_.abandonAfter || !Leave())) {
            return;
        }
        const auto next = Next();
        if (next == queue_.end()) {
            return; // what is queued belongs to users at their bound
        }
        if (!live_) {
            int error = 0;
            if (!Spawn(error)) {
                for (; !queue_.empty(); queue_.pop_front()) {
                    Finish(queue_.front(), error);
                }
                return;
            }
        }
        Job job = std::move(*next);
        queue_.erase(next);
        // The rules may have changed while it waited.
        if (options_.stillWanted && !options_.stillWanted(job.row)) {
            Finish(job, ECANCELED);
            continue;
        }
        job.request.header.nlmsg_seq = ++lastSeq_; // a fresh one, so no stale answer is taken
        if (::send(live_->channel.Get(), &job.request, sizeof job.request,
                   MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(sizeof job.request)) {
            Abandon();
            Requeue(std::move(job));
            continue;
        }
        live_->job = std::move(job);
        live_->started = Clock::now();
    }
}

std::deque<Destroyer::Job>::iterator Destroyer::Next() {
    // Owners are looked up (a few microseconds each) only while one of them is at the bound.
    const bool atBound = std::any_of(abandoned_.begin(), abandoned_.end(), [&](const Helper& h) {
        return h.job && h.job->owner && Waiting(*h.job->owner) >= options_.maxPerOwner;
    });
    if (!atBound) {
        return queue_.begin();
    }
    return std::find_if(queue_.begin(), queue_.end(),
                        [&](Job& job) { return Waiting(OwnerOf(job)) < options_.maxPerOwner; });
}

bool Destroyer::Leave() {
    // Where the kernel serves one request at a time, a second helper would only wait too.
    if (options_.serialized || abandoned_.size() + 2 > options_.maxHelpers ||
        Waiting(OwnerOf(*live_->job)) >= options_.maxPerOwner) {
        return false;
    }
    Abandon();
    return true;
}

uint32_t Destroyer::OwnerOf(Job& job) {
    if (job.owner) {
        return *job.owner;
    }
    // Whoever cannot be looked up (gone meanwhile, or an answer that did not come) shares one
    // bound with the others like it.
    job.owner = UINT32_MAX;
    if (options_.serialized) {
        return *job.owner; // the look-up would wait behind the destroy that waits
    }
    if (!lookups_) {
        lookups_ = OpenDiagChannel();
    }
    // The kernel reads a socket's owner without its lock: a socket whose owner holds it answers.
    sockdiag::Request lookup = job.request;
    lookup.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    lookup.header.nlmsg_flags = NLM_F_REQUEST;
    lookup.header.nlmsg_seq = ++lastSeq_;
    lookup.body.idiag_ext = 0;
    alignas(8) std::array<uint8_t, kReplyBytes> buffer;
    sockdiag::Found found;
    if (AskKernel(*lookups_, {reinterpret_cast<const uint8_t*>(&lookup), sizeof lookup},
                  lookup.header.nlmsg_seq, buffer, &found) == 0) {
        job.owner = found.uid;
    }
    return *job.owner;
}

size_t Destroyer::Waiting(uint32_t owner) const {
    return static_cast<size_t>(
        std::count_if(abandoned_.begin(), abandoned_.end(), [&](const Helper& helper) {
            return helper.job && helper.job->owner == owner;
        }));
}

SlowCause Destroyer::CauseOf(const Job& job) const {
    if (std::any_of(queue_.begin(), queue_.end(),
                    [&](const Job& queued) { return queued.ticket == job.ticket; })) {
        if (options_.serialized) {
            return SlowCause::BehindAnother;
        }
        return job.owner && Waiting(*job.owner) >= options_.maxPerOwner ? SlowCause::OwnerAtBound
                                                                        : SlowCause::HelpersAtBound;
    }
    return SlowCause::OwnerHolds;
}

const char* DescribeSlowCause(SlowCause cause) {
    switch (cause) {
    case SlowCause::OwnerHolds:
        return "for its socket, which the program that owns it holds";
    case SlowCause::OwnerAtBound:
        return "its turn: the user who owns its socket holds others, whose cuts wait already";
    case SlowCause::HelpersAtBound:
        return "its turn: every helper that cuts waits for a socket that its owner holds";
    case SlowCause::BehindAnother:
        return "behind the cut of a socket that its owner holds, which this kernel (before "
               "Linux 6.9) finishes before any other";
    }
    return "";
}

void Destroyer::Abandon() {
    Helper& helper = *live_;
    Unwatch(epoll_.Get(), helper.channel.Get());
    // Takes effect when the helper leaves the kernel: at once, or when the lock it waits for
    // comes free. Its end is then seen on its pidfd, never waited for here.
    ::syscall(SYS_pidfd_send_signal, helper.pidfd.Get(), SIGKILL, nullptr, 0u);
    Watch(epoll_.Get(), helper.pidfd.Get());
    abandoned_.push_back(std::move(helper));
    live_.reset();
}

void Destroyer::Reap() {
    for (size_t i = 0; i < abandoned_.size();) {
        Helper& helper = abandoned_[i];
        siginfo_t info{};
        // ECHILD (someone else reaped it, or SIGCHLD is ignored) is an end as well.
        if (::waitid(P_PIDFD, static_cast<id_t>(helper.pidfd.Get()), &info, WEXITED | WNOHANG) ==
                0 &&
            info.si_pid == 0) {
            ++i;
            continue;
        }
        Unwatch(epoll_.Get(), helper.pidfd.Get());
        Resolve(helper);
        abandoned_.erase(abandoned_.begin() + static_cast<ptrdiff_t>(i));
    }
}

void Destroyer::Resolve(Helper& helper) {
    if (!helper.job) {
        return;
    }
    const Job& job = *helper.job;
    const uint32_t seq = job.request.header.nlmsg_seq;
    // The answer the helper passed on before it died, else the kernel's answer on its socket.
    alignas(8) std::array<uint8_t, kReplyBytes> buffer;
    ssize_t got = ::recv(helper.channel.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got > 0) {
        Finish(job, ReadReply({buffer.data(), static_cast<size_t>(got)}, seq, helper.portId));
        return;
    }
    for (int datagram = 0; datagram < kMaxDatagrams; ++datagram) {
        got = ::recv(helper.netlink.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0) {
            break;
        }
        const sockdiag::AckResult ack =
            sockdiag::ParseAck({buffer.data(), static_cast<size_t>(got)}, seq, helper.portId);
        if (ack.status == sockdiag::AckStatus::Answered) {
            Finish(job, ack.error);
            return;
        }
    }
    // Never reached the kernel, or its answer was read and lost with the helper.
    Requeue(*helper.job);
}

bool Destroyer::Spawn(int& error) {
    UniqueFd netlink(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK; // port id 0: the kernel assigns one
    socklen_t length = sizeof local;
    const timeval timeout{kAnswerTimeoutSeconds, 0};
    int pair[2] = {-1, -1};
    if (!netlink.Valid() ||
        ::bind(netlink.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(netlink.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        ::setsockopt(netlink.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        error = errno;
        return false;
    }
    UniqueFd ours(pair[0]);
    UniqueFd theirs(pair[1]);
    const pid_t parent = ::getpid();
    // _Fork, not fork: no fork handlers run in a child that may touch no lock; the helper opens
    // nothing and inherits the network namespace and capabilities of the calling thread.
    const pid_t pid = ::_Fork();
    if (pid == 0) {
        destroyhelper::RunDestroyHelper(theirs.Get(), netlink.Get(), parent);
    }
    if (pid < 0) {
        error = errno;
        return false;
    }
    UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0u)));
    if (!pidfd.Valid()) {
        error = errno;
        // Only just started, the helper is in no kernel wait yet: it ends at once.
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return false;
    }
    Watch(epoll_.Get(), ours.Get());
    live_.emplace();
    live_->pidfd = std::move(pidfd);
    live_->channel = std::move(ours);
    live_->netlink = std::move(netlink);
    live_->portId = local.nl_pid;
    return true;
}

void Destroyer::NameSlow() {
    const auto now = Clock::now();
    const auto name = [&](Job& job) {
        if (!job.named && now - job.submitted >= options_.nameAfter) {
            job.named = true;
            if (options_.onSlow) {
                options_.onSlow(
                    job.row,
                    std::chrono::duration_cast<std::chrono::milliseconds>(now - job.submitted),
                    CauseOf(job));
            }
        }
    };
    std::for_each(queue_.begin(), queue_.end(), name);
    if (live_ && live_->job) {
        name(*live_->job);
    }
    for (Helper& helper : abandoned_) {
        if (helper.job) {
            name(*helper.job);
        }
    }
}

void Destroyer::ArmTimer() {
    std::optional<Clock::time_point> next;
    const auto consider = [&](Clock::time_point when) {
        if (!next || when < *next) {
            next = when;
        }
    };
    const auto unnamed = [&](const Job& job) {
        if (!job.named) {
            consider(job.submitted + options_.nameAfter);
        }
    };
    // Only while the live helper could be left: a deadline that cannot be acted on would fire
    // at once, again and again.
    const auto leavable = [&] {
        const auto& owner = live_->job->owner;
        return !options_.serialized && abandoned_.size() + 2 <= options_.maxHelpers &&
               !(owner && Waiting(*owner) >= options_.maxPerOwner);
    };
    if (live_ && live_->job && !queue_.empty() && leavable()) {
        consider(live_->started + options_.abandonAfter);
    }
    std::for_each(queue_.begin(), queue_.end(), unnamed);
    if (live_ && live_->job) {
        unnamed(*live_->job);
    }
    for (const Helper& helper : abandoned_) {
        if (helper.job) {
            unnamed(*helper.job);
        }
    }
    itimerspec when{};
    if (next) {
        // steady_clock is CLOCK_MONOTONIC; a deadline already past fires at once.
        const auto since =
            std::chrono::duration_cast<std::chrono::nanoseconds>(next->time_since_epoch());
        when.it_value.tv_sec = static_cast<time_t>(since.count() / 1000000000);
        when.it_value.tv_nsec = static_cast<long>(since.count() % 1000000000);
        if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) {
            when.it_value.tv_nsec = 1; // zero would disarm it
        }
    }
    ::timerfd_settime(timer_.Get(), TFD_TIMER_ABSTIME, &when, nullptr);
}

void Destroyer::Finish(const Job& job, int error) {
    done_.push_back({job.ticket, job.row, error});
    if (done_.size() > kMaxKeptOutcomes) {
        done_.pop_front();
    }
}

void Destroyer::Requeue(Job job) {
    if (++job.tries >= kMaxTries) {
        Finish(job, EIO);
        return;
    }
    queue_.push_front(std::move(job));
}

bool Destroyer::WaitForEvents(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return false;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    std::array<epoll_event, 8> events{};
    ::epoll_wait(epoll_.Get(), events.data(), static_cast<int>(events.size()),
                 static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX)));
    return true;
}

} // namespace kt

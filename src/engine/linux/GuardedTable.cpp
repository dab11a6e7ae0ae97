#include "engine/linux/GuardedTable.h"

namespace kt {

GuardedTable::GuardedTable(const GuardRules& rules, std::string& whyNot,
                           const KernelGuard::Options& options) {
    guard_ = KernelGuard::Start(rules, whyNot, options);
    if (guard_) {
        events_ = EventTcpTable::Open(*guard_, whyNot);
        if (!events_) {
            guard_.reset();
        }
    }
}

GuardedTable::~GuardedTable() {
    Stop();
}

namespace {

// Counts the calls in the kernel for the whole of their time.
class KernelCall {
public:
    explicit KernelCall(std::atomic<int>& count) : count_(count) { count_.fetch_add(1); }
    ~KernelCall() { count_.fetch_sub(1); }
    KernelCall(const KernelCall&) = delete;
    KernelCall& operator=(const KernelCall&) = delete;

private:
    std::atomic<int>& count_;
};

} // namespace

bool GuardedTable::TakeSnapshot(std::vector<TcpRow>& rows) {
    const KernelCall in(inKernel_);
    // Without the guard's events every look is a whole dump: one walk of the kernel's tables
    // for both families costs half of one per family.
    return events_ ? events_->TakeSnapshot(rows)
                   : netlink_.TakeSnapshotIn(rows, sockdiag::kListedStates);
}

bool GuardedTable::DeleteConnection(const TcpRow& row) {
    const KernelCall in(inKernel_);
    return events_ ? events_->DeleteConnection(row) : netlink_.DeleteConnection(row);
}

std::string GuardedTable::DeleteRefusal() const {
    return events_ ? events_->DeleteRefusal() : netlink_.DeleteRefusal();
}

void GuardedTable::TakeLateDeletes(LateDeletes& late) {
    return events_ ? events_->TakeLateDeletes(late) : netlink_.TakeLateDeletes(late);
}

bool GuardedTable::TakeBlockedSnapshot(std::vector<TcpRow>& rows, std::span<const uint16_t> local,
                                       std::span<const uint16_t> remote) {
    // The kept table costs a copy: whole snapshots are cheaper than a filtered kernel walk.
    const KernelCall in(inKernel_);
    return events_ ? false : netlink_.TakeBlockedSnapshot(rows, local, remote);
}

TcpTable::Changes GuardedTable::TakeChanges(std::vector<TcpRow>& rows,
                                            std::vector<int32_t>& changed) {
    const KernelCall in(inKernel_);
    return events_ ? events_->TakeChanges(rows, changed) : netlink_.TakeChanges(rows, changed);
}

bool GuardedTable::SetRules(const GuardRules& rules, std::string& why) {
    if (!guard_) {
        why = "the kernel guard is not running";
        return false;
    }
    // A guard that refused the rules cuts nothing more; it is stopped by the owner, which must
    // first let go of its wake handle.
    return guard_->SetRules(rules, why);
}

void GuardedTable::Edit(std::span<const GuardRuleEdit> edits) {
    if (guard_) {
        guard_->Edit(edits);
    }
}

bool GuardedTable::TakeRefusal(std::string& why) {
    return guard_ && guard_->TakeRefusal(why);
}

bool GuardedTable::Sound(std::string& why) const {
    if (!guard_) {
        why = "the kernel guard is not running";
        return false;
    }
    if (!guard_->Sound()) {
        why = guard_->WhyNotSound();
        return false;
    }
    return true;
}

void GuardedTable::Stop() {
    events_.reset();
    guard_.reset();
}

} // namespace kt

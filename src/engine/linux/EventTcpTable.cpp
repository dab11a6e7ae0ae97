#include "engine/linux/EventTcpTable.h"

#include "engine/linux/KernelGuard.h"
#include "engine/linux/SockDiag.h"
#include "guard_events.h"

#include <algorithm>
#include <bpf/libbpf.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>

namespace kt {
namespace {

uint64_t AddressKey(const TcpRow& row) {
    uint64_t addresses = (static_cast<uint64_t>(row.dwLocalAddr) << 32) | row.dwRemoteAddr;
    if (row.ipv6) {
        for (const Address6* address : {&row.localAddr6, &row.remoteAddr6}) {
            for (size_t i = 0; i < address->size(); i += 8) {
                uint64_t word = 0;
                std::memcpy(&word, address->data() + i, sizeof word);
                addresses = (addresses ^ word) * 0xFF51AFD7ED558CCDu;
            }
        }
    }
    const uint64_t ports = (static_cast<uint64_t>(row.dwLocalPort) << 16) | row.dwRemotePort;
    return addresses ^ (ports * 0x9E3779B97F4A7C15u);
}

uint64_t RowKey(const TcpRow& row) {
    return AddressKey(row) ^ (static_cast<uint64_t>(row.dwState) * 0xC2B2AE3D27D4EB4Fu);
}

// Same addresses, ports and bound interface, whatever the state.
bool SameAddresses(TcpRow a, const TcpRow& b) {
    a.dwState = b.dwState;
    return a == b;
}

// Both show this socket: equal, and no two different cookies.
bool SameSocket(const TcpRow& a, const TcpRow& b) {
    return a == b && (a.cookie == 0 || b.cookie == 0 || a.cookie == b.cookie);
}

TcpRow RowOf(const kt_guard_socket& report) {
    TcpRow row{static_cast<uint32_t>(sockdiag::TableState(report.new_state)), report.local_addr,
               PortToField(report.local_port), report.remote_addr, PortToField(report.remote_port)};
    if (report.ipv6 != 0) {
        row.dwLocalAddr = row.dwRemoteAddr = 0;
        row.ipv6 = true;
        std::memcpy(row.localAddr6.data(), report.local_addr6, sizeof report.local_addr6);
        std::memcpy(row.remoteAddr6.data(), report.remote_addr6, sizeof report.remote_addr6);
    }
    row.boundInterface = report.bound_if;
    row.cookie = report.cookie;
    return row;
}

// A socket that closes from these states without an error has handed its connection to a
// TIME_WAIT socket, which the kernel reports no more; the dumps remove it once it is gone.
bool LeavesTimeWait(const kt_guard_socket& report) {
    return report.failed == 0 && (report.old_state == sockdiag::LinuxFinWait1 ||
                                  report.old_state == sockdiag::LinuxFinWait2 ||
                                  report.old_state == sockdiag::LinuxClosing);
}

} // namespace

void EventTcpTable::RingDeleter::operator()(ring_buffer* ring) const {
    ring_buffer__free(ring);
}

std::unique_ptr<EventTcpTable> EventTcpTable::Open(KernelGuard& guard, std::string& whyNot,
                                                   std::chrono::milliseconds reconcileInterval) {
    auto table = std::make_unique<EventTcpTable>(Key{}, guard, reconcileInterval);
    // A descriptor of its own keeps the ring's map open for as long as the reader needs it.
    table->map_.Reset(::fcntl(guard.ChangeRingFd(), F_DUPFD_CLOEXEC, 0));
    if (table->map_.Valid()) {
        table->ring_.reset(ring_buffer__new(table->map_.Get(), OnChange, table.get(), nullptr));
    }
    if (!table->ring_) {
        whyNot =
            std::string("reading the kernel's reports of connections: ") + std::strerror(errno);
        return nullptr;
    }
    if (!table->Reconcile()) {
        whyNot = "the connection table could not be read";
        return nullptr;
    }
    return table;
}

EventTcpTable::EventTcpTable(Key, KernelGuard& guard, std::chrono::milliseconds reconcileInterval)
    : guard_(guard), reconcileInterval_(reconcileInterval) {}

EventTcpTable::~EventTcpTable() = default;

int EventTcpTable::WaitFd() const {
    return ring_buffer__epoll_fd(ring_.get());
}

bool EventTcpTable::TakeSnapshot(std::vector<TcpRow>& rows) {
    if (!Drain()) {
        return false;
    }
    rows = rows_;
    return true;
}

TcpTable::Changes EventTcpTable::TakeChanges(std::vector<TcpRow>& rows,
                                             std::vector<int32_t>& changed) {
    changed.clear();
    // A dump that failed is tried again on the next call; the reports are applied either way.
    Drain();
    for (const int32_t index : changes_) {
        const auto at = static_cast<size_t>(index);
        touched_[at] = 0;
        if (!wholeDue_ && at < rows_.size()) {
            changed.push_back(index);
        }
    }
    changes_.clear();
    if (wholeDue_) {
        wholeDue_ = false;
        rows = rows_;
        return Changes::Whole;
    }
    rows.resize(rows_.size());
    for (const int32_t index : changed) {
        rows[static_cast<size_t>(index)] = rows_[static_cast<size_t>(index)];
    }
    return Changes::Listed;
}

bool EventTcpTable::DeleteConnection(const TcpRow& row) {
    // A cut the guard has in hand waits for its socket already: a second destroy would only keep
    // a second helper waiting, and the guard's cut would find the socket gone and go unlogged.
    if (guard_.Sound() && guard_.Cutting(row.cookie)) {
        return false;
    }
    return netlink_.DeleteConnection(row);
}

bool EventTcpTable::Drain() {
    ring_buffer__consume(ring_.get());
    const auto now = std::chrono::steady_clock::now();
    // The rows lost reports spoke of stay wrong until the reader's first look after the gap,
    // which comes at most a second later.
    if (guard_.LostChanges() != lostSeen_ && now - lastWholeDump_ >= kLostDumpGap) {
        return Reconcile();
    }
    if (now - lastDump_ >= reconcileInterval_) {
        // The whole table costs a walk of every socket; the sockets no report speaks for, a
        // fraction of it.
        return ++lingeringDumps_ >= kWholeDumpEvery ? Reconcile() : ReconcileUnreported();
    }
    return true;
}

int EventTcpTable::OnChange(void* self, void* data, size_t size) {
    kt_guard_socket report{};
    if (size >= sizeof report) {
        std::memcpy(&report, data, sizeof report);
    } else if (kt_guard_change4 change; size >= sizeof change) {
        std::memcpy(&change, data, sizeof change);
        report.cookie = change.cookie;
        report.local_addr = change.local_addr;
        report.remote_addr = change.remote_addr;
        report.bound_if = change.bound_if;
        report.local_port = change.local_port;
        report.remote_port = change.remote_port;
        report.family = change.family;
        report.old_state = change.old_state;
        report.new_state = change.new_state;
        report.failed = change.failed;
    } else {
        return 0;
    }
    static_cast<EventTcpTable*>(self)->Apply(report);
    return 0;
}

void EventTcpTable::Apply(const kt_guard_socket& report) {
    // Debian's 6.1 and 6.12 report a listener's new child as LISTEN -> SYN_RECV while it still
    // carries the listener's addresses and cookie, before it has a peer; the child reports itself
    // again at SYN_RECV -> ESTABLISHED. Such a report would turn the listener's row into the
    // child's: the listener stays as it is.
    if (report.old_state == sockdiag::LinuxListen && report.new_state == sockdiag::LinuxSynRecv &&
        report.remote_port == 0) {
        return;
    }
    const TcpRow row = RowOf(report);
    const size_t index = Find(report.cookie, row);
    if (report.new_state != sockdiag::LinuxClose) {
        if (index == kNone) {
            Append(row, report.cookie);
        } else {
            Unindex(index);
            rows_[index] = row;
            Index(index);
        }
    } else if (index != kNone && LeavesTimeWait(report)) {
        rows_[index].dwState = static_cast<uint32_t>(TcpTimeWait);
        Touch(index);
    } else if (index != kNone) {
        Remove(index);
    }
}

// The row of the socket with this cookie; else a row with its addresses that only a dump has
// shown, which takes the cookie from now on.
size_t EventTcpTable::Find(uint64_t cookie, const TcpRow& row) {
    if (cookie != 0) {
        if (const auto known = byCookie_.find(cookie); known != byCookie_.end()) {
            return known->second;
        }
    }
    const auto [first, last] = byAddresses_.equal_range(AddressKey(row));
    for (auto candidate = first; candidate != last; ++candidate) {
        const size_t index = candidate->second;
        if (SameAddresses(rows_[index], row)) {
            byAddresses_.erase(candidate);
            rows_[index].cookie = cookie;
            Index(index);
            return index;
        }
    }
    return kNone;
}

void EventTcpTable::Append(const TcpRow& row, uint64_t cookie) {
    rows_.push_back(row);
    rows_.back().cookie = cookie;
    Index(rows_.size() - 1);
}

void EventTcpTable::Remove(size_t index) {
    const size_t last = rows_.size() - 1;
    Unindex(index);
    if (index != last) {
        Unindex(last);
        rows_[index] = rows_[last];
        Index(index);
    }
    rows_.pop_back();
}

void EventTcpTable::Touch(size_t index) {
    if (index >= touched_.size()) {
        touched_.resize(std::max(index + 1, touched_.size() * 2));
    }
    if (touched_[index] == 0) {
        touched_[index] = 1;
        changes_.push_back(static_cast<int32_t>(index));
    }
}

// Every write of a row indexes it again: each is a change.
void EventTcpTable::Index(size_t index) {
    Touch(index);
    if (rows_[index].cookie != 0) {
        byCookie_[rows_[index].cookie] = index;
    } else {
        byAddresses_.emplace(AddressKey(rows_[index]), index);
    }
}

void EventTcpTable::Unindex(size_t index) {
    if (rows_[index].cookie != 0) {
        byCookie_.erase(rows_[index].cookie);
        return;
    }
    const auto [first, last] = byAddresses_.equal_range(AddressKey(rows_[index]));
    for (auto entry = first; entry != last; ++entry) {
        if (entry->second == index) {
            byAddresses_.erase(entry);
            return;
        }
    }
}

// Rows the dump still shows keep their positions (and take the dump's cookie when they had
// none); a row that is gone leaves its position to the last row, as a closed connection does, and
// the dump's new rows are appended.
bool EventTcpTable::Reconcile() {
    ring_buffer__consume(ring_.get());
    const uint64_t lost = guard_.LostChanges();
    std::vector<TcpRow>& dumped = dumped_;
    if (!netlink_.TakeSnapshotIn(dumped, sockdiag::kListedStates)) {
        return false;
    }
    std::unordered_multimap<uint64_t, size_t> unmatched;
    unmatched.reserve(dumped.size());
    for (size_t i = 0; i < dumped.size(); ++i) {
        if (dumped[i].dwState == TcpSynReceived) {
            // Most are connection requests, whose cookie the socket that answers them does not
            // keep: its reports find the row by its addresses.
            dumped[i].cookie = 0;
        }
        unmatched.emplace(RowKey(dumped[i]), i);
    }
    std::vector<bool> kept(rows_.size(), false);
    for (size_t i = 0; i < rows_.size(); ++i) {
        const auto [first, last] = unmatched.equal_range(RowKey(rows_[i]));
        for (auto candidate = first; candidate != last; ++candidate) {
            if (SameSocket(dumped[candidate->second], rows_[i])) {
                kept[i] = true;
                if (rows_[i].cookie == 0) {
                    rows_[i].cookie = dumped[candidate->second].cookie;
                }
                unmatched.erase(candidate);
                break;
            }
        }
    }
    // From the end, so that the row moved into a gap is always one that stays.
    for (size_t i = rows_.size(); i-- > 0;) {
        if (!kept[i]) {
            rows_[i] = rows_.back();
            rows_.pop_back();
        }
    }
    std::vector<bool> isNew(dumped.size(), false);
    for (const auto& entry : unmatched) {
        isNew[entry.second] = true;
    }
    for (size_t i = 0; i < dumped.size(); ++i) {
        if (isNew[i]) {
            rows_.push_back(dumped[i]);
        }
    }
    byCookie_.clear();
    byAddresses_.clear();
    for (size_t i = 0; i < rows_.size(); ++i) {
        Index(i);
    }
    wholeDue_ = true;
    lingeringDumps_ = 0;
    lostSeen_ = lost;
    lastDump_ = lastWholeDump_ = std::chrono::steady_clock::now();
    ++dumps_;
    return true;
}

// A TIME_WAIT socket ends, or gives way to a new connection of the same addresses, and a
// connection request comes and goes, all without a report: a dump of the sockets in those
// states puts their rows right, each where it is; every other row stays as its reports left it.
bool EventTcpTable::ReconcileUnreported() {
    ring_buffer__consume(ring_.get());
    constexpr uint32_t kUnreported = (1u << sockdiag::LinuxTimeWait) |
                                     (1u << sockdiag::LinuxSynRecv) |
                                     (1u << sockdiag::LinuxNewSynRecv);
    std::vector<TcpRow>& dumped = dumped_;
    if (!netlink_.TakeSnapshotIn(dumped, kUnreported)) {
        return false;
    }
    std::vector<bool> seen(rows_.size(), false);
    for (TcpRow& socket : dumped) {
        if (socket.dwState == TcpSynReceived) {
            socket.cookie = 0; // as in Reconcile
        }
        size_t index = kNone;
        if (const auto known = byCookie_.find(socket.cookie);
            socket.cookie != 0 && known != byCookie_.end()) {
            index = known->second;
        }
        const auto [first, last] = byAddresses_.equal_range(AddressKey(socket));
        for (auto candidate = first; index == kNone && candidate != last; ++candidate) {
            if (!seen[candidate->second] && SameSocket(rows_[candidate->second], socket)) {
                index = candidate->second;
            }
        }
        if (index == kNone) {
            Append(socket, socket.cookie);
            seen.push_back(true);
            continue;
        }
        seen[index] = true;
        if (rows_[index].dwState != socket.dwState) {
            rows_[index].dwState = socket.dwState; // a report still on its way, or a substate
            Touch(index);
        }
    }
    for (size_t i = rows_.size(); i-- > 0;) {
        const auto state = static_cast<TcpState>(rows_[i].dwState);
        if (!seen[i] && (state == TcpTimeWait || state == TcpSynReceived)) {
            seen[i] = seen.back(); // the last row takes its place
            seen.pop_back();
            Remove(i);
        }
    }
    // Every row written is named in the next change list: no reader needs the whole table.
    lastDump_ = std::chrono::steady_clock::now();
    return true;
}

} // namespace kt

#include "engine/linux/EventTcpTable.h"

#include "engine/linux/KernelGuard.h"
#include "engine/linux/SockDiag.h"
#include "guard_events.h"

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

std::unique_ptr<EventTcpTable> EventTcpTable::Open(KernelGuard& guard, std::string& whyNot) {
    auto table = std::make_unique<EventTcpTable>(Key{}, guard);
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

EventTcpTable::EventTcpTable(Key, KernelGuard& guard) : guard_(guard) {}

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

bool EventTcpTable::DeleteConnection(const TcpRow& row) {
    return netlink_.DeleteConnection(row);
}

bool EventTcpTable::Drain() {
    ring_buffer__consume(ring_.get());
    if (guard_.LostChanges() != lostSeen_ ||
        std::chrono::steady_clock::now() - lastDump_ >= kReconcileInterval) {
        return Reconcile();
    }
    return true;
}

int EventTcpTable::OnChange(void* self, void* data, size_t size) {
    kt_guard_socket report;
    if (size >= sizeof report) {
        std::memcpy(&report, data, sizeof report);
        static_cast<EventTcpTable*>(self)->Apply(report);
    }
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

void EventTcpTable::Index(size_t index) {
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
// none); the others go, and the dump's new rows are appended.
bool EventTcpTable::Reconcile() {
    ring_buffer__consume(ring_.get());
    const uint64_t lost = guard_.LostChanges();
    std::vector<TcpRow> dumped;
    if (!netlink_.TakeSnapshot(dumped)) {
        return false;
    }
    std::unordered_multimap<uint64_t, size_t> unmatched;
    for (size_t i = 0; i < dumped.size(); ++i) {
        if (dumped[i].dwState == TcpSynReceived) {
            // Most are connection requests, whose cookie the socket that answers them does not
            // keep: its reports find the row by its addresses.
            dumped[i].cookie = 0;
        }
        unmatched.emplace(RowKey(dumped[i]), i);
    }
    std::vector<TcpRow> rows;
    for (size_t i = 0; i < rows_.size(); ++i) {
        const auto [first, last] = unmatched.equal_range(RowKey(rows_[i]));
        for (auto candidate = first; candidate != last; ++candidate) {
            if (SameSocket(dumped[candidate->second], rows_[i])) {
                rows.push_back(rows_[i]);
                if (rows.back().cookie == 0) {
                    rows.back().cookie = dumped[candidate->second].cookie;
                }
                unmatched.erase(candidate);
                break;
            }
        }
    }
    std::vector<bool> isNew(dumped.size(), false);
    for (const auto& entry : unmatched) {
        isNew[entry.second] = true;
    }
    for (size_t i = 0; i < dumped.size(); ++i) {
        if (isNew[i]) {
            rows.push_back(dumped[i]);
        }
    }
    rows_.swap(rows);
    byCookie_.clear();
    byAddresses_.clear();
    for (size_t i = 0; i < rows_.size(); ++i) {
        Index(i);
    }
    lostSeen_ = lost;
    lastDump_ = std::chrono::steady_clock::now();
    ++dumps_;
    return true;
}

} // namespace kt

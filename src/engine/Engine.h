#pragma once

#include "engine/CutRecord.h"
#include "engine/TcpTable.h"
#include "manager/ConnectionSource.h"
#include "net/AddressText.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kt {

class HostServices;
class List;
class Manager;

// What identifies a connection at a row position: both endpoints and the state.
struct ConnectionKey {
    uint32_t RemoteAddress = 0;
    uint32_t LocalAddress = 0;
    uint16_t RemotePort = 0;
    uint16_t LocalPort = 0;
    // Holds the state as a 16-bit number; a fresh entry's value matches no row.
    int32_t State = INT32_MIN;
    // An IPv6 connection's addresses; the two IPv4 ones are then 0.
    bool IPv6 = false;
    Address6 RemoteAddress6{};
    Address6 LocalAddress6{};

    bool operator==(const ConnectionKey&) const = default;
};

struct ConnectionCacheEntry {
    ConnectionKey RowKey;
    std::string RemoteAddressText;
    bool AllowedFlag = false;
    bool PassedFlag = false;
};

// The connection blocking engine: one snapshot of the table per tick, a cache entry per row
// position, and every established connection judged once against the rule lists. Cutting
// comes first in a tick; the Current Connections view follows at its own, coalesced rate.
// A table that lists its changes is not copied whole: a tick then takes only the rows that
// changed, and judges, caches and shows those alone; the whole table only after a rule change
// or when the table was read afresh.
class Engine : public ConnectionSource {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Clock = std::function<TimePoint()>;
    // The view is rebuilt at most this often; a change waits at most this long to be shown.
    static constexpr std::chrono::milliseconds ViewInterval{33};

    Engine(TcpTable& table, HostServices& host, Manager& manager,
           AddressFormatter formatter = FormatDottedAddress,
           Clock clock = std::chrono::steady_clock::now);
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    void BuildStateNames();
    void PollConnections();
    void EnsureCacheSize(int32_t n);
    void ClearConnectionCache() override;

    bool IsAllowedAddress(std::string_view address) const;
    static bool IsPortInList(int32_t port, const List& list);

    int32_t RowCount() const override { return static_cast<int32_t>(TcpSnapshot.size()); }
    const TcpRow& Row(int32_t index) const override {
        return TcpSnapshot[static_cast<size_t>(index)];
    }
    std::string_view RemoteAddressText(int32_t index) const override;
    std::string_view StateName(int32_t state) const override;
    std::string AddressText(uint32_t address) const override;
    std::string AddressText(const Address6& address) const override;

    const std::vector<ConnectionCacheEntry>& Cache() const { return ConnectionCache; }
    // When a changed table waits to be shown: the time its rebuild falls due.
    std::optional<TimePoint> ViewDue() const;
    // For a table that wakes nobody, how soon to look at it again while the view is seen: at the
    // view's rate while it changes, less often the longer it has been still.
    std::chrono::milliseconds NextLook() const;
    static constexpr std::chrono::milliseconds StillLookInterval{250};
    // Grows by one whenever a row is seen to come, change or go.
    uint64_t ChangesSeen() const { return changesSeen_; }

    // Told of every cut once the connection is seen gone, and of the first refusal of each
    // connection; from within a tick.
    using CutReport = std::function<void(const CutRecord&)>;
    void SetCutReport(CutReport report) { report_ = std::move(report); }
    // A connection still listed on this many ticks in a row after deletes the system accepted was
    // not cut: the system only said it was (Wine does).
    static constexpr int kStillListedTicks = 3;

private:
    // Takes the whole table and fits the cache to it: entries past its end are reset.
    void TakeWholeSnapshot();
    void FitCache();
    // A tick from the table's change list; false when the table has none.
    bool PollChanges();
    // The view must show this row again.
    void NoteViewChange(int32_t index);
    // Only the rows the port rules could block, while the whole table is not due for the view;
    // false when the table cannot filter.
    bool TakeJudgingSnapshot();
    // The row's entry, brought in step with it: a changed row gets its new key and address text
    // and loses its decision. Nothing when the cache was emptied after the snapshot.
    ConnectionCacheEntry* CachedEntry(int32_t index);
    // The remote address as the allowed list is compared with: "0.0.0.0" or "::" when there is
    // none.
    std::string RemoteText(const TcpRow& row) const;
    // Judges the row; a blocked one is queued to be cut.
    void ProcessConnection(int32_t index);
    bool Blocked(const ConnectionKey& key) const;
    // Deletes each queued row's connection, and reports what the deletes of this tick and the
    // one before show to be cut or refused.
    void CutQueued();
    // A tick with nothing to cut: the deletes of the tick before took.
    void SettleCuts();
    void Report(CutRecord record, bool refused, std::string reason);
    CutRecord RecordOf(const TcpRow& row, std::chrono::system_clock::time_point when) const;
    // Names the deletes that wait long, and reports those done after their tick.
    void TellLateDeletes();
    void RefreshViewIfDue(TimePoint now);
    void CollectBlockedPorts();

    TcpTable& table_;
    HostServices& host_;
    Manager& manager_;
    AddressFormatter formatter_;
    Clock clock_;
    std::vector<TcpRow> TcpSnapshot;
    std::array<std::string, 13> StateNames;
    std::vector<ConnectionCacheEntry> ConnectionCache;
    // Rows judged blocked in this tick, each the judged connection's own row.
    std::vector<TcpRow> cuts_;
    // Only the established rows on a blocked port, for ticks between two whole snapshots.
    std::vector<TcpRow> judging_;
    // With a table that lists its changes: the positions changed in this tick, the positions
    // of the rows cut in the last one (judged again), and those the view has yet to show.
    bool listsChanges_ = true;
    bool wholeDue_ = false;
    int stillTicks_ = 0; // in a row, without a change
    std::vector<int32_t> changed_;
    std::vector<int32_t> recheck_;
    std::vector<int32_t> viewRows_;
    std::vector<uint8_t> viewMarked_;
    std::vector<uint16_t> blockedLocal_;
    std::vector<uint16_t> blockedRemote_;
    bool portsStale_ = true;
    bool canFilter_ = true;
    // Set when a row changed since the view was last rebuilt.
    bool viewChanged_ = false;
    uint64_t changesSeen_ = 0;
    int32_t lastRowCount_ = 0;
    TimePoint lastView_ = TimePoint::min();
    TimePoint nextWhole_{};
    std::string addressScratch_;

    // A connection's identity: its socket's cookie where the table has one (Linux), so that a
    // new connection from the same ports is not taken for one whose cut the system accepted
    // but did not make. Windows rows carry nothing of the kind: there the addresses (IPv4 as
    // IPv4-mapped) and ports are all there is, and such a reconnection looks like the same one.
    struct Tuple {
        Address6 local;
        uint16_t localPort;
        Address6 remote;
        uint16_t remotePort;
        uint64_t cookie;
        auto operator<=>(const Tuple&) const = default;
    };
    static Tuple TupleOf(const TcpRow& row);
    struct Accepted {
        Tuple tuple;
        CutRecord record;
        int ticks; // how many ticks in a row a delete was accepted
    };
    CutReport report_;
    TcpTable::LateDeletes late_;
    std::vector<Accepted> accepted_; // sorted by tuple
    std::vector<Tuple> refused_;     // refused in the last tick, sorted
};

} // namespace kt

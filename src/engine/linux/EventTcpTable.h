#pragma once

#include "core/linux/UniqueFd.h"
#include "engine/TcpTable.h"
#include "engine/linux/NetlinkTcpTable.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

struct ring_buffer;
struct kt_guard_socket;

namespace kt {

class KernelGuard;

// The TCP table kept from the kernel guard's reports of every state change, so that a
// snapshot costs a copy instead of a walk of the kernel's tables, and a reader that takes its
// changes pays for what changed alone. A full netlink dump sets it right at the start, after lost
// reports and every kWholeDumpEvery-th kReconcileInterval; the others dump only the sockets that
// change without reports (TIME_WAIT, connection requests). A new connection is appended and a
// closed one leaves its position to the last row, so rows keep their positions otherwise, across
// dumps too. Used from
// one thread; must not outlive the guard.
class EventTcpTable final : public TcpTable {
public:
    static constexpr std::chrono::seconds kReconcileInterval{10};
    // Of those, the ones that dump the whole table; the others dump only the sockets that change
    // without reports.
    static constexpr int kWholeDumpEvery = 6;
    // Lost reports bring a whole dump, but at most one in this time: under a churn that makes the
    // kernel skip reports now and then, a dump each time would cost more than the reports save.
    static constexpr std::chrono::seconds kLostDumpGap{1};

    // Nothing, with the reason, when the reports cannot be read or the first dump failed. A
    // shorter interval than kReconcileInterval is for tests and benchmarks.
    static std::unique_ptr<EventTcpTable>
    Open(KernelGuard& guard, std::string& whyNot,
         std::chrono::milliseconds reconcileInterval = kReconcileInterval);
    class Key {
        friend class EventTcpTable;
        Key() = default;
    };
    EventTcpTable(Key, KernelGuard& guard,
                  std::chrono::milliseconds reconcileInterval); // through Open only
    ~EventTcpTable() override;
    EventTcpTable(const EventTcpTable&) = delete;
    EventTcpTable& operator=(const EventTcpTable&) = delete;

    // Drains, then copies the table.
    bool TakeSnapshot(std::vector<TcpRow>& rows) override;
    // By netlink, the connection looked up and destroyed by its own cookie.
    bool DeleteConnection(const TcpRow& row) override;
    void TakeLateDeletes(LateDeletes& late) override { netlink_.TakeLateDeletes(late); }
    // Drains, then hands over the rows changed since the last call; the whole table after a
    // whole dump, which may have changed anything.
    Changes TakeChanges(std::vector<TcpRow>& rows, std::vector<int32_t>& changed) override;
    int LastDeleteError() const noexcept { return netlink_.LastDeleteError(); }
    std::string DeleteRefusal() const override { return netlink_.DeleteRefusal(); }

    // The ring's descriptor, readable only when the kernel wakes readers, which the guard's
    // program does not for changes: a reader looks on its own schedule, at least once a second.
    int WaitFd() const;
    // Applies the waiting reports, and dumps the table (or its unreported sockets) when reports
    // were lost (kLostDumpGap after the last whole dump at the soonest) or the last dump is older
    // than the reconcile interval. False when that dump failed (it is tried again).
    bool Drain();
    uint64_t Dumps() const { return dumps_; }

private:
    struct RingDeleter {
        void operator()(ring_buffer* ring) const;
    };
    static constexpr size_t kNone = SIZE_MAX;

    static int OnChange(void* self, void* data, size_t size);
    void Apply(const kt_guard_socket& report);
    bool Reconcile();
    bool ReconcileUnreported();
    size_t Find(uint64_t cookie, const TcpRow& row);
    void Append(const TcpRow& row, uint64_t cookie);
    void Remove(size_t index);
    void Index(size_t index);
    void Unindex(size_t index);
    // The row at this position was written: the next change list names it.
    void Touch(size_t index);

    KernelGuard& guard_;
    const std::chrono::milliseconds reconcileInterval_;
    NetlinkTcpTable netlink_;
    UniqueFd map_;
    std::unique_ptr<ring_buffer, RingDeleter> ring_;
    std::vector<TcpRow> rows_;   // each with its socket's cookie, 0 while it is not known
    std::vector<TcpRow> dumped_; // the last dump, kept for its room
    std::unordered_map<uint64_t, size_t> byCookie_;
    std::unordered_multimap<uint64_t, size_t> byAddresses_; // the rows without a cookie
    std::vector<uint8_t> touched_;                          // by position
    std::vector<int32_t> changes_;                          // the positions touched, each once
    bool wholeDue_ = false;  // a dump replaced the table since the last change list
    int lingeringDumps_ = 0; // since the last whole one
    uint64_t lostSeen_ = 0;
    uint64_t dumps_ = 0;
    std::chrono::steady_clock::time_point lastDump_;
    std::chrono::steady_clock::time_point lastWholeDump_;
};

} // namespace kt

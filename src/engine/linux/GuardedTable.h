#pragma once

#include "engine/RuleGuard.h"
#include "engine/TcpTable.h"
#include "engine/linux/EventTcpTable.h"
#include "engine/linux/KernelGuard.h"
#include "engine/linux/NetlinkTcpTable.h"

#include <atomic>
#include <memory>
#include <span>
#include <string>

namespace kt {

// The Linux table as the program uses it: kept from the kernel guard's reports while the guard
// runs, read by netlink dumps once it cannot (or never could) run.
class GuardedTable final : public TcpTable, public RuleGuard {
public:
    // Starts the kernel guard with the rules; when it cannot run, whyNot says why and the table
    // is netlink's from the start.
    GuardedTable(const GuardRules& rules, std::string& whyNot,
                 const KernelGuard::Options& options = {});
    // Netlink's table alone, for a program that leaves guarding to another.
    struct WithoutGuard {};
    explicit GuardedTable(WithoutGuard) {}
    ~GuardedTable() override;

    bool TakeSnapshot(std::vector<TcpRow>& rows) override;
    bool DeleteConnection(const TcpRow& row) override;
    std::string DeleteRefusal() const override;
    void TakeLateDeletes(LateDeletes& late) override;
    bool TakeBlockedSnapshot(std::vector<TcpRow>& rows, std::span<const uint16_t> local,
                             std::span<const uint16_t> remote) override;
    // Only while the guard runs: then the table is kept from its reports.
    Changes TakeChanges(std::vector<TcpRow>& rows, std::vector<int32_t>& changed) override;

    bool SetRules(const GuardRules& rules, std::string& why) override;
    void Edit(std::span<const GuardRuleEdit> edits) override;
    bool TakeRefusal(std::string& why) override;
    bool Sound(std::string& why) const override;
    void Stop() override;

    // None: the kernel's reports of changes wake nobody (see guard.bpf.c).
    int WakeHandle() const override { return -1; }
    const KernelGuard* Guard() const { return guard_.get(); }
    // In a call that reads or changes the kernel's socket tables: one a socket's owner can hold up
    // for as long as it likes (before Linux 6.9 behind any destroy that waits). Any thread may ask.
    bool InKernel() const { return inKernel_.load() > 0; }

private:
    std::unique_ptr<KernelGuard> guard_;
    std::unique_ptr<EventTcpTable> events_; // declared after the guard: it goes first
    NetlinkTcpTable netlink_;
    std::atomic<int> inKernel_{0};
};

} // namespace kt

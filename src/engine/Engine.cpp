#include "engine/Engine.h"

#include "core/CutLog.h"
#include "core/HostServices.h"
#include "engine/GuardRules.h"
#include "list/List.h"
#include "manager/Manager.h"

#include <algorithm>

namespace kt {

namespace {

ConnectionKey KeyOf(const TcpRow& row) {
    ConnectionKey key{row.dwRemoteAddr, row.dwLocalAddr, PortFromField(row.dwRemotePort),
                      PortFromField(row.dwLocalPort), static_cast<int16_t>(row.dwState)};
    if (row.ipv6) {
        key.IPv6 = true;
        key.RemoteAddress6 = row.remoteAddr6;
        key.LocalAddress6 = row.localAddr6;
    }
    return key;
}

} // namespace

Engine::Engine(TcpTable& table, HostServices& host, Manager& manager, AddressFormatter formatter,
               Clock clock)
    : table_(table), host_(host), manager_(manager), formatter_(formatter),
      clock_(std::move(clock)) {}

void Engine::BuildStateNames() {
    StateNames = {"UNKNOWN",     "CLOSED",    "LISTENING", "SYN_SENT",   "SYN_RCVD",
                  "ESTABLISHED", "FIN_WAIT1", "FIN_WAIT2", "CLOSE_WAIT", "CLOSING",
                  "LAST_ACK",    "TIME_WAIT", "DELETE_TCB"};
}

std::string_view Engine::StateName(int32_t state) const {
    if (state < 0 || state >= static_cast<int32_t>(StateNames.size())) {
        return {};
    }
    return StateNames[static_cast<size_t>(state)];
}

std::string_view Engine::RemoteAddressText(int32_t index) const {
    if (index < 0 || index >= static_cast<int32_t>(ConnectionCache.size())) {
        return {};
    }
    return ConnectionCache[static_cast<size_t>(index)].RemoteAddressText;
}

std::string Engine::AddressText(uint32_t address) const {
    return AddressToText(address, formatter_);
}

std::string Engine::AddressText(const Address6& address) const {
    return AddressToText(address, formatter_);
}

std::string Engine::RemoteText(const TcpRow& row) const {
    if (row.ipv6) {
        return AddressToText(row.remoteAddr6, formatter_);
    }
    return row.dwRemoteAddr == 0 ? std::string("0.0.0.0") : AddressText(row.dwRemoteAddr);
}

void Engine::EnsureCacheSize(int32_t n) {
    if (n >= 0 && static_cast<size_t>(n) + 1 > ConnectionCache.size()) {
        ConnectionCache.resize(static_cast<size_t>(n) + 1);
    }
}

void Engine::ClearConnectionCache() {
    ConnectionCache.clear();
    lastRowCount_ = 0;
    // The rules changed: the next tick judges the whole table against them.
    portsStale_ = true;
    canFilter_ = true;
    nextWhole_ = TimePoint{};
    wholeDue_ = true;
}

bool Engine::IsAllowedAddress(std::string_view address) const {
    return !address.empty() && manager_.oAllowedIP.FindEqual(address, true) >= 0;
}

bool Engine::IsPortInList(int32_t port, const List& list) {
    return list.FindEqual(Value(port), true) >= 0;
}

std::optional<Engine::TimePoint> Engine::ViewDue() const {
    if (!viewChanged_) {
        return std::nullopt;
    }
    return lastView_ + ViewInterval;
}

std::chrono::milliseconds Engine::NextLook() const {
    return std::min(StillLookInterval, ViewInterval * (1 << std::min(stillTicks_, 4)));
}

void Engine::PollConnections() {
    const TimePoint now = clock_();
    cuts_.clear();
    if (PollChanges()) {
        // The table named what changed; nothing else needs a look.
    } else if (now < nextWhole_ && TakeJudgingSnapshot()) {
        // Between two whole snapshots a tick reads only what it must judge: the view needs the
        // whole table once per interval, the guard needs the blocked rows every tick.
        for (const TcpRow& row : judging_) {
            addressScratch_ = RemoteText(row);
            const ConnectionKey key = KeyOf(row);
            if (key.State == TcpEstablished && !IsAllowedAddress(addressScratch_) && Blocked(key)) {
                cuts_.push_back(row);
            }
        }
        CutQueued();
    } else {
        TakeWholeSnapshot();
        // Counted from the end of the read: a whole table that takes longer than the interval
        // to read must still leave room for the ticks that judge.
        nextWhole_ = clock_() + ViewInterval;
        for (int32_t i = 0; i < static_cast<int32_t>(TcpSnapshot.size()); ++i) {
            ProcessConnection(i);
        }
        if (!cuts_.empty()) {
            CutQueued();
            // One fresh snapshot for all the cuts; its rows reach the cache before the view is
            // built from them, so that no line shows another connection's address. They are
            // judged on the next tick.
            TakeWholeSnapshot();
            for (int32_t i = 0; i < static_cast<int32_t>(TcpSnapshot.size()); ++i) {
                CachedEntry(i);
            }
        } else {
            SettleCuts();
        }
    }
    TellLateDeletes();
    RefreshViewIfDue(now);
    if (!cuts_.empty()) {
        host_.DoEvents();
    }
}

CutRecord Engine::RecordOf(const TcpRow& row, std::chrono::system_clock::time_point when) const {
    return CutRecord::Of(row,
                         IsPortInList(PortFromField(row.dwLocalPort), manager_.oBlockedLocalPorts)
                             ? CutRecord::Rule::BlockedLocalPort
                             : CutRecord::Rule::BlockedRemotePort,
                         when);
}

void Engine::TellLateDeletes() {
    late_.waiting.clear();
    late_.done.clear();
    table_.TakeLateDeletes(late_);
    const auto now = std::chrono::system_clock::now();
    for (const auto& [row, why] : late_.waiting) {
        host_.Diagnose("a cut waits " + why +
                       "; it carries no byte meanwhile: " + FormatCutLine(RecordOf(row, now)));
    }
    // Done after the tick that asked stopped waiting: its connection left the table unreported.
    for (const TcpRow& row : late_.done) {
        Report(RecordOf(row, now), false, {});
    }
}

void Engine::TakeWholeSnapshot() {
    table_.TakeSnapshot(TcpSnapshot);
    FitCache();
}

void Engine::FitCache() {
    const auto n = static_cast<int32_t>(TcpSnapshot.size());
    if (n < lastRowCount_) {
        // Positions past the end are forgotten: a row that comes back there is new, and the
        // view must lose the rows that left.
        for (size_t i = static_cast<size_t>(n);
             i < ConnectionCache.size() && i < static_cast<size_t>(lastRowCount_); ++i) {
            ConnectionCache[i] = ConnectionCacheEntry{};
        }
        viewChanged_ = viewChanged_ || !listsChanges_ || manager_.ConnectionLinesWanted();
        ++changesSeen_;
    }
    lastRowCount_ = n;
    EnsureCacheSize(n);
}

bool Engine::PollChanges() {
    if (!listsChanges_) {
        return false;
    }
    const TcpTable::Changes got = table_.TakeChanges(TcpSnapshot, changed_);
    if (got == TcpTable::Changes::Unsupported) {
        listsChanges_ = false; // for good: the table polls like any other
        return false;
    }
    FitCache();
    stillTicks_ = got == TcpTable::Changes::Listed && changed_.empty() ? stillTicks_ + 1 : 0;
    const auto n = static_cast<int32_t>(TcpSnapshot.size());
    if (got == TcpTable::Changes::Whole || wholeDue_) {
        // Read afresh, or the rules changed: every row is looked at, and the cache lets through
        // only those that differ from what it knew.
        wholeDue_ = false;
        recheck_.clear();
        for (int32_t i = 0; i < n; ++i) {
            ProcessConnection(i);
        }
    } else {
        // A connection cut in the last tick is judged again: still there, it is cut again.
        changed_.insert(changed_.end(), recheck_.begin(), recheck_.end());
        recheck_.clear();
        std::sort(changed_.begin(), changed_.end());
        changed_.erase(std::unique(changed_.begin(), changed_.end()), changed_.end());
        for (const int32_t i : changed_) {
            if (i < n) {
                ProcessConnection(i);
            }
        }
    }
    if (!cuts_.empty()) {
        // No fresh copy after the cuts: their rows go with the next change list, and the
        // copy and the cache stay in step meanwhile.
        CutQueued();
    } else {
        SettleCuts();
    }
    return true;
}

void Engine::NoteViewChange(int32_t index) {
    ++changesSeen_;
    if (!listsChanges_) {
        viewChanged_ = true; // shown whole
        return;
    }
    if (!manager_.ConnectionLinesWanted()) {
        return; // nobody looks: the lines are made whole when somebody does
    }
    viewChanged_ = true;
    const auto at = static_cast<size_t>(index);
    if (at >= viewMarked_.size()) {
        viewMarked_.resize(std::max(at + 1, viewMarked_.size() * 2));
    }
    if (viewMarked_[at] == 0) {
        viewMarked_[at] = 1;
        viewRows_.push_back(index);
    }
}

bool Engine::TakeJudgingSnapshot() {
    if (!canFilter_) {
        return false;
    }
    if (portsStale_) {
        CollectBlockedPorts();
    }
    if (blockedLocal_.empty() && blockedRemote_.empty()) {
        judging_.clear(); // nothing can be blocked
        return true;
    }
    if (!table_.TakeBlockedSnapshot(judging_, blockedLocal_, blockedRemote_)) {
        // A table that cannot filter is asked again only after a rule change.
        canFilter_ = false;
        return false;
    }
    return true;
}

void Engine::CollectBlockedPorts() {
    portsStale_ = false;
    // The ports as the guard takes them; the kernel's filter only preselects, the judgement
    // stays the engine's own. The allowed list, which may be long, plays no part here.
    const List noAddresses;
    GuardRules rules =
        MakeGuardRules(noAddresses, manager_.oBlockedLocalPorts, manager_.oBlockedRemotePorts);
    blockedLocal_ = std::move(rules.blockedLocalPorts);
    blockedRemote_ = std::move(rules.blockedRemotePorts);
}

ConnectionCacheEntry* Engine::CachedEntry(int32_t index) {
    const auto slot = static_cast<size_t>(index);
    if (slot >= ConnectionCache.size()) {
        // The cache was emptied after this snapshot: show the row now, judge it next tick.
        NoteViewChange(index);
        return nullptr;
    }
    const TcpRow& row = TcpSnapshot[slot];
    ConnectionCacheEntry& entry = ConnectionCache[slot];
    const ConnectionKey key = KeyOf(row);
    if (!(entry.RowKey == key)) {
        entry.RowKey = key;
        entry.RemoteAddressText = RemoteText(row);
        entry.AllowedFlag = false;
        entry.PassedFlag = false;
        NoteViewChange(index);
    }
    return &entry;
}

void Engine::ProcessConnection(int32_t index) {
    ConnectionCacheEntry* entry = CachedEntry(index);
    if (entry == nullptr || entry->RowKey.State != TcpEstablished || entry->AllowedFlag ||
        entry->PassedFlag) {
        return;
    }
    if (IsAllowedAddress(entry->RemoteAddressText)) {
        entry->AllowedFlag = true;
        return;
    }
    if (!Blocked(entry->RowKey)) {
        entry->PassedFlag = true;
        return;
    }
    // No flag for a cut: while the table lists the connection it is judged and cut again.
    cuts_.push_back(TcpSnapshot[static_cast<size_t>(index)]);
    if (listsChanges_) {
        recheck_.push_back(index);
    }
}

bool Engine::Blocked(const ConnectionKey& key) const {
    return IsPortInList(key.LocalPort, manager_.oBlockedLocalPorts) ||
           IsPortInList(key.RemotePort, manager_.oBlockedRemotePorts);
}

namespace {

template <typename T, typename Key>
auto FindSorted(T& sorted, const Key& tuple, const auto& tupleOf) {
    const auto at =
        std::lower_bound(sorted.begin(), sorted.end(), tuple,
                         [&](const auto& item, const Key& key) { return tupleOf(item) < key; });
    return at != sorted.end() && tupleOf(*at) == tuple ? at : sorted.end();
}

} // namespace

Engine::Tuple Engine::TupleOf(const TcpRow& row) {
    return {LocalAddress6(row), PortFromField(row.dwLocalPort), RemoteAddress6(row),
            PortFromField(row.dwRemotePort), row.cookie};
}

void Engine::CutQueued() {
    const auto now = std::chrono::system_clock::now();
    std::vector<Accepted> accepted;
    std::vector<Tuple> refused;
    // Each delete names the judged connection itself, whatever the table holds by now.
    for (const TcpRow& judged : cuts_) {
        TcpRow target = judged;
        target.dwState = static_cast<uint32_t>(TcpDeleteTcb);
        const Tuple tuple = TupleOf(judged);
        const CutRecord record = RecordOf(judged, now);
        if (table_.DeleteConnection(target)) {
            const auto before =
                FindSorted(accepted_, tuple, [](const Accepted& a) { return a.tuple; });
            if (before == accepted_.end()) {
                accepted.push_back({tuple, record, 1});
                continue;
            }
            // Counted up to one past the limit, so that the refusal is told once.
            const int ticks = std::min(before->ticks + 1, kStillListedTicks + 1);
            if (ticks == kStillListedTicks) {
                Report(record, true,
                       "the connection was still there after the system accepted its deletion");
            }
            accepted.push_back({tuple, before->record, ticks});
        } else if (std::string why = table_.DeleteRefusal(); !why.empty()) {
            if (FindSorted(refused_, tuple, [](const Tuple& t) { return t; }) == refused_.end()) {
                Report(record, true, std::move(why));
            }
            refused.push_back(tuple);
        }
    }
    std::sort(accepted.begin(), accepted.end(),
              [](const Accepted& a, const Accepted& b) { return a.tuple < b.tuple; });
    std::sort(refused.begin(), refused.end());
    // Deletes accepted before and not again now: those connections went, unless the refusal
    // was told already.
    for (const Accepted& old : accepted_) {
        if (old.ticks < kStillListedTicks && FindSorted(accepted, old.tuple, [](const Accepted& a) {
                                                 return a.tuple;
                                             }) == accepted.end()) {
            Report(old.record, false, {});
        }
    }
    accepted_ = std::move(accepted);
    refused_ = std::move(refused);
}

void Engine::SettleCuts() {
    // Nothing was judged blocked this tick: every delete accepted in the last one took.
    if (!accepted_.empty() || !refused_.empty()) {
        CutQueued();
    }
}

void Engine::Report(CutRecord record, bool refused, std::string reason) {
    if (report_) {
        record.Refused = refused;
        record.Reason = std::move(reason);
        report_(record);
    }
}

void Engine::RefreshViewIfDue(TimePoint now) {
    if (viewChanged_ && now >= lastView_ + ViewInterval) {
        viewChanged_ = false;
        lastView_ = now;
        if (!listsChanges_) {
            manager_.RefreshCurrentConnections();
            return;
        }
        for (const int32_t index : viewRows_) {
            viewMarked_[static_cast<size_t>(index)] = 0;
        }
        manager_.UpdateCurrentConnections(viewRows_);
        viewRows_.clear();
    }
}

} // namespace kt

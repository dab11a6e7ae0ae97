#include "engine/Engine.h"

#include "core/HostServices.h"
#include "list/List.h"
#include "manager/Manager.h"

namespace kt {

namespace {

bool SameConnection(const TcpRow& a, const TcpRow& b) {
    return a.dwLocalAddr == b.dwLocalAddr && a.dwRemoteAddr == b.dwRemoteAddr &&
           PortFromField(a.dwLocalPort) == PortFromField(b.dwLocalPort) &&
           PortFromField(a.dwRemotePort) == PortFromField(b.dwRemotePort);
}

} // namespace

Engine::Engine(TcpTable& table, HostServices& host, Manager& manager, AddressFormatter formatter)
    : table_(table), host_(host), manager_(manager), formatter_(formatter) {}

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

void Engine::EnsureCacheSize(int32_t n) {
    if (n >= 0 && static_cast<size_t>(n) + 1 > ConnectionCache.size()) {
        ConnectionCache.resize(static_cast<size_t>(n) + 1);
    }
}

void Engine::ClearConnectionCache() {
    ConnectionCache.clear();
}

bool Engine::IsAllowedAddress(std::string_view address) const {
    return !address.empty() && manager_.oAllowedIP.FindEqual(address, true) >= 0;
}

bool Engine::IsPortInList(int32_t port, const List& list) {
    return list.FindEqual(Value(port), true) >= 0;
}

void Engine::PollConnections() {
    table_.TakeSnapshot(TcpSnapshot);
    const auto n = static_cast<int32_t>(TcpSnapshot.size());
    // Rows that vanished from the end of the table leave no position to notice them by.
    if (n < lastRowCount_) {
        viewChanged_ = true;
    }
    lastRowCount_ = n;
    EnsureCacheSize(n);
    // A cut lets event handlers run, which may leave a smaller snapshot or an empty cache
    // behind; every row is read within what exists at that moment.
    // When a cut connection has left the fresh snapshot, the next row has moved into its
    // position and is looked at there, rather than skipped until the next tick.
    int32_t revisits = n;
    for (int32_t i = 0; i < n && i < static_cast<int32_t>(TcpSnapshot.size());) {
        if (!ProcessConnection(i) || revisits-- <= 0) {
            ++i;
        }
    }
    RefreshViewIfChanged();
}

bool Engine::ProcessConnection(int32_t index) {
    const auto slot = static_cast<size_t>(index);
    const TcpRow& row = TcpSnapshot[slot];
    if (slot >= ConnectionCache.size()) {
        // The cache was emptied during this tick: show the row now, judge it on the next tick.
        viewChanged_ = true;
        return false;
    }
    ConnectionCacheEntry& entry = ConnectionCache[slot];
    const ConnectionKey key{row.dwRemoteAddr, row.dwLocalAddr, PortFromField(row.dwRemotePort),
                            PortFromField(row.dwLocalPort), static_cast<int16_t>(row.dwState)};
    if (!(entry.RowKey == key)) {
        entry.RowKey = key;
        entry.RemoteAddressText =
            row.dwRemoteAddr == 0 ? std::string("0.0.0.0") : AddressText(row.dwRemoteAddr);
        entry.AllowedFlag = false;
        entry.PassedFlag = false;
        viewChanged_ = true;
    }
    if (key.State != TcpEstablished || entry.AllowedFlag || entry.PassedFlag) {
        return false;
    }
    if (IsAllowedAddress(entry.RemoteAddressText)) {
        entry.AllowedFlag = true;
        return false;
    }
    const bool blocked = IsPortInList(key.LocalPort, manager_.oBlockedLocalPorts) ||
                         IsPortInList(key.RemotePort, manager_.oBlockedRemotePorts);
    if (!blocked) {
        entry.PassedFlag = true;
        return false;
    }
    // No flag for a cut: while the table lists the connection it is judged and cut again.
    const TcpRow judged = row;
    CutConnection(judged);
    return index < static_cast<int32_t>(TcpSnapshot.size()) &&
           !SameConnection(TcpSnapshot[static_cast<size_t>(index)], judged);
}

void Engine::CutConnection(const TcpRow& judged) {
    // The delete names the judged connection itself, and goes first: a snapshot costs
    // milliseconds, and the connection should not live through it. The fresh snapshot taken
    // after it serves the rest of the tick.
    TcpRow target = judged;
    target.dwState = static_cast<uint32_t>(TcpDeleteTcb);
    table_.DeleteConnection(target);
    table_.TakeSnapshot(TcpSnapshot);
    RefreshViewIfChanged();
    host_.DoEvents();
}

void Engine::RefreshViewIfChanged() {
    if (viewChanged_) {
        viewChanged_ = false;
        manager_.RefreshCurrentConnections();
    }
}

} // namespace kt

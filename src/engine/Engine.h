#pragma once

#include "engine/TcpTable.h"
#include "manager/ConnectionSource.h"
#include "net/AddressText.h"

#include <array>
#include <cstdint>
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

    bool operator==(const ConnectionKey&) const = default;
};

struct ConnectionCacheEntry {
    ConnectionKey RowKey;
    std::string RemoteAddressText;
    bool AllowedFlag = false;
    bool PassedFlag = false;
};

// The connection blocking engine: one snapshot of the table per tick, a cache entry per row
// position, and every established connection judged once against the rule lists.
class Engine : public ConnectionSource {
public:
    Engine(TcpTable& table, HostServices& host, Manager& manager,
           AddressFormatter formatter = FormatDottedAddress);
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

    const std::vector<ConnectionCacheEntry>& Cache() const { return ConnectionCache; }

private:
    // True when the row was cut and another one has taken its position since.
    bool ProcessConnection(int32_t index);
    void CutConnection(const TcpRow& judged);
    void RefreshViewIfChanged();

    TcpTable& table_;
    HostServices& host_;
    Manager& manager_;
    AddressFormatter formatter_;
    std::vector<TcpRow> TcpSnapshot;
    std::array<std::string, 13> StateNames;
    std::vector<ConnectionCacheEntry> ConnectionCache;
    // Set when a row changed since the view was last rebuilt; the view is rebuilt once per tick
    // and before any message pass, not once per changed row.
    bool viewChanged_ = false;
    int32_t lastRowCount_ = 0;
};

} // namespace kt

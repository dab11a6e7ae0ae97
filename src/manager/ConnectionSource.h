#pragma once

#include "engine/TcpTable.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace kt {

// What the Current Connections view reads from the engine: the latest snapshot, the per-row
// remote-address texts and the state names. The engine implements it.
class ConnectionSource {
public:
    virtual ~ConnectionSource() = default;
    virtual int32_t RowCount() const = 0;
    virtual const TcpRow& Row(int32_t index) const = 0;
    // Empty when the row has no cache entry yet (the cache was just cleared or not yet filled).
    virtual std::string_view RemoteAddressText(int32_t index) const = 0;
    // Empty for a state number without a name.
    virtual std::string_view StateName(int32_t state) const = 0;
    virtual std::string AddressText(uint32_t address) const = 0;
    virtual std::string AddressText(const Address6& address) const = 0;
    virtual void ClearConnectionCache() = 0;
};

} // namespace kt

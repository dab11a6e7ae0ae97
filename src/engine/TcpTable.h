#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kt {

// TCP state numbers as the connection table writes them.
enum TcpState : int16_t {
    TcpUnknown = 0,
    TcpClosed = 1,
    TcpListening = 2,
    TcpSynSent = 3,
    TcpSynReceived = 4,
    TcpEstablished = 5,
    TcpFinWait1 = 6,
    TcpFinWait2 = 7,
    TcpCloseWait = 8,
    TcpClosing = 9,
    TcpLastAck = 10,
    TcpTimeWait = 11,
    TcpDeleteTcb = 12,
};

// One IPv4 row, laid out as the Windows table row: addresses in network byte order, ports in
// network byte order in the low 16 bits of their field.
struct TcpRow {
    uint32_t dwState = 0;
    uint32_t dwLocalAddr = 0;
    uint32_t dwLocalPort = 0;
    uint32_t dwRemoteAddr = 0;
    uint32_t dwRemotePort = 0;

    bool operator==(const TcpRow&) const = default;
};
static_assert(sizeof(TcpRow) == 20);

// The low 16 bits of a port field hold the port's two bytes high byte first, as in memory on
// the little-endian machines the table comes from.
constexpr uint16_t PortFromField(uint32_t field) {
    return static_cast<uint16_t>(((field & 0xFFu) << 8) | ((field >> 8) & 0xFFu));
}
constexpr uint32_t PortToField(uint16_t port) {
    return ((static_cast<uint32_t>(port) & 0xFFu) << 8) |
           ((static_cast<uint32_t>(port) >> 8) & 0xFFu);
}

// The operating system's IPv4 TCP connection table.
class TcpTable {
public:
    virtual ~TcpTable() = default;
    // Replaces rows with every IPv4 TCP row of the system, in the system's order. On failure
    // answers false and leaves rows as they were.
    virtual bool TakeSnapshot(std::vector<TcpRow>& rows) = 0;
    // Deletes the connection with the row's addresses and ports. False when the system refused
    // (no right to, already gone, not supported).
    virtual bool DeleteConnection(const TcpRow& row) = 0;
    // Why the system refused the last delete for want of rights, in words; empty when it did not
    // (the delete was done, the connection was gone already, or it failed for another reason).
    virtual std::string DeleteRefusal() const { return {}; }
    // Replaces rows with the established connections whose local port is in local or whose
    // remote port is in remote: what a tick must judge, at a fraction of a whole snapshot's cost
    // where the system can filter. False, rows untouched, when it cannot (the caller then takes
    // a whole snapshot).
    virtual bool TakeBlockedSnapshot(std::vector<TcpRow>& rows, std::span<const uint16_t> local,
                                     std::span<const uint16_t> remote) {
        (void)rows;
        (void)local;
        (void)remote;
        return false;
    }
};

} // namespace kt

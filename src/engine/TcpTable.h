#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
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

// A 16-byte IPv6 address, in network byte order.
using Address6 = std::array<uint8_t, 16>;

// One row, laid out first as the Windows IPv4 table row: addresses in network byte order, ports
// in network byte order in the low 16 bits of their field. The Windows table has only IPv4 rows;
// on Linux a row can also be an IPv6 connection (ipv6 set, its addresses in localAddr6 and
// remoteAddr6, the dw address fields 0) and names the interface its socket is bound to and the
// socket's cookie, which tells two sockets of the same addresses apart.
struct TcpRow {
    uint32_t dwState = 0;
    uint32_t dwLocalAddr = 0;
    uint32_t dwLocalPort = 0;
    uint32_t dwRemoteAddr = 0;
    uint32_t dwRemotePort = 0;
    bool ipv6 = false;
    Address6 localAddr6{};
    Address6 remoteAddr6{};
    uint32_t boundInterface = 0; // 0: not bound to an interface
    uint64_t cookie = 0;         // 0: not known

    // Equal when they show the same connection the same way; the cookie is not compared, since
    // not every source can learn it.
    bool operator==(const TcpRow& other) const {
        return dwState == other.dwState && dwLocalAddr == other.dwLocalAddr &&
               dwLocalPort == other.dwLocalPort && dwRemoteAddr == other.dwRemoteAddr &&
               dwRemotePort == other.dwRemotePort && ipv6 == other.ipv6 &&
               localAddr6 == other.localAddr6 && remoteAddr6 == other.remoteAddr6 &&
               boundInterface == other.boundInterface;
    }
};

// An IPv4 address (network byte order) as IPv4-mapped IPv6 (::ffff:a.b.c.d).
constexpr Address6 MappedAddress(uint32_t address) {
    Address6 mapped{};
    mapped[10] = 0xFF;
    mapped[11] = 0xFF;
    for (size_t i = 0; i < 4; ++i) {
        mapped[12 + i] = static_cast<uint8_t>(address >> (8 * i)); // in memory order
    }
    return mapped;
}

// The IPv4 address (network byte order) an IPv4-mapped address stands for; nothing for any other.
constexpr std::optional<uint32_t> MappedIPv4(const Address6& address) {
    for (size_t i = 0; i < 10; ++i) {
        if (address[i] != 0) {
            return std::nullopt;
        }
    }
    if (address[10] != 0xFF || address[11] != 0xFF) {
        return std::nullopt;
    }
    uint32_t ipv4 = 0;
    for (size_t i = 0; i < 4; ++i) {
        ipv4 |= static_cast<uint32_t>(address[12 + i]) << (8 * i); // in memory order
    }
    return ipv4;
}

// The addresses of a row of either family, in IPv6 form.
constexpr Address6 RemoteAddress6(const TcpRow& row) {
    return row.ipv6 ? row.remoteAddr6 : MappedAddress(row.dwRemoteAddr);
}
constexpr Address6 LocalAddress6(const TcpRow& row) {
    return row.ipv6 ? row.localAddr6 : MappedAddress(row.dwLocalAddr);
}

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
    // What became of the deletes that DeleteConnection stopped waiting for (a socket's owner can
    // hold it for as long as it likes): each one that has waited over a second, once, with what
    // it waits for as the middle of a sentence ("a cut waits ..."); each one done since.
    struct LateDeletes {
        std::vector<std::pair<TcpRow, std::string>> waiting;
        std::vector<TcpRow> done;
    };
    // Appends those that came since the last call.
    virtual void TakeLateDeletes(LateDeletes& late) { (void)late; }
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

    // A table kept from the system's reports of each change can say what changed, so that a
    // reader's work follows the changes rather than the size of the table.
    enum class Changes {
        Unsupported, // this table cannot tell: take snapshots
        Listed,      // only the rows at the positions in changed were written
        Whole,       // rows was replaced: every position may have changed
    };
    // Brings rows, a copy made by earlier calls only, up to date: writes each row added or
    // changed since the last call at its position, lists those positions in changed (in no
    // particular order), and fits rows to the table's length; rows past it are gone. A table
    // keeps its rows at their positions, except that a row that goes leaves its position to
    // another row, which is then listed.
    virtual Changes TakeChanges(std::vector<TcpRow>& rows, std::vector<int32_t>& changed) {
        (void)rows;
        changed.clear();
        return Changes::Unsupported;
    }
};

} // namespace kt

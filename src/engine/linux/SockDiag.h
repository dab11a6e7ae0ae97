#pragma once

// The sock_diag netlink messages the TCP table speaks: requests built as one struct, answers
// parsed from raw datagrams so that every length can be checked on plain byte buffers.

#include "engine/TcpTable.h"

#include <array>
#include <cstdint>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <span>
#include <vector>

namespace kt::sockdiag {

// Linux TCP states as the diag messages carry them (include/net/tcp_states.h).
enum LinuxTcpState : uint8_t {
    LinuxEstablished = 1,
    LinuxSynSent = 2,
    LinuxSynRecv = 3,
    LinuxFinWait1 = 4,
    LinuxFinWait2 = 5,
    LinuxTimeWait = 6,
    LinuxClose = 7,
    LinuxCloseWait = 8,
    LinuxLastAck = 9,
    LinuxListen = 10,
    LinuxClosing = 11,
    LinuxNewSynRecv = 12,
    LinuxBoundInactive = 13,
};

// The table's state number for a Linux state; TcpUnknown for a state this code does not know.
TcpState TableState(uint8_t linuxState);

struct Request {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

// A socket's identity beside its addresses, as the kernel hands it out: low word first.
using Cookie = std::array<uint32_t, 2>;
constexpr Cookie kNoCookie{INET_DIAG_NOCOOKIE, INET_DIAG_NOCOOKIE};
// A row's cookie (0: not known) as a request names it, and back.
constexpr Cookie ToCookie(uint64_t cookie) {
    return cookie == 0 ? kNoCookie
                       : Cookie{static_cast<uint32_t>(cookie), static_cast<uint32_t>(cookie >> 32)};
}
constexpr uint64_t CookieValue(Cookie cookie) {
    return cookie == kNoCookie ? 0 : (static_cast<uint64_t>(cookie[1]) << 32) | cookie[0];
}

// The states a table lists: every one but that of the sockets that are only bound.
inline constexpr uint32_t kListedStates = ~(1u << LinuxBoundInactive);

// A dump of every TCP socket of one family that listens or has a connection, no extensions.
Request MakeDumpRequest(uint8_t family, uint32_t seq);

// The older form of a dump request, which names no family: the kernel answers the sockets of
// both in one walk of its tables, each message of the type asked with.
struct BothFamiliesRequest {
    nlmsghdr header;
    inet_diag_req body;
};
// A dump of the TCP sockets of both families in the Linux states given (a bit per state).
BothFamiliesRequest MakeBothFamiliesDumpRequest(uint32_t linuxStates, uint32_t seq);
// A dump of the established TCP sockets of one family whose local port is in local or whose
// remote port is in remote, filtered in the kernel, written into out; false when the ports do not
// fit one request. The sequence number is set with SetSequence.
bool MakeBlockedDumpRequest(uint8_t family, std::span<const uint16_t> local,
                            std::span<const uint16_t> remote, std::vector<uint8_t>& out);
void SetSequence(std::span<uint8_t> request, uint32_t seq);
// The kernel's look-up of the one socket with the row's addresses and ports, answered by that
// socket's diag message. The look-up falls back to a listener on the row's local address and port
// when no connection matches, so the answer must be compared with the row. An IPv6 row is asked
// for as AF_INET6 whatever family says; an IPv4 row with AF_INET6 is written IPv4-mapped (as in
// the destroy below). Both name the row's bound interface: the kernel finds a socket bound to an
// interface only when the request names it.
Request MakeLookupRequest(uint8_t family, const TcpRow& row, uint32_t seq);
// A destroy of the socket with the row's addresses and ports and the given cookie, acknowledged.
// With a cookie the kernel destroys that socket or answers ENOENT.
Request MakeDestroyRequest(uint8_t family, const TcpRow& row, uint32_t seq,
                           Cookie cookie = kNoCookie);

enum class DumpStatus {
    More,      // every message was read; the dump goes on in the next datagram
    Done,      // NLMSG_DONE
    Failed,    // the kernel answered NLMSG_ERROR (or a DONE carrying an error): see error
    Malformed, // the datagram cannot be trusted past some point; rows before it were kept
};

struct DumpResult {
    DumpStatus status = DumpStatus::More;
    bool interrupted = false; // NLM_F_DUMP_INTR: the table changed while it was being dumped
    int error = 0;            // positive errno when Failed
};

// Appends the rows of one received datagram to rows, each with its bound interface and cookie.
// An AF_INET6 socket gives an IPv4 row when it carries IPv4 traffic (both ends IPv4-mapped, or a
// dual-stack socket with a mapped or unspecified local address and no peer), an IPv6 row when
// neither end is IPv4-mapped, and none when only one end is. The datagram must start 4-byte
// aligned, as a receive buffer does; every message must carry seq and portId.
DumpResult ParseDump(std::span<const uint8_t> datagram, uint32_t seq, uint32_t portId,
                     std::vector<TcpRow>& rows);

enum class AckStatus {
    NotFound,  // no answer to this request in the datagram (stale answers are passed over)
    Answered,  // see error: 0 for success, a positive errno for a refusal
    Malformed, // the datagram cannot be read
};

struct AckResult {
    AckStatus status = AckStatus::NotFound;
    int error = 0;
};

// The socket a look-up found.
struct Found {
    bool connection = false; // the socket has a row (of either family), which is in row
    TcpRow row;
    Cookie cookie = kNoCookie;
    uint32_t uid = 0; // of the socket's owner
};

// Reads the answer to a destroy (an acknowledgement) or, when found is given, to a look-up (the
// socket's diag message, which is Answered with error 0, or an error).
AckResult ParseAck(std::span<const uint8_t> datagram, uint32_t seq, uint32_t portId,
                   Found* found = nullptr);

// Whether this kernel serves one sock_diag request at a time, whatever the process (before
// Linux 6.9): then a destroy that waits for its socket holds up every other request.
bool ServesOneAtATime();

} // namespace kt::sockdiag

#include "engine/linux/SockDiag.h"

#include <arpa/inet.h>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/utsname.h>

namespace kt::sockdiag {

static_assert(sizeof(Request) == NLMSG_LENGTH(sizeof(inet_diag_req_v2)),
              "a request must be one header and one body without padding");
static_assert(sizeof(BothFamiliesRequest) == NLMSG_LENGTH(sizeof(inet_diag_req)),
              "a request must be one header and one body without padding");

TcpState TableState(uint8_t linuxState) {
    switch (linuxState) {
    case LinuxEstablished:
        return TcpEstablished;
    case LinuxSynSent:
        return TcpSynSent;
    case LinuxSynRecv:
    case LinuxNewSynRecv:
        return TcpSynReceived;
    case LinuxFinWait1:
        return TcpFinWait1;
    case LinuxFinWait2:
        return TcpFinWait2;
    case LinuxTimeWait:
        return TcpTimeWait;
    case LinuxClose:
    case LinuxBoundInactive: // a bound socket that neither listens nor connects
        return TcpClosed;
    case LinuxCloseWait:
        return TcpCloseWait;
    case LinuxLastAck:
        return TcpLastAck;
    case LinuxListen:
        return TcpListening;
    case LinuxClosing:
        return TcpClosing;
    default:
        return TcpUnknown;
    }
}

namespace {

Request MakeRequest(uint16_t type, uint16_t flags, uint8_t family, uint32_t seq) {
    Request request{};
    request.header.nlmsg_len = sizeof(Request);
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = flags;
    request.header.nlmsg_seq = seq;
    request.body.sdiag_family = family;
    request.body.sdiag_protocol = IPPROTO_TCP;
    // Every state but the sockets that are only bound: they hold no connection, and the table
    // this one stands in for does not list them either.
    request.body.idiag_states = kListedStates;
    return request;
}

bool IsMapped(const uint32_t (&address)[4]) {
    return address[0] == 0 && address[1] == 0 && address[2] == htonl(0xFFFFu);
}

bool IsUnspecified(const uint32_t (&address)[4]) {
    return address[0] == 0 && address[1] == 0 && address[2] == 0 && address[3] == 0;
}

// Bytes of a message's payload (after its header); the caller made sure the header fits.
size_t PayloadLength(const nlmsghdr* header) {
    return header->nlmsg_len - NLMSG_HDRLEN;
}

enum class V6Only { Unknown, Yes, No };

// Reads INET_DIAG_SKV6ONLY from the attributes after a diag message. False when an attribute's
// length does not fit.
bool ReadV6Only(const nlmsghdr* header, V6Only& v6only) {
    constexpr size_t fixed = NLMSG_ALIGN(sizeof(inet_diag_msg));
    const size_t payload = PayloadLength(header);
    if (payload <= fixed) {
        return true;
    }
    int length = static_cast<int>(payload - fixed);
    const auto* attribute =
        reinterpret_cast<const rtattr*>(static_cast<const uint8_t*>(NLMSG_DATA(header)) + fixed);
    for (; RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
        if (attribute->rta_type == INET_DIAG_SKV6ONLY && RTA_PAYLOAD(attribute) >= 1) {
            uint8_t value = 0;
            std::memcpy(&value, RTA_DATA(attribute), 1);
            v6only = value != 0 ? V6Only::Yes : V6Only::No;
        }
    }
    return length <= 0;
}

enum class Listed { Yes, No, NeedsV6Only };

// The row of a diag message: IPv4 for an IPv4 socket and for the IPv4 traffic of a dual-stack
// one, IPv6 for a native IPv6 socket.
Listed ToRow(const inet_diag_msg& message, V6Only v6only, TcpRow& row) {
    const auto& local = message.id.idiag_src;
    const auto& remote = message.id.idiag_dst;
    row = TcpRow{};
    row.dwState = static_cast<uint32_t>(TableState(message.idiag_state));
    row.dwLocalPort = PortToField(ntohs(message.id.idiag_sport));
    row.dwRemotePort = PortToField(ntohs(message.id.idiag_dport));
    row.boundInterface = message.id.idiag_if;
    row.cookie = CookieValue({message.id.idiag_cookie[0], message.id.idiag_cookie[1]});
    if (message.idiag_family == AF_INET) {
        row.dwLocalAddr = local[0];
        row.dwRemoteAddr = remote[0];
        return Listed::Yes;
    }
    if (message.idiag_family != AF_INET6) {
        return Listed::No;
    }
    if (IsMapped(local) && IsMapped(remote)) {
        row.dwLocalAddr = local[3];
        row.dwRemoteAddr = remote[3];
        return Listed::Yes;
    }
    if ((IsMapped(local) || IsUnspecified(local)) && IsUnspecified(remote)) {
        // No peer yet: IPv4 when the socket accepts IPv4 at all.
        if (v6only == V6Only::Unknown) {
            return Listed::NeedsV6Only;
        }
        if (v6only == V6Only::No) {
            row.dwLocalAddr = IsMapped(local) ? local[3] : 0;
            return Listed::Yes;
        }
    }
    if (IsMapped(local) || IsMapped(remote)) {
        return Listed::No; // one end of each family: no connection the table can show
    }
    row.ipv6 = true;
    std::memcpy(row.localAddr6.data(), local, sizeof local);
    std::memcpy(row.remoteAddr6.data(), remote, sizeof remote);
    return Listed::Yes;
}

// Appends the row of one diag message, or nothing for a socket the table does not show. False when
// the message is too short for what it claims to hold.
bool AppendRow(const nlmsghdr* header, std::vector<TcpRow>& rows) {
    if (PayloadLength(header) < sizeof(inet_diag_msg)) {
        return false;
    }
    inet_diag_msg message;
    std::memcpy(&message, NLMSG_DATA(header), sizeof message);
    TcpRow row;
    Listed listed = ToRow(message, V6Only::Unknown, row);
    if (listed == Listed::NeedsV6Only) {
        V6Only v6only = V6Only::No; // a kernel that does not say: dual stack, the default
        if (!ReadV6Only(header, v6only)) {
            return false;
        }
        listed = ToRow(message, v6only, row);
    }
    if (listed == Listed::Yes) {
        rows.push_back(row);
    }
    return true;
}

// Reads the error number of an NLMSG_ERROR or NLMSG_DONE payload.
bool ReadErrorField(const nlmsghdr* header, int& value) {
    if (PayloadLength(header) < sizeof(int)) {
        return false;
    }
    std::memcpy(&value, NLMSG_DATA(header), sizeof value);
    return true;
}

int DatagramLength(std::span<const uint8_t> datagram) {
    return datagram.size() > static_cast<size_t>(INT_MAX) ? INT_MAX
                                                          : static_cast<int>(datagram.size());
}

// NLMSG_OK, whose macro compares the unsigned message length with the signed count (clang warns).
bool MessageFits(const nlmsghdr* header, int length) {
    return length >= static_cast<int>(sizeof(nlmsghdr)) && header->nlmsg_len >= sizeof(nlmsghdr) &&
           header->nlmsg_len <= static_cast<uint32_t>(length);
}

} // namespace

Request MakeDumpRequest(uint8_t family, uint32_t seq) {
    return MakeRequest(SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST | NLM_F_DUMP, family, seq);
}

BothFamiliesRequest MakeBothFamiliesDumpRequest(uint32_t linuxStates, uint32_t seq) {
    BothFamiliesRequest request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = TCPDIAG_GETSOCK;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = seq;
    request.body.idiag_states = linuxStates;
    return request;
}

bool MakeBlockedDumpRequest(uint8_t family, std::span<const uint16_t> local,
                            std::span<const uint16_t> remote, std::vector<uint8_t>& out) {
    // Per port: a comparison (op and port) that on a match falls through to a jump to the end
    // (accept), and otherwise skips that jump to the next port; the last miss jumps past the end
    // (reject). The kernel's audit walks the fall-through path, which visits every op once.
    constexpr size_t kPerPort = 3 * sizeof(inet_diag_bc_op);
    const size_t ports = local.size() + remote.size();
    const size_t code = ports * kPerPort;
    const size_t total = sizeof(Request) + NLA_HDRLEN + code;
    if (ports == 0 || NLA_HDRLEN + code > UINT16_MAX) {
        return false;
    }
    out.assign(total, 0);
    Request request = MakeRequest(SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST | NLM_F_DUMP, family, 0);
    request.header.nlmsg_len = static_cast<uint32_t>(total);
    request.body.idiag_states = 1u << LinuxEstablished;
    std::memcpy(out.data(), &request, sizeof request);
    const nlattr attribute{static_cast<uint16_t>(NLA_HDRLEN + code), INET_DIAG_REQ_BYTECODE};
    std::memcpy(out.data() + sizeof request, &attribute, sizeof attribute);
    uint8_t* at = out.data() + sizeof request + NLA_HDRLEN;
    size_t left = code;
    const auto emit = [&](uint8_t compare, uint16_t port) {
        const bool last = left == kPerPort;
        const inet_diag_bc_op ops[3] = {
            {compare, sizeof(inet_diag_bc_op) * 2,
             static_cast<uint16_t>(last ? left + sizeof(inet_diag_bc_op) : kPerPort)},
            {0, 0, port},
            {INET_DIAG_BC_JMP, sizeof(inet_diag_bc_op),
             static_cast<uint16_t>(left - 2 * sizeof(inet_diag_bc_op))},
        };
        std::memcpy(at, ops, sizeof ops);
        at += sizeof ops;
        left -= sizeof ops;
    };
    for (const uint16_t port : local) {
        emit(INET_DIAG_BC_S_EQ, port);
    }
    for (const uint16_t port : remote) {
        emit(INET_DIAG_BC_D_EQ, port);
    }
    return true;
}

void SetSequence(std::span<uint8_t> request, uint32_t seq) {
    if (request.size() >= sizeof(nlmsghdr)) {
        std::memcpy(request.data() + offsetof(nlmsghdr, nlmsg_seq), &seq, sizeof seq);
    }
}

namespace {

Request MakeSocketRequest(uint16_t type, uint16_t flags, uint8_t family, const TcpRow& row,
                          uint32_t seq, Cookie cookie) {
    Request request = MakeRequest(type, flags, row.ipv6 ? uint8_t{AF_INET6} : family, seq);
    auto& id = request.body.id;
    id.idiag_sport = htons(PortFromField(row.dwLocalPort));
    id.idiag_dport = htons(PortFromField(row.dwRemotePort));
    if (row.ipv6) {
        std::memcpy(id.idiag_src, row.localAddr6.data(), sizeof id.idiag_src);
        std::memcpy(id.idiag_dst, row.remoteAddr6.data(), sizeof id.idiag_dst);
    } else if (family == AF_INET6) {
        id.idiag_src[2] = htonl(0xFFFFu);
        id.idiag_src[3] = row.dwLocalAddr;
        id.idiag_dst[2] = htonl(0xFFFFu);
        id.idiag_dst[3] = row.dwRemoteAddr;
    } else {
        id.idiag_src[0] = row.dwLocalAddr;
        id.idiag_dst[0] = row.dwRemoteAddr;
    }
    id.idiag_if = row.boundInterface;
    id.idiag_cookie[0] = cookie[0];
    id.idiag_cookie[1] = cookie[1];
    return request;
}

} // namespace

Request MakeLookupRequest(uint8_t family, const TcpRow& row, uint32_t seq) {
    return MakeSocketRequest(SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST, family, row, seq, kNoCookie);
}

Request MakeDestroyRequest(uint8_t family, const TcpRow& row, uint32_t seq, Cookie cookie) {
    return MakeSocketRequest(SOCK_DESTROY, NLM_F_REQUEST | NLM_F_ACK, family, row, seq, cookie);
}

DumpResult ParseDump(std::span<const uint8_t> datagram, uint32_t seq, uint32_t portId,
                     std::vector<TcpRow>& rows) {
    DumpResult result;
    int length = DatagramLength(datagram);
    const auto* header = reinterpret_cast<const nlmsghdr*>(datagram.data());
    for (; MessageFits(header, length); header = NLMSG_NEXT(header, length)) {
        if (header->nlmsg_seq != seq || header->nlmsg_pid != portId) {
            result.status = DumpStatus::Malformed;
            return result;
        }
        if (header->nlmsg_flags & NLM_F_DUMP_INTR) {
            result.interrupted = true;
        }
        int error = 0;
        switch (header->nlmsg_type) {
        case NLMSG_NOOP:
            break;
        case NLMSG_DONE:
            // The payload, when there is one, is the dump's own error number.
            if (ReadErrorField(header, error) && error < 0 && error != INT_MIN) {
                result.status = DumpStatus::Failed;
                result.error = -error;
            } else {
                result.status = DumpStatus::Done;
            }
            return result;
        case NLMSG_ERROR:
            // A dump is never acknowledged, so only a real error is an answer.
            if (!ReadErrorField(header, error) || error >= 0 || error == INT_MIN) {
                result.status = DumpStatus::Malformed;
            } else {
                result.status = DumpStatus::Failed;
                result.error = -error;
            }
            return result;
        case SOCK_DIAG_BY_FAMILY:
        case TCPDIAG_GETSOCK: // the answer to a request for both families
            if (!AppendRow(header, rows)) {
                result.status = DumpStatus::Malformed;
                return result;
            }
            break;
        default:
            result.status = DumpStatus::Malformed;
            return result;
        }
    }
    if (length > 0) {
        result.status = DumpStatus::Malformed; // bytes left that are no whole message
    }
    return result;
}

AckResult ParseAck(std::span<const uint8_t> datagram, uint32_t seq, uint32_t portId, Found* found) {
    AckResult result;
    int length = DatagramLength(datagram);
    const auto* header = reinterpret_cast<const nlmsghdr*>(datagram.data());
    for (; MessageFits(header, length); header = NLMSG_NEXT(header, length)) {
        if (header->nlmsg_seq != seq || header->nlmsg_pid != portId) {
            continue; // the late answer of an earlier request
        }
        int error = 0;
        if (found != nullptr && header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            PayloadLength(header) >= sizeof(inet_diag_msg)) {
            inet_diag_msg message;
            std::memcpy(&message, NLMSG_DATA(header), sizeof message);
            found->connection = ToRow(message, V6Only::No, found->row) == Listed::Yes;
            found->cookie = {message.id.idiag_cookie[0], message.id.idiag_cookie[1]};
            found->uid = message.idiag_uid;
            result.status = AckStatus::Answered;
            return result;
        }
        if (header->nlmsg_type != NLMSG_ERROR || !ReadErrorField(header, error) || error > 0 ||
            error == INT_MIN || (found != nullptr && error == 0)) {
            result.status = AckStatus::Malformed;
            return result;
        }
        result.status = AckStatus::Answered;
        result.error = -error;
        return result;
    }
    if (length > 0) {
        result.status = AckStatus::Malformed;
    }
    return result;
}

bool ServesOneAtATime() {
    utsname name{};
    int major = 0;
    int minor = 0;
    // Unreadable: the careful answer.
    return ::uname(&name) != 0 || std::sscanf(name.release, "%d.%d", &major, &minor) != 2 ||
           major < 6 || (major == 6 && minor < 9);
}

} // namespace kt::sockdiag

#pragma once

// Datagrams as the kernel writes them for sock_diag, built byte by byte for the parser's tests.

#include <array>
#include <cstdint>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>
#include <vector>

namespace kt::test {

using Bytes = std::vector<uint8_t>;

struct DiagSocket {
    uint8_t family = AF_INET;
    uint8_t state = 1;
    std::array<uint32_t, 4> local{}; // network order, as the kernel writes them
    uint16_t localPort = 0;          // host order
    std::array<uint32_t, 4> remote{};
    uint16_t remotePort = 0;
    std::optional<uint8_t> v6only; // INET_DIAG_SKV6ONLY when set
    uint32_t boundInterface = 0;
    uint64_t cookie = 7;
};

inline std::array<uint32_t, 4> V4(uint32_t address) {
    return {address, 0, 0, 0};
}
inline std::array<uint32_t, 4> Mapped(uint32_t address) {
    return {0, 0, htonl(0xFFFFu), address};
}
inline std::array<uint32_t, 4> Loopback6() {
    return {0, 0, 0, htonl(1)};
}

inline void Append(Bytes& out, const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + size);
}

inline void Pad(Bytes& out) {
    out.resize(NLMSG_ALIGN(out.size()), 0);
}

// One message: header with the given length (its real length when 0) and payload.
inline Bytes Message(uint16_t type, uint32_t seq, uint32_t portId, const Bytes& payload,
                     uint16_t flags = NLM_F_MULTI, uint32_t lengthField = 0) {
    nlmsghdr header{};
    header.nlmsg_len =
        lengthField != 0 ? lengthField : static_cast<uint32_t>(NLMSG_HDRLEN + payload.size());
    header.nlmsg_type = type;
    header.nlmsg_flags = flags;
    header.nlmsg_seq = seq;
    header.nlmsg_pid = portId;
    Bytes out;
    Append(out, &header, sizeof header);
    out.insert(out.end(), payload.begin(), payload.end());
    Pad(out);
    return out;
}

inline Bytes DiagPayload(const DiagSocket& socket) {
    inet_diag_msg message{};
    message.idiag_family = socket.family;
    message.idiag_state = socket.state;
    message.id.idiag_sport = htons(socket.localPort);
    message.id.idiag_dport = htons(socket.remotePort);
    std::memcpy(message.id.idiag_src, socket.local.data(), sizeof message.id.idiag_src);
    std::memcpy(message.id.idiag_dst, socket.remote.data(), sizeof message.id.idiag_dst);
    message.id.idiag_if = socket.boundInterface;
    message.id.idiag_cookie[0] = static_cast<uint32_t>(socket.cookie);
    message.id.idiag_cookie[1] = static_cast<uint32_t>(socket.cookie >> 32);
    message.idiag_inode = 12345;
    Bytes out;
    Append(out, &message, sizeof message);
    Pad(out);
    // What the kernel always adds: the shutdown state, then for IPv6 listeners SKV6ONLY.
    rtattr shutdown{RTA_LENGTH(1), INET_DIAG_SHUTDOWN};
    Append(out, &shutdown, sizeof shutdown);
    out.push_back(0);
    Pad(out);
    if (socket.v6only) {
        rtattr v6only{RTA_LENGTH(1), INET_DIAG_SKV6ONLY};
        Append(out, &v6only, sizeof v6only);
        out.push_back(*socket.v6only);
        Pad(out);
    }
    return out;
}

inline Bytes Diag(const DiagSocket& socket, uint32_t seq, uint32_t portId,
                  uint16_t flags = NLM_F_MULTI) {
    return Message(SOCK_DIAG_BY_FAMILY, seq, portId, DiagPayload(socket), flags);
}

inline Bytes ErrorPayload(int error) {
    nlmsgerr body{};
    body.error = error;
    Bytes out;
    Append(out, &body, sizeof body);
    return out;
}

inline Bytes Done(uint32_t seq, uint32_t portId, uint16_t flags = NLM_F_MULTI) {
    const int error = 0;
    Bytes payload;
    Append(payload, &error, sizeof error);
    return Message(NLMSG_DONE, seq, portId, payload, flags);
}

inline Bytes Error(uint32_t seq, uint32_t portId, int error) {
    return Message(NLMSG_ERROR, seq, portId, ErrorPayload(error), 0);
}

inline Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

} // namespace kt::test

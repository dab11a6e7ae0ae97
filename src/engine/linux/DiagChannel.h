#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <sys/types.h>

namespace kt {

// One NETLINK_SOCK_DIAG socket as the TCP table uses it. The table's only way to the kernel, so
// that tests can script the kernel's answers.
class DiagChannel {
public:
    virtual ~DiagChannel() = default;
    // Sends one request to the kernel. False when the socket failed.
    virtual bool Send(std::span<const uint8_t> request) = 0;
    // Waits for the next datagram from the kernel and copies as much as fits into buffer.
    // Answers the datagram's full length (truncated when it is larger than buffer), or -1 when
    // the socket failed or the kernel stayed silent too long.
    virtual ssize_t Receive(std::span<uint8_t> buffer, bool& truncated) = 0;
    // Forgets whatever the kernel still has to say on this socket (an abandoned answer).
    virtual void Reset() = 0;
    // The port id the kernel addresses its answers to.
    virtual uint32_t PortId() const = 0;
};

namespace sockdiag {
struct Found;
}

// Sends a look-up or destroy request and reads the kernel's answer to it, passing over a few stale
// answers: 0, or an errno (EIO when no answer could be read, after which the channel is reset).
// With found, the answer to a look-up is the socket it names.
int AskKernel(DiagChannel& channel, std::span<const uint8_t> request, uint32_t seq,
              std::span<uint8_t> buffer, sockdiag::Found* found = nullptr);

// A real netlink socket. It opens when first needed and opens again after a failure, so a
// channel is never unusable for good.
std::unique_ptr<DiagChannel> OpenDiagChannel();

} // namespace kt

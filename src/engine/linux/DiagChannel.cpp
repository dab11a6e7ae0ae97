#include "engine/linux/DiagChannel.h"

#include "core/linux/UniqueFd.h"
#include "engine/linux/SockDiag.h"

#include <algorithm>
#include <cerrno>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace kt {
namespace {

// A kernel that does not answer within this time is treated as a failed socket rather than
// letting the caller's loop hang.
constexpr time_t kReceiveTimeoutSeconds = 2;
// Datagrams from other user-space sockets are passed over, but not forever.
constexpr int kMaxForeignDatagrams = 64;

class NetlinkChannel final : public DiagChannel {
public:
    bool Send(std::span<const uint8_t> request) override {
        if (!fd_.Valid() && !Open()) {
            return false;
        }
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        ssize_t sent;
        do {
            sent = ::sendto(fd_.Get(), request.data(), request.size(), 0,
                            reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
        } while (sent < 0 && errno == EINTR);
        if (sent != static_cast<ssize_t>(request.size())) {
            fd_.Reset();
            return false;
        }
        return true;
    }

    ssize_t Receive(std::span<uint8_t> buffer, bool& truncated) override {
        if (!fd_.Valid()) {
            return -1;
        }
        for (int foreign = 0; foreign < kMaxForeignDatagrams;) {
            sockaddr_nl sender{};
            iovec part{buffer.data(), buffer.size()};
            msghdr message{};
            message.msg_name = &sender;
            message.msg_namelen = sizeof sender;
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            // MSG_TRUNC makes netlink answer the datagram's real length.
            const ssize_t length = ::recvmsg(fd_.Get(), &message, MSG_TRUNC);
            if (length < 0) {
                if (errno == EINTR) {
                    continue;
                }
                fd_.Reset();
                return -1;
            }
            if (sender.nl_pid != 0) {
                ++foreign; // not the kernel
                continue;
            }
            truncated =
                (message.msg_flags & MSG_TRUNC) != 0 || static_cast<size_t>(length) > buffer.size();
            return length;
        }
        fd_.Reset();
        return -1;
    }

    void Reset() override { fd_.Reset(); }

    uint32_t PortId() const override { return portId_; }

private:
    bool Open() {
        UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
        if (!fd.Valid()) {
            return false;
        }
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK; // port id 0: the kernel assigns one
        if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            return false;
        }
        socklen_t length = sizeof local;
        if (::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
            length < sizeof local) {
            return false;
        }
        const timeval timeout{kReceiveTimeoutSeconds, 0};
        if (::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
            return false;
        }
        portId_ = local.nl_pid;
        fd_.Reset(fd.Release());
        return true;
    }

    UniqueFd fd_;
    uint32_t portId_ = 0;
};

} // namespace

std::unique_ptr<DiagChannel> OpenDiagChannel() {
    return std::make_unique<NetlinkChannel>();
}

int AskKernel(DiagChannel& channel, std::span<const uint8_t> request, uint32_t seq,
              std::span<uint8_t> buffer, sockdiag::Found* found) {
    // The answer comes in one datagram; a few stale ones before it are tolerated.
    constexpr int kMaxAckDatagrams = 16;
    if (!channel.Send(request)) {
        return EIO;
    }
    const uint32_t portId = channel.PortId();
    for (int datagram = 0; datagram < kMaxAckDatagrams; ++datagram) {
        bool truncated = false;
        const ssize_t length = channel.Receive(buffer, truncated);
        if (length < 0) {
            return EIO;
        }
        const size_t received = std::min(static_cast<size_t>(length), buffer.size());
        const sockdiag::AckResult result =
            sockdiag::ParseAck(buffer.first(received), seq, portId, found);
        if (result.status == sockdiag::AckStatus::Answered) {
            return result.error;
        }
        if (result.status == sockdiag::AckStatus::Malformed) {
            break;
        }
    }
    channel.Reset();
    return EIO;
}

} // namespace kt

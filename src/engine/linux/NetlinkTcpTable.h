#pragma once

#include "engine/TcpTable.h"
#include "engine/linux/DiagChannel.h"
#include "engine/linux/SockDiag.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace kt {

// The IPv4 TCP table of Linux through sock_diag: a dump per snapshot, SOCK_DESTROY per cut.
// IPv4 connections of dual-stack IPv6 sockets are listed and cut as IPv4 rows.
class NetlinkTcpTable final : public TcpTable {
public:
    NetlinkTcpTable();
    // For tests: the kernel behind scripted channels.
    NetlinkTcpTable(std::unique_ptr<DiagChannel> dump, std::unique_ptr<DiagChannel> destroy);

    bool TakeSnapshot(std::vector<TcpRow>& rows) override;
    bool DeleteConnection(const TcpRow& row) override;

    // Why the last delete was refused: the kernel's errno (ENOENT, EPERM, EOPNOTSUPP...), EIO
    // when the answer could not be had; 0 after a delete that succeeded.
    int LastDeleteError() const noexcept { return lastDeleteError_; }

    // A dump that the kernel marks as interrupted is taken again at most this often in all.
    static constexpr int kMaxDumpAttempts = 3;
    // Bytes of the receive buffer: more than the kernel puts in one dump datagram.
    static constexpr size_t kBufferSize = 64 * 1024;

private:
    enum class DumpEnd {
        Complete,     // NLMSG_DONE
        Cut,          // the answer became unreadable before its end
        Refused,      // the kernel answered an error
        SocketFailed, // no answer
    };
    DumpEnd Dump(uint8_t family, bool& interrupted);
    // Sends a look-up or destroy over the second socket and reads its answer: 0, or an errno
    // (EIO when no answer could be read).
    int Ask(const sockdiag::Request& request, sockdiag::Found* found = nullptr);

    std::unique_ptr<DiagChannel> dump_;
    std::unique_ptr<DiagChannel> destroy_;
    std::vector<uint8_t> buffer_;
    std::vector<TcpRow> scratch_; // filled by a dump, swapped with the caller's rows on success
    uint32_t seq_ = 0;
    int lastDeleteError_ = 0;
};

} // namespace kt

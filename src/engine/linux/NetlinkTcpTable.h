#pragma once

#include "engine/TcpTable.h"
#include "engine/linux/DestroyHelper.h"
#include "engine/linux/DiagChannel.h"
#include "engine/linux/SockDiag.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace kt {

// The TCP table of Linux through sock_diag: a dump of each family per snapshot, SOCK_DESTROY per
// cut. IPv4 connections of dual-stack IPv6 sockets are listed and cut as IPv4 rows; native IPv6
// sockets as IPv6 rows.
class NetlinkTcpTable final : public TcpTable {
public:
    NetlinkTcpTable();
    // For tests: the kernel behind scripted channels.
    NetlinkTcpTable(std::unique_ptr<DiagChannel> dump, std::unique_ptr<DiagChannel> destroy);

    // One dump per family, each request the newer form (the polling fallback's reading).
    bool TakeSnapshot(std::vector<TcpRow>& rows) override;
    // Only the sockets in the Linux states given (a bit per state; sockdiag::kListedStates for
    // the rows of a snapshot): the kernel writes out only those, and walks its table once for
    // both families where it can, at a fraction of a snapshot's cost.
    bool TakeSnapshotIn(std::vector<TcpRow>& rows, uint32_t linuxStates);
    bool DeleteConnection(const TcpRow& row) override;
    // Looks up the connection of a row that has no cookie: 0 with the family it was found in and
    // its socket's cookie, ENOENT when no socket has that connection, or the kernel's errno.
    int FindSocket(const TcpRow& row, uint8_t& family, sockdiag::Cookie& cookie);
    // Filtered by the kernel: it still walks its whole table, but writes out only the sockets
    // that a tick must judge.
    bool TakeBlockedSnapshot(std::vector<TcpRow>& rows, std::span<const uint16_t> local,
                             std::span<const uint16_t> remote) override;

    void TakeLateDeletes(LateDeletes& late) override;

    // Why the last delete was refused: the kernel's errno (ENOENT, EPERM, EOPNOTSUPP...), EIO
    // when the answer could not be had, EINPROGRESS while it waits for its socket (asked again,
    // it answers at once); 0 after a delete that succeeded.
    int LastDeleteError() const noexcept { return lastDeleteError_; }
    // EPERM or EACCES, in the system's words.
    std::string DeleteRefusal() const override;

    // How long a delete waits for a destroy before it leaves it to its helper process.
    static constexpr std::chrono::milliseconds kDestroyWait{20};
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
    DumpEnd Dump(std::span<uint8_t> request, bool& interrupted);
    std::span<uint8_t> Whole(uint8_t family, uint32_t linuxStates);
    // The dump in one walk for both families; Refused when the kernel does not offer it.
    DumpEnd DumpBothFamilies(uint32_t linuxStates, bool& interrupted);
    // Sends a look-up or destroy over the second socket and reads its answer: 0, or an errno
    // (EIO when no answer could be read).
    int Ask(const sockdiag::Request& request, sockdiag::Found* found = nullptr);

    // A destroy through a helper process (the system table's), or over destroy_ (a scripted
    // one's); the helper starts with the first delete.
    int Destroy(uint8_t family, const TcpRow& row, sockdiag::Cookie cookie);

    std::unique_ptr<DiagChannel> dump_;
    std::unique_ptr<DiagChannel> destroy_;
    bool helped_ = false;
    std::unique_ptr<Destroyer> destroyer_;
    LateDeletes late_; // named by the destroyer, until taken
    std::vector<Destroyer::Outcome> outcomes_;
    std::vector<uint8_t> buffer_;
    std::vector<TcpRow> scratch_; // filled by a dump, swapped with the caller's rows on success
    std::vector<uint8_t> whole_;
    // The filtered requests (AF_INET, AF_INET6) for the ports they were made for.
    std::array<std::vector<uint8_t>, 2> filtered_;
    std::vector<uint16_t> filterLocal_;
    std::vector<uint16_t> filterRemote_;
    bool filterable_ = false;
    bool oneWalk_ = true; // until the kernel refuses the request for both families
    uint32_t seq_ = 0;
    int lastDeleteError_ = 0;
};

} // namespace kt

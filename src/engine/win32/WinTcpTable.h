#pragma once

#include "engine/TcpTable.h"

// In this order: Windows Sockets before windows.h, and IP Helper needs both.
#include <winsock2.h>

#include <windows.h>

#include <iphlpapi.h>

#include <cstddef>
#include <functional>
#include <vector>

namespace kt::win32 {

// The two IP Helper calls the table makes; replaceable so that tests can make them fail.
struct IpHelperCalls {
    std::function<DWORD(PMIB_TCPTABLE table, PULONG size, BOOL order)> GetTcpTable;
    std::function<DWORD(PMIB_TCPROW row)> SetTcpEntry;
};

IpHelperCalls SystemIpHelper();

// The IPv4 TCP table of Windows. The table buffer grows to whatever size the system asks for
// and is kept between snapshots, so a steady table costs no allocation.
class WinTcpTable final : public TcpTable {
public:
    static constexpr size_t DefaultRowCapacity = 256;
    // The table can grow between the size the system reports and the next call; this many
    // attempts absorb that without looping forever on a table that keeps growing.
    static constexpr int MaxAttempts = 4;

    explicit WinTcpTable(IpHelperCalls calls = SystemIpHelper(),
                         size_t initialRowCapacity = DefaultRowCapacity);

    bool TakeSnapshot(std::vector<TcpRow>& rows) override;
    // The system's own answer, without reading the table again: whether the cut took shows in
    // the next snapshot, which the engine takes anyway.
    bool DeleteConnection(const TcpRow& row) override;

    // What SetTcpEntry answered to the last delete: NO_ERROR, or why it was refused.
    DWORD LastDeleteError() const noexcept { return lastDeleteError_; }
    // ERROR_ACCESS_DENIED, or 317 as SetTcpEntry answers a caller that is not elevated.
    std::string DeleteRefusal() const override;

    // Bytes the table buffer holds now.
    size_t BufferSize() const { return buffer_.size() * sizeof(DWORD); }

private:
    void Resize(size_t bytes);
    // The current table in the buffer, or null when the system gave none.
    const MIB_TCPTABLE* Fetch();
    size_t RowCount(const MIB_TCPTABLE& table) const;

    IpHelperCalls calls_;
    std::vector<DWORD> buffer_; // DWORD elements keep the table aligned
    DWORD lastDeleteError_ = NO_ERROR;
};

} // namespace kt::win32

#include "engine/win32/WinTcpTable.h"

#include <algorithm>

namespace kt::win32 {

namespace {

constexpr size_t RowBytes = sizeof(MIB_TCPROW);

size_t TableBytesFor(size_t rows) {
    return offsetof(MIB_TCPTABLE, table) + rows * RowBytes;
}

} // namespace

IpHelperCalls SystemIpHelper() {
    return {
        [](PMIB_TCPTABLE table, PULONG size, BOOL order) {
            return ::GetTcpTable(table, size, order);
        },
        [](PMIB_TCPROW row) { return ::SetTcpEntry(row); },
    };
}

WinTcpTable::WinTcpTable(IpHelperCalls calls, size_t initialRowCapacity)
    : calls_(std::move(calls)) {
    Resize(TableBytesFor(std::max<size_t>(initialRowCapacity, 1)));
}

void WinTcpTable::Resize(size_t bytes) {
    buffer_.resize((bytes + sizeof(DWORD) - 1) / sizeof(DWORD));
}

bool WinTcpTable::TakeSnapshot(std::vector<TcpRow>& rows) {
    auto* table = reinterpret_cast<PMIB_TCPTABLE>(buffer_.data());
    for (int attempt = 0; attempt < MaxAttempts; ++attempt) {
        ULONG size = static_cast<ULONG>(BufferSize());
        const DWORD result = calls_.GetTcpTable(table, &size, FALSE);
        if (result == ERROR_INSUFFICIENT_BUFFER) {
            // Room to spare, so that a table that grows a little by the next call still fits.
            const size_t asked = std::max<size_t>(size, BufferSize());
            Resize(asked + std::max(asked / 4, 100 * RowBytes));
            table = reinterpret_cast<PMIB_TCPTABLE>(buffer_.data());
            continue;
        }
        if (result != NO_ERROR) {
            return false;
        }
        const size_t capacity = (BufferSize() - offsetof(MIB_TCPTABLE, table)) / RowBytes;
        const size_t count = std::min<size_t>(table->dwNumEntries, capacity);
        rows.resize(count);
        for (size_t i = 0; i < count; ++i) {
            const MIB_TCPROW& source = table->table[i];
            rows[i] = TcpRow{source.dwState, source.dwLocalAddr, source.dwLocalPort,
                             source.dwRemoteAddr, source.dwRemotePort};
        }
        return true;
    }
    return false;
}

bool WinTcpTable::DeleteConnection(const TcpRow& row) {
    MIB_TCPROW target{};
    target.dwState = MIB_TCP_STATE_DELETE_TCB;
    target.dwLocalAddr = row.dwLocalAddr;
    target.dwLocalPort = row.dwLocalPort;
    target.dwRemoteAddr = row.dwRemoteAddr;
    target.dwRemotePort = row.dwRemotePort;
    return calls_.SetTcpEntry(&target) == NO_ERROR;
}

} // namespace kt::win32

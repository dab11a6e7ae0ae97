#include "engine/win32/WinTcpTable.h"

#include <algorithm>
#include <utility>

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

const MIB_TCPTABLE* WinTcpTable::Fetch() {
    for (int attempt = 0; attempt < MaxAttempts; ++attempt) {
        auto* table = reinterpret_cast<PMIB_TCPTABLE>(buffer_.data());
        ULONG size = static_cast<ULONG>(BufferSize());
        const DWORD result = calls_.GetTcpTable(table, &size, FALSE);
        if (result == NO_ERROR) {
            return table;
        }
        if (result != ERROR_INSUFFICIENT_BUFFER) {
            return nullptr;
        }
        // Room to spare, so that a table that grows a little by the next call still fits.
        const size_t asked = std::max<size_t>(size, BufferSize());
        Resize(asked + std::max(asked / 4, 100 * RowBytes));
    }
    return nullptr;
}

size_t WinTcpTable::RowCount(const MIB_TCPTABLE& table) const {
    const size_t capacity = (BufferSize() - offsetof(MIB_TCPTABLE, table)) / RowBytes;
    return std::min<size_t>(table.dwNumEntries, capacity);
}

bool WinTcpTable::TakeSnapshot(std::vector<TcpRow>& rows) {
    const MIB_TCPTABLE* table = Fetch();
    if (table == nullptr) {
        return false;
    }
    const size_t count = RowCount(*table);
    rows.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const MIB_TCPROW& source = table->table[i];
        rows[i] = TcpRow{source.dwState, source.dwLocalAddr, source.dwLocalPort,
                         source.dwRemoteAddr, source.dwRemotePort};
    }
    return true;
}

bool WinTcpTable::DeleteConnection(const TcpRow& row) {
    MIB_TCPROW target{};
    target.dwState = MIB_TCP_STATE_DELETE_TCB;
    target.dwLocalAddr = row.dwLocalAddr;
    target.dwLocalPort = row.dwLocalPort;
    target.dwRemoteAddr = row.dwRemoteAddr;
    target.dwRemotePort = row.dwRemotePort;
    lastDeleteError_ = calls_.SetTcpEntry(&target);
    return lastDeleteError_ == NO_ERROR;
}

std::string WinTcpTable::DeleteRefusal() const {
    if (lastDeleteError_ == ERROR_ACCESS_DENIED) {
        return "access denied, error 5";
    }
    if (lastDeleteError_ == ERROR_MR_MID_NOT_FOUND) {
        return "access denied, error 317";
    }
    return {};
}

} // namespace kt::win32

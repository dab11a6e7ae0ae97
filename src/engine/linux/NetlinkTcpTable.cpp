#include "engine/linux/NetlinkTcpTable.h"

#include "engine/linux/SockDiag.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace kt {
namespace {

// Same addresses, ports and bound interface, whatever the state.
bool SameConnection(TcpRow a, const TcpRow& b) {
    a.dwState = b.dwState;
    return a == b;
}

template <typename Message> std::span<const uint8_t> Bytes(const Message& request) {
    return {reinterpret_cast<const uint8_t*>(&request), sizeof request};
}

} // namespace

NetlinkTcpTable::NetlinkTcpTable() : NetlinkTcpTable(OpenDiagChannel(), OpenDiagChannel()) {
    helped_ = true;
}

NetlinkTcpTable::NetlinkTcpTable(std::unique_ptr<DiagChannel> dump,
                                 std::unique_ptr<DiagChannel> destroy)
    : dump_(std::move(dump)), destroy_(std::move(destroy)), buffer_(kBufferSize) {}

bool NetlinkTcpTable::TakeSnapshot(std::vector<TcpRow>& rows) {
    return TakeSnapshotIn(rows, 0);
}

bool NetlinkTcpTable::TakeSnapshotIn(std::vector<TcpRow>& rows, uint32_t linuxStates) {
    for (int attempt = 1;; ++attempt) {
        scratch_.clear();
        bool interrupted = false;
        if (linuxStates != 0 && oneWalk_) {
            const DumpEnd both = DumpBothFamilies(linuxStates, interrupted);
            if (both == DumpEnd::Complete) {
                if (!interrupted || attempt == kMaxDumpAttempts) {
                    break;
                }
                continue;
            }
            if (both != DumpEnd::Refused) {
                return false;
            }
            oneWalk_ = false;
            scratch_.clear();
        }
        // A dump that did not reach its end is no table at all: judged as one, every
        // connection past the break would go unguarded and vanish from the view.
        if (Dump(Whole(AF_INET, linuxStates), interrupted) != DumpEnd::Complete) {
            return false;
        }
        // A refusal here is a kernel without IPv6: it has no IPv6 sockets to list.
        const DumpEnd v6 = Dump(Whole(AF_INET6, linuxStates), interrupted);
        if (v6 == DumpEnd::SocketFailed || v6 == DumpEnd::Cut) {
            return false;
        }
        if (!interrupted || attempt == kMaxDumpAttempts) {
            break; // after the last attempt a possibly inconsistent table beats none
        }
    }
    rows.swap(scratch_);
    return true;
}

std::span<uint8_t> NetlinkTcpTable::Whole(uint8_t family, uint32_t linuxStates) {
    sockdiag::Request request = sockdiag::MakeDumpRequest(family, 0);
    if (linuxStates != 0) {
        request.body.idiag_states = linuxStates;
    }
    whole_.assign(Bytes(request).begin(), Bytes(request).end());
    return whole_;
}

NetlinkTcpTable::DumpEnd NetlinkTcpTable::DumpBothFamilies(uint32_t linuxStates,
                                                           bool& interrupted) {
    // Each family's dump walks every bucket of the kernel's tables: one walk costs half.
    const sockdiag::BothFamiliesRequest request =
        sockdiag::MakeBothFamiliesDumpRequest(linuxStates, 0);
    whole_.assign(Bytes(request).begin(), Bytes(request).end());
    return Dump(whole_, interrupted);
}

bool NetlinkTcpTable::TakeBlockedSnapshot(std::vector<TcpRow>& rows,
                                          std::span<const uint16_t> local,
                                          std::span<const uint16_t> remote) {
    if (!std::equal(local.begin(), local.end(), filterLocal_.begin(), filterLocal_.end()) ||
        !std::equal(remote.begin(), remote.end(), filterRemote_.begin(), filterRemote_.end())) {
        filterLocal_.assign(local.begin(), local.end());
        filterRemote_.assign(remote.begin(), remote.end());
        filterable_ = sockdiag::MakeBlockedDumpRequest(AF_INET, local, remote, filtered_[0]) &&
                      sockdiag::MakeBlockedDumpRequest(AF_INET6, local, remote, filtered_[1]);
    }
    if (!filterable_) {
        return false;
    }
    // Sockets that change while the kernel walks its table are caught by the next tick, which
    // comes within milliseconds: an interrupted dump is not taken again here.
    scratch_.clear();
    bool interrupted = false;
    if (Dump(filtered_[0], interrupted) != DumpEnd::Complete) {
        return false;
    }
    const DumpEnd v6 = Dump(filtered_[1], interrupted);
    if (v6 == DumpEnd::SocketFailed || v6 == DumpEnd::Cut) {
        return false;
    }
    rows.swap(scratch_);
    return true;
}

NetlinkTcpTable::DumpEnd NetlinkTcpTable::Dump(std::span<uint8_t> request, bool& interrupted) {
    const uint32_t seq = ++seq_;
    sockdiag::SetSequence(request, seq);
    if (!dump_->Send(request)) {
        return DumpEnd::SocketFailed;
    }
    const uint32_t portId = dump_->PortId();
    for (;;) {
        bool truncated = false;
        const ssize_t length = dump_->Receive(buffer_, truncated);
        if (length < 0) {
            return DumpEnd::SocketFailed;
        }
        const size_t received = std::min(static_cast<size_t>(length), buffer_.size());
        const sockdiag::DumpResult result =
            sockdiag::ParseDump({buffer_.data(), received}, seq, portId, scratch_);
        interrupted = interrupted || result.interrupted;
        switch (result.status) {
        case sockdiag::DumpStatus::Done:
            return DumpEnd::Complete;
        case sockdiag::DumpStatus::Failed:
            return DumpEnd::Refused;
        case sockdiag::DumpStatus::More:
            if (!truncated && received > 0) {
                continue;
            }
            [[fallthrough]];
        case sockdiag::DumpStatus::Malformed:
            // The rest of this answer is still queued; a fresh socket starts the next one clean.
            dump_->Reset();
            return DumpEnd::Cut;
        }
    }
}

bool NetlinkTcpTable::DeleteConnection(const TcpRow& row) {
    // A row with its socket's cookie names that socket alone: the kernel destroys it, or answers
    // ENOENT once it is gone, even when another socket now has its addresses.
    uint8_t family = row.ipv6 ? AF_INET6 : AF_INET;
    sockdiag::Cookie cookie = sockdiag::ToCookie(row.cookie);
    int error = row.cookie == 0 ? FindSocket(row, family, cookie) : 0;
    if (error == 0) {
        error = Destroy(family, row, cookie);
        // An IPv4 row may be the IPv4 connection of an IPv6 socket.
        if (error == ENOENT && row.cookie != 0 && !row.ipv6) {
            error = Destroy(AF_INET6, row, cookie);
        }
    }
    lastDeleteError_ = error;
    return error == 0;
}

int NetlinkTcpTable::FindSocket(const TcpRow& row, uint8_t& family, sockdiag::Cookie& cookie) {
    // The kernel finds a socket by its addresses, but answers a listener of the local address and
    // port when no connection matches; a destroy by addresses alone would then close the
    // listener. So the socket is looked up, compared with the row, and named by its own cookie,
    // which also keeps a newer socket of the same addresses safe.
    // An IPv4 row may be the IPv4 connection of an IPv6 socket, which is then asked for too.
    constexpr uint8_t kFamilies[] = {AF_INET, AF_INET6};
    const std::span<const uint8_t> families =
        row.ipv6 ? std::span(kFamilies).last(1) : std::span(kFamilies);
    int error = ENOENT;
    for (const uint8_t each : families) {
        sockdiag::Found found;
        error = Ask(sockdiag::MakeLookupRequest(each, row, ++seq_), &found);
        if (error == 0 && !(found.connection && SameConnection(found.row, row))) {
            error = ENOENT;
        }
        if (error == 0) {
            family = each;
            cookie = found.cookie;
        }
        if (error != ENOENT) {
            break;
        }
    }
    return error;
}

int NetlinkTcpTable::Destroy(uint8_t family, const TcpRow& row, sockdiag::Cookie cookie) {
    const sockdiag::Request request = sockdiag::MakeDestroyRequest(family, row, ++seq_, cookie);
    if (!helped_) {
        return Ask(request);
    }
    // A destroy waits for its socket's lock, which the socket's owner may hold without end.
    if (!destroyer_) {
        DestroyerOptions options;
        options.onSlow = [this](const TcpRow& slow, std::chrono::milliseconds, SlowCause cause) {
            late_.waiting.emplace_back(slow, DescribeSlowCause(cause));
        };
        destroyer_ = std::make_unique<Destroyer>(std::move(options));
    }
    return destroyer_->Wait(destroyer_->Submit(request, row), kDestroyWait);
}

void NetlinkTcpTable::TakeLateDeletes(LateDeletes& late) {
    if (destroyer_) {
        // Every delete waits for its own outcome first: the ones left were given up on.
        outcomes_.clear();
        destroyer_->Collect(outcomes_, std::chrono::milliseconds(0));
        for (const Destroyer::Outcome& outcome : outcomes_) {
            if (outcome.error == 0) {
                late_.done.push_back(outcome.row);
            }
        }
    }
    late.waiting.insert(late.waiting.end(), late_.waiting.begin(), late_.waiting.end());
    late.done.insert(late.done.end(), late_.done.begin(), late_.done.end());
    late_ = {};
}

std::string NetlinkTcpTable::DeleteRefusal() const {
    if (lastDeleteError_ != EPERM && lastDeleteError_ != EACCES) {
        return {};
    }
    char text[128] = {};
    // The GNU strerror_r answers its text, which need not be the buffer.
    return ::strerror_r(lastDeleteError_, text, sizeof text);
}

int NetlinkTcpTable::Ask(const sockdiag::Request& request, sockdiag::Found* found) {
    return AskKernel(*destroy_, Bytes(request), request.header.nlmsg_seq, buffer_, found);
}

} // namespace kt

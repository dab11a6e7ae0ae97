// Cost of one snapshot of the Linux TCP table with a given number of real loopback sockets. As
// root every run is in a network namespace of its own, so the table holds only its sockets.

#include "../tests/engine/linux/Loopback.h"
#include "engine/linux/NetlinkTcpTable.h"
#include "engine/linux/SockDiag.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int Get() const { return fd_; }

private:
    int fd_;
};

sockaddr_in Address(const char* text, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, text, &address.sin_addr);
    return address;
}

// The parsing alone, on datagrams as the kernel writes them: the table's own share of a snapshot.
void BM_ParseDump(benchmark::State& state) {
    constexpr uint32_t seq = 1;
    constexpr uint32_t portId = 99;
    const size_t messageLength = NLMSG_LENGTH(sizeof(inet_diag_msg) + RTA_SPACE(1));
    std::vector<std::vector<uint8_t>> datagrams;
    for (int64_t i = 0; i < state.range(0); ++i) {
        if (datagrams.empty() || datagrams.back().size() + messageLength > 32 * 1024) {
            datagrams.emplace_back();
        }
        auto& datagram = datagrams.back();
        const size_t at = datagram.size();
        datagram.resize(at + NLMSG_ALIGN(messageLength));
        nlmsghdr header{static_cast<uint32_t>(messageLength), SOCK_DIAG_BY_FAMILY, NLM_F_MULTI, seq,
                        portId};
        inet_diag_msg message{};
        message.idiag_family = AF_INET;
        message.idiag_state = 1;
        message.id.idiag_sport = htons(static_cast<uint16_t>(i));
        message.id.idiag_src[0] = htonl(0x7F000002u);
        std::memcpy(datagram.data() + at, &header, sizeof header);
        std::memcpy(datagram.data() + at + NLMSG_HDRLEN, &message, sizeof message);
    }
    std::vector<kt::TcpRow> rows;
    for (auto _ : state) {
        rows.clear();
        for (const auto& datagram : datagrams) {
            kt::sockdiag::ParseDump(datagram, seq, portId, rows);
        }
        benchmark::DoNotOptimize(rows.data());
    }
    state.counters["per_row"] = benchmark::Counter(static_cast<double>(rows.size()),
                                                   benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}
BENCHMARK(BM_ParseDump)->Arg(10000)->Unit(benchmark::kMicrosecond);

// Closed sockets leave no TIME_WAIT behind to be counted by the next run.
void AbortOnClose(const Fd& fd) {
    const linger abort{1, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

// A listener on 127.0.0.3 and connections to it from 127.0.0.2: two sockets each. As root each
// run has a namespace of its own.
struct Sockets {
    explicit Sockets(int64_t count) {
        if (::geteuid() == 0 && !kt::test::EnterOwnNetworkNamespace().empty()) {
            error = "cannot enter a network namespace of its own";
            return;
        }
        listener = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in any = Address("127.0.0.3", 0);
        ::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&any), sizeof any);
        ::listen(listener.Get(), 4096);
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&bound), &length);
        const sockaddr_in server = Address("127.0.0.3", ntohs(bound.sin_port));
        const sockaddr_in client = Address("127.0.0.2", 0);
        for (int64_t i = 0; i < count / 2; ++i) {
            Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&client), sizeof client) != 0 ||
                ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) !=
                    0) {
                error = std::strerror(errno);
                return;
            }
            AbortOnClose(fd);
            fds.push_back(std::move(fd));
            fds.emplace_back(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            AbortOnClose(fds.back());
        }
    }
    Fd listener;
    std::vector<Fd> fds;
    const char* error = nullptr;
};

// Takes one kind of snapshot over and over among range(0) sockets.
template <typename Take> void Snapshots(benchmark::State& state, Take take) {
    Sockets sockets(state.range(0));
    if (sockets.error != nullptr) {
        state.SkipWithError(sockets.error);
        return;
    }
    kt::NetlinkTcpTable table;
    std::vector<kt::TcpRow> rows;
    take(table, rows); // the buffers reach their size here
    for (auto _ : state) {
        if (!take(table, rows)) {
            state.SkipWithError("snapshot failed");
            return;
        }
        benchmark::DoNotOptimize(rows.data());
    }
    state.counters["rows"] = static_cast<double>(rows.size());
    if (rows.empty()) {
        return;
    }
    state.counters["per_row"] = benchmark::Counter(static_cast<double>(rows.size()),
                                                   benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}

void BM_Snapshot(benchmark::State& state) {
    Snapshots(state, [](kt::NetlinkTcpTable& table, std::vector<kt::TcpRow>& rows) {
        return table.TakeSnapshot(rows);
    });
}
BENCHMARK(BM_Snapshot)->Arg(0)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// What a judging tick reads: the kernel walks the same table, but writes out only the established
// sockets on a blocked port (here none of the idle ones).
void BM_BlockedSnapshot(benchmark::State& state) {
    Snapshots(state, [](kt::NetlinkTcpTable& table, std::vector<kt::TcpRow>& rows) {
        const uint16_t local[] = {445, 3389};
        const uint16_t remote[] = {8080};
        return table.TakeBlockedSnapshot(rows, local, remote);
    });
}
BENCHMARK(BM_BlockedSnapshot)->Arg(0)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "not root: measuring in the machine's own table, rows include "
                             "every other TCP socket\n");
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// What a blocked connection carries before its cut, and what holding it back costs everyone else.
//
// ZeroBytes rows: 1,000 connections, one after the other, to a blocked port whose first 1 KiB is
// written the moment the connection exists (by the client when connect() returns, or by the
// server when accept() returns), the other side reading at once until the connection ends; the
// bytes that the reading application got. Cutters: the kernel guard with its gate, the guard
// without it, and the polling engine; over loopback, and over a veth pair to a second network
// namespace standing for a remote host (only the guarded side is judged there). never_cut counts
// the reader's connections still open after 2 s of silence; cut_found_gone, the guard's cuts
// that found no socket: the two name a blocked connection that escaped its cut.
//
// GateCost: bulk loopback throughput with the guard running with and without the gate, in
// alternating runs. Needs root; everything runs in network namespaces of its own.

#include "../tests/engine/linux/Loopback.h"
#include "../tests/fakes/Fakes.h"
#include "BenchDoubles.h"
#include "VethPair.h"
#include "engine/Engine.h"
#include "engine/linux/KernelGuard.h"
#include "engine/linux/NetlinkTcpTable.h"
#include "manager/Manager.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <benchmark/benchmark.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace kt;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kBlockedPort = 21001; // below ip_local_port_range
constexpr int kConnections = 1000;
constexpr size_t kPayload = 1024;
// A reader gives up on a connection that stays silent and open this long: it was never cut.
constexpr int kSilenceMs = 2000;
constexpr auto kRowLimit = std::chrono::seconds(90);
constexpr int kBulkRuns = 8; // of each kind
constexpr auto kBulkTime = std::chrono::milliseconds(2500);
constexpr size_t kBulkWrite = 128 * 1024;
constexpr auto kSettle = std::chrono::milliseconds(300);

enum class Cutter { GuardWithGate, GuardWithoutGate, Polling };
enum class Path { Loopback, Veth };
// Which of the connection's ports the rule names, and so which side writes first: the guarded
// side is the one whose port is blocked, and it is the side that reads.
enum class Blocked { LocalPort, RemotePort };

bool Send1KiB(int fd) {
    const std::array<char, kPayload> bytes{};
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(kPayload);
}

struct Drained {
    size_t bytes = 0;
    bool ended = false; // by an error or the peer's close, not by silence
};

// Reads until the connection ends or stays silent for kSilenceMs. poll, not recv(MSG_PEEK),
// which would consume a pending abort and make it look like the peer's close.
Drained Drain(int fd) {
    Drained drained;
    std::array<char, 4096> buffer{};
    pollfd wait{fd, POLLIN, 0};
    while (::poll(&wait, 1, kSilenceMs) == 1) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n > 0) {
            drained.bytes += static_cast<size_t>(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            drained.ended = true;
            break;
        }
    }
    return drained;
}

// What one side's application saw.
struct Tally {
    uint64_t connections = 0;
    uint64_t bytes = 0;
    uint64_t withData = 0;
    uint64_t silent = 0; // never cut
    uint64_t failed = 0; // connect() failed
    void Add(const Drained& drained) {
        ++connections;
        bytes += drained.bytes;
        withData += drained.bytes > 0 ? 1 : 0;
        silent += drained.ended ? 0 : 1;
    }
};

// Accepts until the clients are done and nothing more waits; writes first when asked, then
// reads each connection to its end.
void Serve(const test::Socket& listener, bool writes, const std::atomic<bool>& clientsDone,
           Tally& tally) {
    for (;;) {
        pollfd wait{listener.Fd(), POLLIN, 0};
        if (::poll(&wait, 1, 200) != 1) {
            if (clientsDone.load()) {
                return;
            }
            continue;
        }
        const test::Socket accepted = test::Accept(listener);
        if (!accepted.Valid()) {
            continue;
        }
        if (writes) {
            Send1KiB(accepted.Fd());
        }
        tally.Add(Drain(accepted.Fd()));
    }
}

// One connection after the other; writes first when asked, then reads each to its end.
void ConnectAll(const char* from, const char* to, bool writes, Clock::time_point until,
                Tally& tally) {
    for (int i = 0; i < kConnections && Clock::now() < until; ++i) {
        const test::Socket client = test::Connect(from, to, kBlockedPort);
        if (!client.Valid()) {
            ++tally.failed;
            continue;
        }
        if (writes) {
            Send1KiB(client.Fd());
        }
        tally.Add(Drain(client.Fd()));
    }
}

// The program without the kernel guard: its engine on the netlink table, the main loop's tick
// and 1 ms sleep on a thread of its own, as cut_latency_bench runs it.
struct Poller {
    explicit Poller(Blocked blocked) {
        engine.BuildStateNames();
        manager.oConnections = &engine;
        manager.oMainForm = &form;
        manager.oAllowedIP.AddItem("127.0.0.1");
        (blocked == Blocked::LocalPort ? manager.oBlockedLocalPorts : manager.oBlockedRemotePorts)
            .AddItem(int32_t{kBlockedPort});
        manager.SetCurrentMode(Manager::CurrentConnectionsMode);
        loop = std::jthread([this](std::stop_token stop) {
            while (!stop.stop_requested()) {
                engine.PollConnections();
                host.Sleep(1);
            }
        });
    }
    bench::NullStore store;
    bench::QuietHost host;
    NetlinkTcpTable table;
    Manager manager{store, nullptr};
    testing::RecordingForm form;
    Engine engine{table, host, manager};
    std::jthread loop; // last: stopped and joined before the rest goes
};

bool EnterOwnNamespace(benchmark::State& state) {
    if (::geteuid() != 0) {
        state.SkipWithError("needs root: runs in network namespaces of its own");
        return false;
    }
    if (!test::EnterOwnNetworkNamespace().empty() || !test::RaiseFileLimit(4096)) {
        state.SkipWithError("no network namespace or file limit");
        return false;
    }
    return true;
}

void ZeroBytes(benchmark::State& state, Cutter cutter, Path path, Blocked blocked) {
    if (!EnterOwnNamespace(state)) {
        return;
    }
    // The guarded namespace is this thread's; over veth the peer stands for a remote host.
    const UniqueFd guarded = bench::ThisNetworkNamespace();
    UniqueFd peer;
    std::unique_ptr<bench::VethPair> veth;
    std::string whyNot;
    if (path == Path::Veth) {
        peer = bench::NewNetworkNamespace(whyNot);
        if (peer.Valid()) {
            veth = bench::VethPair::Create(peer, "10.77.0.1", "10.77.0.2", whyNot);
        }
        if (!veth) {
            state.SkipWithError(whyNot.c_str());
            return;
        }
    }
    const bool serverGuarded = path == Path::Loopback || blocked == Blocked::LocalPort;
    const bool clientGuarded = path == Path::Loopback || blocked == Blocked::RemotePort;
    const char* serverAddress =
        path == Path::Loopback ? "127.0.0.3" : (serverGuarded ? "10.77.0.1" : "10.77.0.2");
    const char* clientAddress =
        path == Path::Loopback ? "127.0.0.2" : (clientGuarded ? "10.77.0.1" : "10.77.0.2");
    const UniqueFd& serverNs = serverGuarded ? guarded : peer;
    const UniqueFd& clientNs = clientGuarded ? guarded : peer;
    const bool serverWrites = blocked == Blocked::RemotePort;

    const std::optional<test::Socket> listener =
        bench::RunIn(serverNs, [&] { return test::Listen(serverAddress, kBlockedPort); });
    if (!listener || !listener->Valid()) {
        state.SkipWithError("no listener on the blocked port");
        return;
    }

    std::unique_ptr<KernelGuard> guard;
    std::optional<Poller> poller;
    if (cutter == Cutter::Polling) {
        poller.emplace(blocked);
    } else {
        GuardRules rules;
        (blocked == Blocked::LocalPort ? rules.blockedLocalPorts : rules.blockedRemotePorts)
            .push_back(kBlockedPort);
        KernelGuardOptions options;
        options.gate = cutter == Cutter::GuardWithGate;
        guard = KernelGuard::Start(rules, whyNot, options);
        if (!guard || (options.gate && !guard->GateMissing().empty())) {
            state.SkipWithError(guard ? guard->GateMissing().c_str() : whyNot.c_str());
            return;
        }
    }

    Tally server, client;
    for (auto _ : state) {
        std::atomic<bool> clientsDone{false};
        bool entered = true;
        {
            const std::jthread serving(
                [&] { Serve(*listener, serverWrites, clientsDone, server); });
            const std::jthread connecting([&] {
                entered = bench::EnterNetworkNamespace(clientNs);
                if (entered) {
                    ConnectAll(clientAddress, serverAddress, !serverWrites,
                               Clock::now() + kRowLimit, client);
                }
                clientsDone.store(true);
            });
        }
        if (!entered) {
            state.SkipWithError("could not enter the client's network namespace");
            return;
        }
    }
    const Tally& reader = serverWrites ? client : server;
    state.counters["connections"] = static_cast<double>(reader.connections);
    state.counters["bytes_read"] = static_cast<double>(reader.bytes);
    state.counters["conns_with_data"] = static_cast<double>(reader.withData);
    state.counters["never_cut"] = static_cast<double>(reader.silent);
    state.counters["connect_failed"] = static_cast<double>(client.failed);
    if (guard) {
        const KernelGuard::Counters count = guard->Count();
        state.counters["cuts"] = static_cast<double>(count.cuts);
        state.counters["cut_found_gone"] = static_cast<double>(count.alreadyGone);
        state.counters["cut_retries"] = static_cast<double>(count.retries);
        state.counters["lost_matches"] = static_cast<double>(count.lostMatches);
        if (!guard->Sound()) {
            state.SkipWithError(guard->WhyNotSound().c_str());
        }
    }
}

double ThreadCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Bulk {
    double gbitPerSecond = 0;
    // Per second of the two threads' CPU, the kernel's share included: loopback runs the whole
    // stack in the threads that send and receive. Less exposed than wall time to other load on
    // the machine, which is what the gate's per-packet cost competes with.
    double gbitPerCpuSecond = 0;
};

// One loopback connection: one thread writes kBulkWrite at a time for kBulkTime, another
// reads; timed from the first read to the last.
Bulk BulkTransfer() {
    const test::Socket listener = test::Listen("127.0.0.3");
    const test::Socket writer = test::Connect("127.0.0.2", "127.0.0.3", listener.LocalPort());
    const test::Socket reader = test::Accept(listener);
    if (!writer.Valid() || !reader.Valid()) {
        return {};
    }
    uint64_t bytes = 0;
    Clock::time_point first, last;
    double readerCpu = 0;
    std::jthread reading([&] {
        const double cpu = ThreadCpuSeconds();
        std::vector<char> buffer(kBulkWrite);
        for (;;) {
            const ssize_t n = ::recv(reader.Fd(), buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                break;
            }
            last = Clock::now();
            first = bytes == 0 ? last : first;
            bytes += static_cast<uint64_t>(n);
        }
        readerCpu = ThreadCpuSeconds() - cpu;
    });
    const double cpu = ThreadCpuSeconds();
    const std::vector<char> data(kBulkWrite);
    for (const Clock::time_point end = Clock::now() + kBulkTime; Clock::now() < end;) {
        if (::send(writer.Fd(), data.data(), data.size(), MSG_NOSIGNAL) <= 0) {
            break;
        }
    }
    ::shutdown(writer.Fd(), SHUT_WR);
    const double writerCpu = ThreadCpuSeconds() - cpu;
    reading.join();
    const double seconds = std::chrono::duration<double>(last - first).count();
    const double gbit = static_cast<double>(bytes) * 8 / 1e9;
    return {seconds > 0 ? gbit / seconds : 0,
            readerCpu + writerCpu > 0 ? gbit / (readerCpu + writerCpu) : 0};
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Every packet of every socket passes the gate, blocked or not; this is what that costs bulk
// traffic. The guard runs in both kinds, so only the gate differs; the kinds alternate so that
// load from elsewhere on the machine falls on both alike.
void GateCost(benchmark::State& state) {
    if (!EnterOwnNamespace(state)) {
        return;
    }
    const GuardRules rules{{kBlockedPort}, {}, {}};
    std::vector<Bulk> gated, ungated;
    for (auto _ : state) {
        for (int run = 0; run < kBulkRuns; ++run) {
            for (const bool gate : {true, false}) {
                KernelGuardOptions options;
                options.gate = gate;
                std::string whyNot;
                const auto guard = KernelGuard::Start(rules, whyNot, options);
                if (!guard || (gate && !guard->GateMissing().empty())) {
                    state.SkipWithError(guard ? guard->GateMissing().c_str() : whyNot.c_str());
                    return;
                }
                // The last guard's programs and maps are freed by the kernel after it is gone.
                std::this_thread::sleep_for(kSettle);
                (gate ? gated : ungated).push_back(BulkTransfer());
            }
        }
    }
    std::string runs;
    for (size_t i = 0; i < gated.size(); ++i) {
        std::array<char, 32> pair{};
        std::snprintf(pair.data(), pair.size(), "%s%.1f/%.1f", i ? " " : "", gated[i].gbitPerSecond,
                      ungated[i].gbitPerSecond);
        runs += pair.data();
    }
    state.SetLabel("gate/no gate Gbit/s: " + runs);
    for (const auto& [kind, bulks] : {std::pair{"gate", &gated}, std::pair{"no_gate", &ungated}}) {
        std::vector<double> rates, efficiencies;
        for (const Bulk& bulk : *bulks) {
            rates.push_back(bulk.gbitPerSecond);
            efficiencies.push_back(bulk.gbitPerCpuSecond);
        }
        const std::string name(kind);
        state.counters[name + "_gbps"] = Median(rates);
        state.counters[name + "_min"] = *std::min_element(rates.begin(), rates.end());
        state.counters[name + "_max"] = *std::max_element(rates.begin(), rates.end());
        state.counters[name + "_gbit_per_cpu_s"] = Median(efficiencies);
    }
    state.counters["gate_ratio"] = state.counters["gate_gbps"] / state.counters["no_gate_gbps"];
    state.counters["gate_cpu_ratio"] =
        state.counters["gate_gbit_per_cpu_s"] / state.counters["no_gate_gbit_per_cpu_s"];
}

const bool kRegistered = [] {
    const std::pair<Path, const char*> paths[] = {{Path::Loopback, "loopback"},
                                                  {Path::Veth, "veth"}};
    const std::pair<Blocked, const char*> rules[] = {
        {Blocked::LocalPort, "blocked_local_port/client_writes"},
        {Blocked::RemotePort, "blocked_remote_port/server_writes"}};
    const std::pair<Cutter, const char*> cutters[] = {{Cutter::GuardWithGate, "guard_gate"},
                                                      {Cutter::GuardWithoutGate, "guard_no_gate"},
                                                      {Cutter::Polling, "polling"}};
    for (const auto& [path, pathName] : paths) {
        for (const auto& [blocked, ruleName] : rules) {
            for (const auto& [cutter, cutterName] : cutters) {
                const std::string name =
                    std::string("ZeroBytes/") + pathName + "/" + ruleName + "/" + cutterName;
                benchmark::RegisterBenchmark(name.c_str(), ZeroBytes, cutter, path, blocked)
                    ->Iterations(1)
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
    benchmark::RegisterBenchmark("GateCost/bulk_loopback", GateCost)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    return true;
}();

} // namespace

BENCHMARK_MAIN();

#pragma once

// What the gate benchmarks share: a network namespace of their own, the guard with its gate, and
// sockets driven byte by byte.

#include "../tests/engine/linux/Loopback.h"
#include "engine/linux/KernelGuard.h"

#include <array>
#include <benchmark/benchmark.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace kt::bench {

using Clock = std::chrono::steady_clock;

inline bool EnterOwnNamespace(benchmark::State& state, uint64_t files = 8192) {
    if (::geteuid() != 0) {
        state.SkipWithError("needs root: runs in network namespaces of its own");
        return false;
    }
    if (!test::EnterOwnNetworkNamespace().empty() || !test::RaiseFileLimit(files)) {
        state.SkipWithError("no network namespace or file limit");
        return false;
    }
    return true;
}

// The guard with its gate, or nothing with the benchmark skipped.
inline std::unique_ptr<KernelGuard> StartGated(benchmark::State& state, const GuardRules& rules,
                                               KernelGuardOptions options = {}) {
    options.attachPoint = GuardAttachPoint::Typed;
    std::string whyNot;
    auto guard = KernelGuard::Start(rules, whyNot, options);
    if (!guard || !guard->GateMissing().empty()) {
        state.SkipWithError(guard ? guard->GateMissing().c_str() : whyNot.c_str());
        return nullptr;
    }
    return guard;
}

inline void SetTimeouts(int fd, std::chrono::milliseconds bound) {
    const timeval limit{static_cast<time_t>(bound.count() / 1000),
                        static_cast<suseconds_t>(bound.count() % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

inline void SetBlocking(int fd, bool blocking) {
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

// Sends all of bytes, or fails (a timeout set on the socket bounds it).
inline bool SendAll(int fd, const char* bytes, size_t size) {
    for (size_t sent = 0; sent < size;) {
        const ssize_t n = ::send(fd, bytes + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

inline bool ReceiveAll(int fd, char* bytes, size_t size) {
    for (size_t got = 0; got < size;) {
        const ssize_t n = ::recv(fd, bytes + got, size - got, 0);
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

// What can be read at once, without waiting.
inline size_t ReadWaiting(int fd) {
    size_t total = 0;
    std::array<char, 4096> buffer{};
    for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0;) {
        total += static_cast<size_t>(n);
    }
    return total;
}

// Accepts what waits, without waiting.
inline void AcceptWaiting(const test::Socket& listener, std::vector<test::Socket>& into) {
    for (pollfd ready{listener.Fd(), POLLIN, 0}; ::poll(&ready, 1, 0) == 1;) {
        test::Socket accepted(::accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!accepted.Valid()) {
            return;
        }
        into.push_back(std::move(accepted));
    }
}

inline void CountGatePasses(benchmark::State& state, const KernelGuard& guard) {
    static constexpr const char* kPaths[KernelGuard::kGatePaths] = {
        "passed_no_socket", "passed_not_full_socket", "passed_unreadable_early",
        "passed_kept_spared", "passed_judged_spared"};
    const auto passes = guard.GatePasses();
    for (size_t path = 0; path < passes.size(); ++path) {
        state.counters[kPaths[path]] = static_cast<double>(passes[path]);
    }
    state.counters["unkept"] = static_cast<double>(guard.Unkept());
    state.counters["lost_matches"] = static_cast<double>(guard.Count().lostMatches);
}

} // namespace kt::bench

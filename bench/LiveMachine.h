#pragma once

// What the benchmarks of the whole program share: a network namespace of their own with idle
// connections in it, the process's CPU, and percentiles of their samples.

#include "../tests/engine/linux/Loopback.h"

#include <QApplication>

#include <algorithm>
#include <benchmark/benchmark.h>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kt::bench {

inline double ProcessCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

inline double Percentile(std::vector<double> samples, double part) {
    std::sort(samples.begin(), samples.end());
    return samples.empty()
               ? 0
               : samples[std::min(samples.size() - 1, static_cast<size_t>(samples.size() * part))];
}

inline void Stop(pid_t child) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

// A child that opens count connections to itself on port and holds both ends; waits until they
// are open.
inline pid_t StartIdle(int count, uint16_t port) {
    int ready[2];
    if (::pipe(ready) != 0) {
        return -1;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        test::RaiseFileLimit(static_cast<uint64_t>(count) * 2 + 64);
        const test::Socket listener = test::Listen("127.0.0.3", port);
        std::vector<test::Socket> ends;
        for (int i = 0; i < count; ++i) {
            ends.push_back(test::Connect("127.0.0.2", "127.0.0.3", port));
            ends.push_back(test::Accept(listener));
        }
        (void)!::write(ready[1], "", 1);
        for (;;) {
            ::pause();
        }
    }
    char done = 0;
    ::close(ready[1]);
    (void)!::read(ready[0], &done, 1);
    ::close(ready[0]);
    return child;
}

// The benchmarks, as root, in a network namespace of their own that holds count idle
// connections, with a Qt application that draws offscreen.
inline int RunWithIdleConnections(int argc, char** argv, int count, uint16_t port) {
    if (::geteuid() != 0) {
        std::fprintf(stderr, "needs root: runs in a network namespace of its own\n");
        return 1;
    }
    // Before any thread starts: every one lives in the namespace.
    if (const std::string why = test::EnterOwnNetworkNamespace(); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    test::RaiseFileLimit(4096);
    const pid_t idle = StartIdle(count, port);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qt(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Stop(idle);
    return 0;
}

} // namespace kt::bench

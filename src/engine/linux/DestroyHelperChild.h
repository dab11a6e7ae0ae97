#pragma once

// The destroy helper's own side: what runs in the forked child, and the form of its answers.

#include <cstddef>
#include <sys/types.h>

namespace kt::destroyhelper {

// Datagrams that are not the answer (stale, or from another socket) are passed over, not forever.
constexpr int kMaxDatagrams = 16;
// An answer from a helper: its status (0, or the errno of the exchange), then the kernel's
// datagram.
constexpr size_t kReplyHead = 8;
constexpr size_t kReplyBytes = kReplyHead + 4096;

// Runs in the child just forked by parent: reads one destroy request at a time from channel,
// sends it over netlink (the child's own sock_diag socket) and passes the kernel's answer back.
// Ends when the parent closes its end or ends.
[[noreturn]] void RunDestroyHelper(int channel, int netlink, pid_t parent);

} // namespace kt::destroyhelper

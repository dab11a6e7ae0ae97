#include "engine/linux/DestroyHelperChild.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <linux/capability.h>
#include <linux/netlink.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

// The helper starts as a fork of a multithreaded program (Qt's threads, the guard's), whose locks
// may be held by threads that do not exist in the child: it may make raw system calls only, and
// its code must not call into the sanitizers' runtime either.
#define KT_HELPER_CODE __attribute__((no_sanitize("address", "undefined")))

namespace kt::destroyhelper {
namespace {

// struct sigaction as the kernel reads it (x86-64 and arm64).
struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    uint64_t mask;
};

[[noreturn]] KT_HELPER_CODE void ExitHelper(int status) {
    for (;;) {
        ::syscall(SYS_exit_group, status);
    }
}

// Closes every descriptor but a and b: the parent's others include the pipes CTest reads and
// sockets a test or the program means to close, which a stuck helper must not keep open.
KT_HELPER_CODE bool KeepOnly(int a, int b) {
    const unsigned low = static_cast<unsigned>(a < b ? a : b);
    const unsigned high = static_cast<unsigned>(a < b ? b : a);
    return (low == 0 || ::syscall(SYS_close_range, 0u, low - 1, 0u) == 0) &&
           (high <= low + 1 || ::syscall(SYS_close_range, low + 1, high - 1, 0u) == 0) &&
           ::syscall(SYS_close_range, high + 1, ~0u, 0u) == 0;
}

// Sends one request and reads the kernel's answer to it into answer: 0 and its length, or the
// errno of the exchange (EAGAIN when the receive timed out).
KT_HELPER_CODE int Exchange(int netlink, const uint8_t* request, size_t size, uint8_t* answer,
                            size_t capacity, size_t& length) {
    uint32_t seq = 0;
    __builtin_memcpy(&seq, request + offsetof(nlmsghdr, nlmsg_seq), sizeof seq);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    // Here the helper may wait for the socket's lock, for as long as its owner holds it.
    if (::syscall(SYS_sendto, netlink, request, size, 0, &kernel, sizeof kernel) !=
        static_cast<long>(size)) {
        return errno != 0 ? errno : EIO;
    }
    for (int datagram = 0; datagram < kMaxDatagrams; ++datagram) {
        sockaddr_nl sender{};
        socklen_t senderLength = sizeof sender;
        const long got =
            ::syscall(SYS_recvfrom, netlink, answer, capacity, 0, &sender, &senderLength);
        if (got < 0) {
            return errno;
        }
        uint32_t answerSeq = 0;
        if (sender.nl_pid == 0 && static_cast<size_t>(got) >= sizeof(nlmsghdr)) {
            __builtin_memcpy(&answerSeq, answer + offsetof(nlmsghdr, nlmsg_seq), sizeof answerSeq);
            if (answerSeq == seq) {
                length = static_cast<size_t>(got);
                return 0;
            }
        }
    }
    return EIO;
}

} // namespace

[[noreturn]] KT_HELPER_CODE void RunDestroyHelper(int channel, int netlink, pid_t parent) {
    ::syscall(SYS_prctl, PR_SET_NAME, "kt-destroyer", 0, 0, 0); // as ps and top show it
    ::syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    if (::syscall(SYS_getppid) != parent) {
        ExitHelper(0); // the parent ended before the line above could take effect
    }
    // The parent's handlers would run here on a stop signal and keep the helper alive.
    const KernelSigaction fallback{};
    for (int signal = 1; signal < 65; ++signal) {
        ::syscall(SYS_rt_sigaction, signal, &fallback, nullptr, sizeof fallback.mask);
    }
    const uint64_t none = 0;
    ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
    if (!KeepOnly(channel, netlink)) {
        ExitHelper(1);
    }
    // A destroy needs CAP_NET_ADMIN and nothing else.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, caps) == 0) {
        const uint32_t netAdmin = 1u << CAP_NET_ADMIN; // in the first word
        caps[0] = {caps[0].effective & netAdmin, caps[0].permitted & netAdmin, 0};
        caps[1] = {0, 0, 0};
        ::syscall(SYS_capset, &header, caps);
    }
    alignas(8) uint8_t request[512];
    alignas(8) uint8_t reply[kReplyBytes];
    for (;;) {
        const long got =
            ::syscall(SYS_recvfrom, channel, request, sizeof request, 0, nullptr, nullptr);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < static_cast<long>(sizeof(nlmsghdr))) {
            ExitHelper(0); // the parent closed its end
        }
        size_t length = 0;
        const int32_t status = Exchange(netlink, request, static_cast<size_t>(got),
                                        reply + kReplyHead, sizeof reply - kReplyHead, length);
        __builtin_memcpy(reply, &status, sizeof status);
        ::syscall(SYS_sendto, channel, reply, kReplyHead + length, MSG_NOSIGNAL, nullptr, 0);
    }
}

} // namespace kt::destroyhelper

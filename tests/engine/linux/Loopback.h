#pragma once

// Real TCP sockets on the loopback addresses the tests may use, and TCP table rows to compare.

#include "core/linux/UniqueFd.h"
#include "engine/TcpTable.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <linux/capability.h>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <unistd.h>

namespace kt::test {

// Moves this process into a new network namespace with lo up; answers what failed, or nothing.
std::string EnterOwnNetworkNamespace();

// For a test's SetUp or body: skips without root, else gives the test a network namespace of its
// own, so that the table holds nothing but its sockets.
#define KT_ENTER_OWN_NETWORK_NAMESPACE()                                                           \
    do {                                                                                           \
        if (::geteuid() != 0) {                                                                    \
            GTEST_SKIP() << "needs root: the test runs in a network namespace of its own";         \
        }                                                                                          \
        const std::string kt_namespace_error = ::kt::test::EnterOwnNetworkNamespace();             \
        ASSERT_TRUE(kt_namespace_error.empty()) << kt_namespace_error;                             \
    } while (false)

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket&& other) noexcept
        : fd_(other.fd_), cutWhileConnecting_(other.cutWhileConnecting_) {
        other.fd_ = -1;
    }
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket();

    int Fd() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    uint16_t LocalPort() const;
    // A guard may cut a connection before its connect() returns: the error connect() took.
    int CutWhileConnecting() const { return cutWhileConnecting_; }
    void SetCutWhileConnecting(int error) { cutWhileConnecting_ = error; }

private:
    int fd_ = -1;
    int cutWhileConnecting_ = 0;
};

// An address in the table's byte order (network order, as in s_addr).
uint32_t Ipv4(const char* text);

// IPv4 sockets. Addresses are dotted texts; port 0 asks for any free port; a device binds the
// socket to that interface (SO_BINDTODEVICE). A connection cut while connecting is still
// returned, its error kept for ConnectionError.
Socket Listen(const char* address, uint16_t port = 0, const char* device = nullptr);
Socket Connect(const char* from, const char* to, uint16_t port, const char* device = nullptr);
// IPv6 sockets (the address texts may be IPv4-mapped). v6only sets IPV6_V6ONLY.
Socket Listen6(const char* address, bool v6only = false);
Socket Connect6(const char* from, const char* to, uint16_t port);
Socket Accept(const Socket& listener);

// The errno a socket reports once its connection is gone (waits up to waitMs, scaled by
// TimeScale), or 0 when the connection is still alive.
int ConnectionError(const Socket& socket, int waitMs = 2000);
// Closes with a reset, leaving no TIME_WAIT behind.
void Abort(Socket& socket);
// True when one byte sent on a arrives on b.
bool Exchange(const Socket& a, const Socket& b);

// Raises the soft limit of open files to at least count; false when the hard limit is lower.
bool RaiseFileLimit(uint64_t count);

// Removes the capabilities from this process for good.
bool DropCapabilities(std::initializer_list<int> capabilities);
inline bool DropNetAdmin() {
    return DropCapabilities({CAP_NET_ADMIN});
}
// Runs body in a child process without the capabilities; its exit code (125 when they could not
// be dropped, a negative signal number when it died).
int RunWithout(std::initializer_list<int> capabilities, const std::function<int()>& body);
inline int RunWithoutNetAdmin(const std::function<int()>& body) {
    return RunWithout({CAP_NET_ADMIN}, body);
}

// A thread whose send() holds its socket's lock: the bytes lie on a page whose fault nobody
// serves until Release. Without UFFD_USER_MODE_ONLY the fault the kernel takes is caught too.
class StuckSender {
public:
    explicit StuckSender(const Socket& socket);
    ~StuckSender();
    StuckSender(const StuckSender&) = delete;
    StuckSender& operator=(const StuckSender&) = delete;
    bool Stuck() const { return stuck_; }
    // The fault is served as an ordinary one once the descriptor is gone.
    void Release();

private:
    static constexpr size_t kPage = 4096;
    UniqueFd fault_;
    void* page_;
    std::thread sender_;
    bool stuck_ = false;
};

// This process's child processes named comm, by pid: their state letters ('S', 'D', 'Z'...).
std::map<int, char> ChildStates(const char* comm);

// Before Linux 6.9 one mutex served every sock_diag request: a destroy waiting for its socket held
// up every other, in any process.
bool KernelSerializesSockDiag();

// An IPv4 row, or an IPv6 row when the address texts are IPv6 ("::1").
TcpRow Row(TcpState state, const char* local, uint16_t localPort, const char* remote,
           uint16_t remotePort, uint32_t boundInterface = 0);
std::string Describe(const TcpRow& row);

} // namespace kt::test

namespace kt {
// How GoogleTest shows a row in a failure message.
inline void PrintTo(const TcpRow& row, std::ostream* out) {
    *out << test::Describe(row);
}
} // namespace kt

#include "Loopback.h"

#include "../../TimeScale.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/capability.h>
#include <linux/userfaultfd.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace kt::test {

std::string EnterOwnNetworkNamespace() {
    if (::unshare(CLONE_NEWNET) != 0) {
        return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
    }
    Socket control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (!control.Valid() || ::ioctl(control.Fd(), SIOCGIFFLAGS, &request) != 0) {
        return std::string("reading the flags of lo: ") + std::strerror(errno);
    }
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (::ioctl(control.Fd(), SIOCSIFFLAGS, &request) != 0) {
        return std::string("bringing lo up: ") + std::strerror(errno);
    }
    return {};
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
        cutWhileConnecting_ = other.cutWhileConnecting_;
    }
    return *this;
}

Socket::~Socket() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

uint16_t Socket::LocalPort() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

uint32_t Ipv4(const char* text) {
    in_addr address{};
    ::inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

namespace {

sockaddr_in Address4(const char* text, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, text, &address.sin_addr);
    return address;
}

sockaddr_in6 Address6(const char* text, uint16_t port) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    ::inet_pton(AF_INET6, text, &address.sin6_addr);
    return address;
}

template <typename Address> bool Bind(const Socket& socket, const Address& address) {
    return ::bind(socket.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool BindToDevice(const Socket& socket, const char* device) {
    return device == nullptr || ::setsockopt(socket.Fd(), SOL_SOCKET, SO_BINDTODEVICE, device,
                                             static_cast<socklen_t>(std::strlen(device))) == 0;
}

template <typename Address>
Socket ConnectFrom(Socket socket, const Address& from, const Address& to,
                   const char* device = nullptr) {
    if (!socket.Valid() || !BindToDevice(socket, device) || !Bind(socket, from)) {
        return {};
    }
    if (::connect(socket.Fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        // Cut before connect() returned: the error is gone from the socket, so it is kept here.
        if (errno != ECONNABORTED && errno != ECONNRESET) {
            return {};
        }
        socket.SetCutWhileConnecting(errno);
    }
    return socket;
}

} // namespace

Socket Listen(const char* address, uint16_t port, const char* device) {
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(socket.Fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (!socket.Valid() || !BindToDevice(socket, device) ||
        !Bind(socket, Address4(address, port)) || ::listen(socket.Fd(), 4096) != 0) {
        return {};
    }
    return socket;
}

Socket Listen6(const char* address, bool v6only) {
    Socket socket(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int only = v6only ? 1 : 0;
    if (!socket.Valid() ||
        ::setsockopt(socket.Fd(), IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only) != 0 ||
        !Bind(socket, Address6(address, 0)) || ::listen(socket.Fd(), 4096) != 0) {
        return {};
    }
    return socket;
}

Socket Connect(const char* from, const char* to, uint16_t port, const char* device) {
    return ConnectFrom(Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), Address4(from, 0),
                       Address4(to, port), device);
}

Socket Connect6(const char* from, const char* to, uint16_t port) {
    return ConnectFrom(Socket(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0)), Address6(from, 0),
                       Address6(to, port));
}

Socket Accept(const Socket& listener) {
    return Socket(::accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC));
}

int ConnectionError(const Socket& socket, int waitMs) {
    if (socket.CutWhileConnecting() != 0) {
        return socket.CutWhileConnecting();
    }
    pollfd wait{socket.Fd(), POLLIN, 0};
    if (::poll(&wait, 1, Scaled(waitMs)) <= 0) {
        return 0;
    }
    char byte = 0;
    if (::recv(socket.Fd(), &byte, 1, MSG_DONTWAIT) < 0) {
        return errno;
    }
    return 0;
}

void Abort(Socket& socket) {
    const linger now{1, 0};
    ::setsockopt(socket.Fd(), SOL_SOCKET, SO_LINGER, &now, sizeof now);
    socket = Socket();
}

bool Exchange(const Socket& a, const Socket& b) {
    const char sent = 'k';
    if (::send(a.Fd(), &sent, 1, MSG_NOSIGNAL) != 1) {
        return false;
    }
    pollfd wait{b.Fd(), POLLIN, 0};
    char received = 0;
    return ::poll(&wait, 1, Scaled(2000)) == 1 && ::recv(b.Fd(), &received, 1, 0) == 1 &&
           received == sent;
}

bool RaiseFileLimit(uint64_t count) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return false;
    }
    if (limit.rlim_cur >= count) {
        return true;
    }
    if (limit.rlim_max < count) {
        return false;
    }
    limit.rlim_cur = count;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

StuckSender::StuckSender(const Socket& socket)
    : fault_(static_cast<int>(::syscall(SYS_userfaultfd, O_CLOEXEC | O_NONBLOCK))),
      page_(::mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) {
    uffdio_api api{UFFD_API, 0, 0};
    uffdio_register range{
        {reinterpret_cast<uintptr_t>(page_), kPage}, UFFDIO_REGISTER_MODE_MISSING, 0};
    if (page_ == MAP_FAILED || ::ioctl(fault_.Get(), UFFDIO_API, &api) != 0 ||
        ::ioctl(fault_.Get(), UFFDIO_REGISTER, &range) != 0) {
        return;
    }
    sender_ = std::thread([this, fd = socket.Fd()] { ::send(fd, page_, kPage, MSG_NOSIGNAL); });
    pollfd fault{fault_.Get(), POLLIN, 0};
    stuck_ = ::poll(&fault, 1, 2000) == 1;
}

StuckSender::~StuckSender() {
    Release();
    if (page_ != MAP_FAILED) {
        ::munmap(page_, kPage);
    }
}

void StuckSender::Release() {
    fault_.Reset();
    if (sender_.joinable()) {
        sender_.join();
    }
}

std::map<int, char> ChildStates(const char* comm) {
    std::map<int, char> states;
    DIR* proc = ::opendir("/proc");
    for (const dirent* entry = proc ? ::readdir(proc) : nullptr; entry; entry = ::readdir(proc)) {
        std::ifstream file(std::string("/proc/") + entry->d_name + "/stat");
        std::string stat;
        std::getline(file, stat);
        // pid (comm) state ppid ...: comm may hold spaces and parentheses, so the last one ends it.
        const size_t open = stat.find('('), close = stat.rfind(')');
        char state = 0;
        int parent = 0;
        if (open != std::string::npos && close != std::string::npos &&
            stat.compare(open + 1, close - open - 1, comm) == 0 &&
            std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) == 2 &&
            parent == ::getpid()) {
            states[std::atoi(entry->d_name)] = state;
        }
    }
    if (proc) {
        ::closedir(proc);
    }
    return states;
}

bool KernelSerializesSockDiag() {
    utsname name{};
    int major = 0, minor = 0;
    return ::uname(&name) != 0 || std::sscanf(name.release, "%d.%d", &major, &minor) != 2 ||
           major < 6 || (major == 6 && minor < 9);
}

TcpRow Row(TcpState state, const char* local, uint16_t localPort, const char* remote,
           uint16_t remotePort, uint32_t boundInterface) {
    TcpRow row{static_cast<uint32_t>(state), Ipv4(local), PortToField(localPort), Ipv4(remote),
               PortToField(remotePort)};
    row.boundInterface = boundInterface;
    row.ipv6 = std::strchr(local, ':') != nullptr;
    if (row.ipv6) {
        ::inet_pton(AF_INET6, local, row.localAddr6.data());
        ::inet_pton(AF_INET6, remote, row.remoteAddr6.data());
    }
    return row;
}

std::string Describe(const TcpRow& row) {
    auto text = [&](uint32_t address, const kt::Address6& address6) {
        char buffer[INET6_ADDRSTRLEN] = {};
        const in_addr value{address};
        ::inet_ntop(row.ipv6 ? AF_INET6 : AF_INET,
                    row.ipv6 ? static_cast<const void*>(address6.data()) : &value, buffer,
                    sizeof buffer);
        return std::string(buffer);
    };
    return "{state " + std::to_string(row.dwState) + ", " + text(row.dwLocalAddr, row.localAddr6) +
           ":" + std::to_string(PortFromField(row.dwLocalPort)) + " -> " +
           text(row.dwRemoteAddr, row.remoteAddr6) + ":" +
           std::to_string(PortFromField(row.dwRemotePort)) + ", interface " +
           std::to_string(row.boundInterface) + ", cookie " + std::to_string(row.cookie) + "}";
}

bool DropCapabilities(std::initializer_list<int> capabilities) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    for (const int capability : capabilities) {
        const uint32_t bit = 1u << (capability % 32);
        auto& word = data[capability / 32];
        word.effective &= ~bit;
        word.permitted &= ~bit;
        word.inheritable &= ~bit;
    }
    return ::syscall(SYS_capset, &header, data) == 0;
}

int RunWithout(std::initializer_list<int> capabilities, const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        ::_exit(DropCapabilities(capabilities) ? body() : 125);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

} // namespace kt::test

#include "VethPair.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <vector>

namespace kt::bench {
namespace {

constexpr const char* kName = "ktzb0";
constexpr const char* kPeerName = "ktzb1";

std::string Failed(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

// One rtnetlink request, built attribute by attribute.
class Request {
public:
    Request(uint16_t type, uint16_t flags) : bytes_(NLMSG_HDRLEN) {
        nlmsghdr header{};
        header.nlmsg_type = type;
        header.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | NLM_F_ACK | flags);
        header.nlmsg_seq = 1;
        std::memcpy(bytes_.data(), &header, sizeof header);
    }
    void Append(const void* data, size_t size) {
        const auto* from = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), from, from + size);
        bytes_.resize(NLMSG_ALIGN(bytes_.size()));
    }
    void Attribute(uint16_t type, const void* data, size_t size) {
        const rtattr head{static_cast<uint16_t>(RTA_LENGTH(size)), type};
        Append(&head, sizeof head);
        Append(data, size);
    }
    void Text(uint16_t type, const char* text) { Attribute(type, text, std::strlen(text) + 1); }
    // A nested attribute: its length is set by Close.
    size_t Open(uint16_t type) {
        const size_t at = bytes_.size();
        const rtattr head{0, type};
        Append(&head, sizeof head);
        return at;
    }
    void Close(size_t at) {
        const auto length = static_cast<uint16_t>(bytes_.size() - at);
        std::memcpy(bytes_.data() + at + offsetof(rtattr, rta_len), &length, sizeof length);
    }
    // Sends the request and reads the kernel's acknowledgement: 0 or an errno.
    int Send(const UniqueFd& route) {
        const auto length = static_cast<uint32_t>(bytes_.size());
        std::memcpy(bytes_.data() + offsetof(nlmsghdr, nlmsg_len), &length, sizeof length);
        if (::send(route.Get(), bytes_.data(), bytes_.size(), 0) < 0) {
            return errno;
        }
        std::array<uint8_t, 4096> answer{};
        const ssize_t got = ::recv(route.Get(), answer.data(), answer.size(), 0);
        if (got < static_cast<ssize_t>(NLMSG_HDRLEN + sizeof(nlmsgerr))) {
            return got < 0 ? errno : EIO;
        }
        nlmsghdr header{};
        std::memcpy(&header, answer.data(), sizeof header);
        if (header.nlmsg_type != NLMSG_ERROR) {
            return EIO;
        }
        nlmsgerr error{};
        std::memcpy(&error, answer.data() + NLMSG_HDRLEN, sizeof error);
        return -error.error;
    }

private:
    std::vector<uint8_t> bytes_;
};

// An IPv6 address with a /64 prefix, usable at once: duplicate address detection, which would keep
// it tentative for a second, is off for the interface.
std::string ConfigureIpv6(const char* name, const char* address6) {
    std::ofstream(std::string("/proc/sys/net/ipv6/conf/") + name + "/accept_dad") << 0;
    const UniqueFd control(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!control.Valid()) {
        return Failed("opening an IPv6 control socket", errno);
    }
    struct {
        in6_addr ifr6_addr;
        uint32_t ifr6_prefixlen;
        int ifr6_ifindex;
    } request{}; // struct in6_ifreq, as the kernel reads it
    request.ifr6_prefixlen = 64;
    request.ifr6_ifindex = static_cast<int>(::if_nametoindex(name));
    ::inet_pton(AF_INET6, address6, &request.ifr6_addr);
    if (request.ifr6_ifindex == 0 || ::ioctl(control.Get(), SIOCSIFADDR, &request) != 0) {
        return Failed("setting an IPv6 address", errno);
    }
    return {};
}

// The address with a /24 netmask (none: lo keeps its own), and the IPv6 one if any, then up:
// through the old interface ioctls, which need no netlink.
std::string Configure(const char* name, const char* address, const char* address6 = nullptr) {
    if (address6 != nullptr) {
        if (std::string why = ConfigureIpv6(name, address6); !why.empty()) {
            return why;
        }
    }
    const UniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!control.Valid()) {
        return Failed("opening a control socket", errno);
    }
    ifreq request{};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    if (address != nullptr) {
        sockaddr_in value{};
        value.sin_family = AF_INET;
        ::inet_pton(AF_INET, address, &value.sin_addr);
        std::memcpy(&request.ifr_addr, &value, sizeof value);
        if (::ioctl(control.Get(), SIOCSIFADDR, &request) != 0) {
            return Failed("setting an address", errno);
        }
        ::inet_pton(AF_INET, "255.255.255.0", &value.sin_addr);
        std::memcpy(&request.ifr_netmask, &value, sizeof value);
        if (::ioctl(control.Get(), SIOCSIFNETMASK, &request) != 0) {
            return Failed("setting a netmask", errno);
        }
    }
    if (::ioctl(control.Get(), SIOCGIFFLAGS, &request) != 0) {
        return Failed("reading an interface's flags", errno);
    }
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (::ioctl(control.Get(), SIOCSIFFLAGS, &request) != 0) {
        return Failed("bringing an interface up", errno);
    }
    return {};
}

} // namespace

UniqueFd ThisNetworkNamespace() {
    return UniqueFd(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
}

bool EnterNetworkNamespace(const UniqueFd& ns) {
    return ns.Valid() && ::setns(ns.Get(), CLONE_NEWNET) == 0;
}

UniqueFd NewNetworkNamespace(std::string& whyNot) {
    UniqueFd made;
    std::thread([&] {
        if (::unshare(CLONE_NEWNET) != 0) {
            whyNot = Failed("unshare(CLONE_NEWNET)", errno);
            return;
        }
        whyNot = Configure("lo", nullptr);
        if (whyNot.empty()) {
            made = ThisNetworkNamespace();
        }
    }).join();
    return made;
}

std::unique_ptr<VethPair> VethPair::Create(const UniqueFd& peer, const char* address,
                                           const char* peerAddress, std::string& whyNot,
                                           const char* address6, const char* peerAddress6) {
    UniqueFd route(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!route.Valid()) {
        whyNot = Failed("opening rtnetlink", errno);
        return nullptr;
    }
    Request add(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL);
    const ifinfomsg link{};
    add.Append(&link, sizeof link);
    add.Text(IFLA_IFNAME, kName);
    const size_t info = add.Open(IFLA_LINKINFO);
    add.Text(IFLA_INFO_KIND, "veth");
    const size_t data = add.Open(IFLA_INFO_DATA);
    const size_t other = add.Open(VETH_INFO_PEER);
    add.Append(&link, sizeof link);
    add.Text(IFLA_IFNAME, kPeerName);
    const auto peerFd = static_cast<uint32_t>(peer.Get());
    add.Attribute(IFLA_NET_NS_FD, &peerFd, sizeof peerFd);
    add.Close(other);
    add.Close(data);
    add.Close(info);
    if (const int error = add.Send(route); error != 0) {
        whyNot = Failed("creating the veth pair", error);
        return nullptr;
    }
    std::unique_ptr<VethPair> pair(new VethPair(std::move(route)));
    whyNot = Configure(kName, address, address6);
    if (whyNot.empty()) {
        whyNot = RunIn(peer, [&] {
                     return Configure(kPeerName, peerAddress, peerAddress6);
                 }).value_or("entering the peer's network namespace failed");
    }
    return whyNot.empty() ? std::move(pair) : nullptr;
}

VethPair::~VethPair() {
    Request remove(RTM_DELLINK, 0);
    const ifinfomsg link{};
    remove.Append(&link, sizeof link);
    remove.Text(IFLA_IFNAME, kName);
    remove.Send(route_); // its peer goes with it
}

} // namespace kt::bench

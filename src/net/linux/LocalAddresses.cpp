#include "net/LocalAddresses.h"

#include "core/ErrorReport.h"
#include "net/AddressText.h"
#include "net/linux/InterfaceList.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <new>
#include <sys/socket.h>
#include <vector>

namespace kt {
namespace {

// The run-time error numbers of the error report.
constexpr int32_t OutOfMemory = 7;
constexpr int32_t InternalError = 51;

// The IPv4 addresses of the interfaces that are up, in the kernel's interface order; then, when
// asked, their IPv6 addresses in the same order.
std::string AddressesOf(const InterfaceList& interfaces, bool withIPv6) {
    ifaddrs* found = nullptr;
    if (interfaces.GetIfAddrs(&found) != 0 || found == nullptr) {
        return {};
    }
    const auto release = [&interfaces](ifaddrs* list) { interfaces.FreeIfAddrs(list); };
    const std::unique_ptr<ifaddrs, decltype(release)> list(found, release);

    std::vector<uint32_t> addresses;
    std::vector<Address6> addresses6;
    for (const ifaddrs* entry = found; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || (entry->ifa_flags & IFF_UP) == 0) {
            continue;
        }
        if (entry->ifa_addr->sa_family == AF_INET) {
            sockaddr_in address{};
            std::memcpy(&address, entry->ifa_addr, sizeof address);
            addresses.push_back(address.sin_addr.s_addr);
        } else if (entry->ifa_addr->sa_family == AF_INET6 && withIPv6) {
            // The zone of a link-local address is left out: rules hold none.
            sockaddr_in6 address{};
            std::memcpy(&address, entry->ifa_addr, sizeof address);
            Address6& bytes = addresses6.emplace_back();
            std::memcpy(bytes.data(), &address.sin6_addr, bytes.size());
        }
    }
    return LocalAddressText(addresses) + LocalAddressText6(addresses6);
}

std::string Listed(HostServices& host, const InterfaceList& interfaces, bool withIPv6) {
    SocketsInitialize(host);
    try {
        return AddressesOf(interfaces, withIPv6);
    } catch (const std::bad_alloc&) {
        ReportError(host, "GetIP", OutOfMemory, "Out of memory");
    } catch (const std::exception& error) {
        ReportError(host, "GetIP", InternalError, error.what());
    }
    return {};
}

} // namespace

// POSIX sockets need no start-up.
bool SocketsInitialize(HostServices&) {
    return true;
}

InterfaceList SystemInterfaceList() {
    return InterfaceList{
        [](ifaddrs** list) { return ::getifaddrs(list); },
        [](ifaddrs* list) { ::freeifaddrs(list); },
    };
}

std::string LocalAddressText(std::span<const uint32_t> addresses) {
    std::string text;
    for (auto address = addresses.begin(); address != addresses.end(); ++address) {
        // An address held by two interfaces is the machine's once.
        if (std::find(addresses.begin(), address, *address) != address) {
            continue;
        }
        char dotted[16];
        if (FormatDottedAddress(*address, dotted, sizeof dotted)) {
            text += dotted;
            text += ' ';
        }
    }
    return text;
}

std::string LocalAddressText6(std::span<const Address6> addresses) {
    std::string text;
    for (auto address = addresses.begin(); address != addresses.end(); ++address) {
        // A link-local address is often the same on several interfaces.
        if (std::find(addresses.begin(), address, *address) == address) {
            text += AddressToText(*address);
            text += ' ';
        }
    }
    return text;
}

std::string GetIP(HostServices& host) {
    return GetIP(host, SystemInterfaceList());
}

std::string GetIP(HostServices& host, const InterfaceList& interfaces) {
    return Listed(host, interfaces, false);
}

std::string GetIPWithIPv6(HostServices& host) {
    return Listed(host, SystemInterfaceList(), true);
}

} // namespace kt

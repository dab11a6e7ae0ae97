#include "net/LocalAddresses.h"

#include "core/ErrorReport.h"
#include "net/AddressText.h"
#include "net/linux/NameService.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <netinet/in.h>
#include <new>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace kt {
namespace {

constexpr size_t HostNameLength = 256;
// The run-time error numbers of the error report.
constexpr int32_t OutOfMemory = 7;
constexpr int32_t InternalError = 51;

std::string_view TrimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string AddressesOf(const std::string& name, const NameService& names) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (names.GetAddrInfo(name.c_str(), &hints, &found) != 0 || found == nullptr) {
        return {};
    }
    const auto release = [&names](addrinfo* list) { names.FreeAddrInfo(list); };
    const std::unique_ptr<addrinfo, decltype(release)> list(found, release);

    std::vector<uint32_t> addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || entry->ai_addr == nullptr ||
            entry->ai_addrlen < sizeof(sockaddr_in)) {
            continue;
        }
        sockaddr_in address{};
        std::memcpy(&address, entry->ai_addr, sizeof address);
        addresses.push_back(address.sin_addr.s_addr);
    }
    return LocalAddressText(addresses);
}

} // namespace

// POSIX sockets need no start-up.
bool SocketsInitialize(HostServices&) {
    return true;
}

NameService SystemNameService() {
    return NameService{
        [](char* name, size_t size) { return ::gethostname(name, size); },
        [](const char* node, const addrinfo* hints, addrinfo** result) {
            return ::getaddrinfo(node, nullptr, hints, result);
        },
        [](addrinfo* list) { ::freeaddrinfo(list); },
    };
}

std::string LocalAddressText(std::span<const uint32_t> addresses) {
    std::string text;
    for (auto address = addresses.begin(); address != addresses.end(); ++address) {
        // getaddrinfo lists an address once for every socket type.
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

std::string GetIP(HostServices& host) {
    return GetIP(host, SystemNameService());
}

std::string GetIP(HostServices& host, const NameService& names) {
    char buffer[HostNameLength] = {};
    SocketsInitialize(host);
    try {
        if (names.GetHostName(buffer, sizeof buffer) != 0) {
            return {};
        }
        const std::string name(
            TrimBlanks(std::string_view(buffer, strnlen(buffer, sizeof buffer))));
        return AddressesOf(name, names);
    } catch (const std::bad_alloc&) {
        ReportError(host, "GetIP", OutOfMemory, "Out of memory");
    } catch (const std::exception& error) {
        ReportError(host, "GetIP", InternalError, error.what());
    }
    return {};
}

} // namespace kt

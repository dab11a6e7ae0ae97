#pragma once

#include "core/HostServices.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <netdb.h>
#include <span>
#include <string>

namespace kt {

// The resolver calls behind GetIP, one seam so that tests can replace them.
struct NameService {
    std::function<int(char* name, size_t size)> GetHostName;
    std::function<int(const char* node, const addrinfo* hints, addrinfo** result)> GetAddrInfo;
    std::function<void(addrinfo* list)> FreeAddrInfo;
};

NameService SystemNameService();

// Every distinct address (network byte order) once, in the order given, in dotted decimal and
// followed by one space.
std::string LocalAddressText(std::span<const uint32_t> addresses);

// GetIP through the given calls.
std::string GetIP(HostServices& host, const NameService& names);

} // namespace kt

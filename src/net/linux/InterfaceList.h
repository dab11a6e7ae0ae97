#pragma once

#include "core/HostServices.h"

#include <cstdint>
#include <functional>
#include <ifaddrs.h>
#include <span>
#include <string>

namespace kt {

// The calls behind GetIP, one seam so that tests can replace them.
struct InterfaceList {
    std::function<int(ifaddrs** list)> GetIfAddrs;
    std::function<void(ifaddrs* list)> FreeIfAddrs;
};

InterfaceList SystemInterfaceList();

// Every distinct address (network byte order) once, in the order given, in dotted decimal and
// followed by one space.
std::string LocalAddressText(std::span<const uint32_t> addresses);

// GetIP through the given calls.
std::string GetIP(HostServices& host, const InterfaceList& interfaces);

} // namespace kt

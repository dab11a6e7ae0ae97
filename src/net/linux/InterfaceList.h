#pragma once

#include "core/HostServices.h"
#include "engine/TcpTable.h"

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

// Every distinct IPv6 address once, in the order given, in the form rules hold it (compressed;
// an IPv4-mapped one as its IPv4 address) and followed by one space.
std::string LocalAddressText6(std::span<const Address6> addresses);

// GetIP through the given calls.
std::string GetIP(HostServices& host, const InterfaceList& interfaces);

// What the Local IP Addresses view lists on Linux: GetIP's IPv4 addresses, then the IPv6 ones of
// the interfaces that are up, in interface order, since the Linux table holds IPv6 connections
// too.
std::string GetIPWithIPv6(HostServices& host);

} // namespace kt

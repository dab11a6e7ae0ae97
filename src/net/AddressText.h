#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/TcpTable.h"

namespace kt {

// Writes the dotted text of an address (network byte order) into out, NUL-terminated; false when
// it has no text for it. The platform may supply its own.
using AddressFormatter = bool (*)(uint32_t address, char* out, size_t size);

bool FormatDottedAddress(uint32_t address, char* out, size_t size);

// Dotted text of a table address; "Unable to get IP" when no text can be made.
std::string AddressToText(uint32_t address, AddressFormatter format = FormatDottedAddress);

// Text of an IPv6 address as rules and the view hold it: an IPv4-mapped address as its IPv4
// address (through format), so that both forms of one address read alike; any other in the
// compressed form of RFC 5952 (lower case, no leading zeros, the longest run of two or more zero
// groups, the first of equal ones, as "::").
std::string AddressToText(const Address6& address, AddressFormatter format = FormatDottedAddress);

// Appends an address text as the host part of an endpoint: an IPv6 text in brackets, so that the
// port after it reads apart ("[2001:db8::1]"), any other as it is.
void AppendHost(std::string& out, std::string_view address);

} // namespace kt

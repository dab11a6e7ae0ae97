#pragma once

#include "engine/TcpTable.h"
#include "list/Value.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kt {

// Tolerant conversions: anything that does not convert gives false or 0, never an error.
bool ToBooleanSafe(const Value& v);
int16_t ToIntegerSafe(const Value& v);
int32_t ToLongSafe(const Value& v);

// Validation of what the user types as a rule entry: an IPv4 or an IPv6 address.
bool IsValidIPAddress(std::string_view text);
bool IsValidPort(const Value& v);

// An IPv4 address as rules hold it: four pieces of 1 to 3 decimal digits, each 0 to 255, and
// nothing else. Answers the address in network byte order, or nothing.
std::optional<uint32_t> ParseIPAddress(std::string_view text);
// An IPv6 address as rules hold it: eight groups of 1 to 4 hexadecimal digits of either case
// between colons, where one run of groups may be left out as "::" and the last two may be written
// as an IPv4 address (::ffff:127.0.0.1). No zone ("%eth0"), brackets or prefix length.
std::optional<Address6> ParseIPv6Address(std::string_view text);
// The plain form the connection table's addresses are compared with, or nothing when the text is
// no address: an IPv4 address dotted ("127.0.0.5" for "127.0.0.05"), an IPv6 address compressed
// ("2001:db8::1" for "2001:DB8:0:0:0:0:0:0001"), an IPv4-mapped one as its IPv4 address
// ("127.0.0.1" for "::ffff:127.0.0.1"), since the table shows such a connection as IPv4.
std::optional<std::string> NormalizeIPAddress(std::string_view text);

} // namespace kt

#pragma once

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

// Validation of what the user types as a rule entry.
bool IsValidIPAddress(std::string_view text);
bool IsValidPort(const Value& v);

// An IPv4 address as rules hold it: four pieces of 1 to 3 decimal digits, each 0 to 255, and
// nothing else. Answers the address in network byte order, or nothing.
std::optional<uint32_t> ParseIPAddress(std::string_view text);
// The plain dotted form the connection table's addresses are compared with ("127.0.0.5" for
// "127.0.0.05"), or nothing when the text is no address.
std::optional<std::string> NormalizeIPAddress(std::string_view text);

} // namespace kt

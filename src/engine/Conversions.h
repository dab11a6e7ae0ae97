#pragma once

#include "list/Value.h"

#include <cstdint>
#include <string_view>

namespace kt {

// Tolerant conversions: anything that does not convert gives false or 0, never an error.
bool ToBooleanSafe(const Value& v);
int16_t ToIntegerSafe(const Value& v);
int32_t ToLongSafe(const Value& v);

// Validation of what the user types as a rule entry.
bool IsValidIPAddress(std::string_view text);
bool IsValidPort(const Value& v);

} // namespace kt

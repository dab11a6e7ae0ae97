#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kt {

// Writes the dotted text of an address (network byte order) into out, NUL-terminated; false when
// it has no text for it. The platform may supply its own.
using AddressFormatter = bool (*)(uint32_t address, char* out, size_t size);

bool FormatDottedAddress(uint32_t address, char* out, size_t size);

// Dotted text of a table address; "Unable to get IP" when no text can be made.
std::string AddressToText(uint32_t address, AddressFormatter format = FormatDottedAddress);

} // namespace kt

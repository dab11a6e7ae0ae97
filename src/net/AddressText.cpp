#include "net/AddressText.h"

#include <charconv>
#include <cstring>

namespace kt {

bool FormatDottedAddress(uint32_t address, char* out, size_t size) {
    unsigned char octets[4];
    std::memcpy(octets, &address, sizeof octets);
    char* p = out;
    char* const last = out + size;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (p == last) {
                return false;
            }
            *p++ = '.';
        }
        auto result = std::to_chars(p, last, static_cast<unsigned>(octets[i]));
        if (result.ec != std::errc()) {
            return false;
        }
        p = result.ptr;
    }
    if (p == last) {
        return false;
    }
    *p = '\0';
    return true;
}

std::string AddressToText(uint32_t address, AddressFormatter format) {
    constexpr size_t BufferLength = 32;
    char buffer[BufferLength + 1] = {};
    if (format == nullptr || !format(address, buffer, sizeof buffer)) {
        return "Unable to get IP";
    }
    return std::string(buffer, strnlen(buffer, BufferLength));
}

} // namespace kt

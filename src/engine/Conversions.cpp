#include "engine/Conversions.h"

#include "net/AddressText.h"

#include <cstring>

namespace kt {

bool ToBooleanSafe(const Value& v) {
    return ToBoolean(v).value_or(false);
}

int16_t ToIntegerSafe(const Value& v) {
    return ToInt16(v).value_or(0);
}

int32_t ToLongSafe(const Value& v) {
    return ToInt32(v).value_or(0);
}

bool IsValidIPAddress(std::string_view text) {
    return ParseIPAddress(text).has_value();
}

std::optional<uint32_t> ParseIPAddress(std::string_view text) {
    unsigned char octets[4] = {};
    size_t at = 0;
    for (int piece = 0; piece < 4; ++piece) {
        if (piece > 0) {
            if (at >= text.size() || text[at] != '.') {
                return std::nullopt;
            }
            ++at;
        }
        uint32_t value = 0;
        size_t digits = 0;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 4;
             ++at, ++digits) {
            value = value * 10 + static_cast<uint32_t>(text[at] - '0');
        }
        if (digits == 0 || digits > 3 || value > 255) {
            return std::nullopt;
        }
        octets[piece] = static_cast<unsigned char>(value);
    }
    if (at != text.size()) {
        return std::nullopt;
    }
    uint32_t address = 0; // network byte order: the first piece first in memory
    std::memcpy(&address, octets, sizeof address);
    return address;
}

std::optional<std::string> NormalizeIPAddress(std::string_view text) {
    const std::optional<uint32_t> address = ParseIPAddress(text);
    if (!address) {
        return std::nullopt;
    }
    return AddressToText(*address);
}

bool IsValidPort(const Value& v) {
    const int32_t port = ToLongSafe(v);
    return port >= 1 && port <= 65535;
}

} // namespace kt

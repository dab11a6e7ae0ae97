#include "engine/Conversions.h"

#include "net/AddressText.h"

#include <charconv>
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
    return ParseIPAddress(text).has_value() || ParseIPv6Address(text).has_value();
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

std::optional<Address6> ParseIPv6Address(std::string_view text) {
    uint16_t groups[8] = {};
    size_t count = 0;
    std::optional<size_t> gap; // where "::" stands among the groups
    size_t at = 0;
    if (text.starts_with("::")) {
        gap = 0;
        at = 2;
    }
    while (at < text.size()) {
        size_t end = at;
        while (end < text.size() && text[end] != ':') {
            ++end;
        }
        const std::string_view piece = text.substr(at, end - at);
        if (piece.find('.') != std::string_view::npos) {
            // An IPv4 address, only as the last two groups.
            const std::optional<uint32_t> ipv4 = ParseIPAddress(piece);
            if (!ipv4 || end != text.size() || count > 6) {
                return std::nullopt;
            }
            unsigned char octets[4];
            std::memcpy(octets, &*ipv4, sizeof octets);
            groups[count++] = static_cast<uint16_t>(octets[0] << 8 | octets[1]);
            groups[count++] = static_cast<uint16_t>(octets[2] << 8 | octets[3]);
            break;
        }
        if (piece.empty() || piece.size() > 4 || count == 8) {
            return std::nullopt;
        }
        uint16_t value = 0;
        const auto result = std::from_chars(piece.data(), piece.data() + piece.size(), value, 16);
        if (result.ec != std::errc() || result.ptr != piece.data() + piece.size()) {
            return std::nullopt;
        }
        groups[count++] = value;
        if (end == text.size()) {
            break;
        }
        at = end + 1; // past the colon
        if (at == text.size()) {
            return std::nullopt; // a lone colon at the end
        }
        if (text[at] == ':') {
            if (gap) {
                return std::nullopt; // "::" twice
            }
            gap = count;
            ++at;
        }
    }
    // Without "::" all eight groups are written; "::" stands for at least one.
    if (gap ? count > 7 : count != 8) {
        return std::nullopt;
    }
    Address6 address{};
    for (size_t i = 0; i < count; ++i) {
        const size_t slot = gap && i >= *gap ? i + 8 - count : i;
        address[2 * slot] = static_cast<uint8_t>(groups[i] >> 8);
        address[2 * slot + 1] = static_cast<uint8_t>(groups[i] & 0xFFu);
    }
    return address;
}

std::optional<std::string> NormalizeIPAddress(std::string_view text) {
    if (const std::optional<uint32_t> address = ParseIPAddress(text)) {
        return AddressToText(*address);
    }
    if (const std::optional<Address6> address = ParseIPv6Address(text)) {
        return AddressToText(*address);
    }
    return std::nullopt;
}

bool IsValidPort(const Value& v) {
    const int32_t port = ToLongSafe(v);
    return port >= 1 && port <= 65535;
}

} // namespace kt

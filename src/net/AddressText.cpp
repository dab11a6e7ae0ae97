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

std::string AddressToText(const Address6& address, AddressFormatter format) {
    if (const std::optional<uint32_t> ipv4 = MappedIPv4(address)) {
        return AddressToText(*ipv4, format);
    }
    uint16_t groups[8];
    for (size_t i = 0; i < 8; ++i) {
        groups[i] = static_cast<uint16_t>(address[2 * i] << 8 | address[2 * i + 1]);
    }
    size_t runAt = 8, runLength = 1; // a single zero group stays written
    for (size_t i = 0; i < 8;) {
        size_t end = i;
        while (end < 8 && groups[end] == 0) {
            ++end;
        }
        if (end - i > runLength) {
            runAt = i;
            runLength = end - i;
        }
        i = end == i ? i + 1 : end;
    }
    std::string text;
    for (size_t i = 0; i < 8; ++i) {
        if (i == runAt) {
            text += "::";
            i += runLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') {
            text += ':';
        }
        char hex[4];
        const auto result = std::to_chars(hex, hex + sizeof hex, groups[i], 16);
        text.append(hex, result.ptr);
    }
    return text;
}

void AppendHost(std::string& out, std::string_view address) {
    if (address.find(':') == std::string_view::npos) {
        out += address;
        return;
    }
    out += '[';
    out += address;
    out += ']';
}

} // namespace kt

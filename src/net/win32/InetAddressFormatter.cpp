#include "net/win32/Winsock.h"

#include <cstring>

namespace kt::win32 {

bool FormatAddressWithInetNtoa(uint32_t address, char* out, size_t size) {
    in_addr value{};
    value.s_addr = address;
    const char* text = inet_ntoa(value);
    if (text == nullptr || out == nullptr || size == 0) {
        return false;
    }
    const size_t length = std::strlen(text);
    if (length >= size) {
        return false;
    }
    std::memcpy(out, text, length + 1);
    return true;
}

} // namespace kt::win32

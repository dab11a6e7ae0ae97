#include "net/LocalAddresses.h"

namespace kt {

uint8_t HiByte(uint32_t value) {
    return static_cast<uint8_t>((value >> 8) & 0xFFu);
}
uint8_t LoByte(uint32_t value) {
    return static_cast<uint8_t>(value & 0xFFu);
}

} // namespace kt

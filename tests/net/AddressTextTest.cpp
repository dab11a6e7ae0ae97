#include "net/AddressText.h"

#include <cstring>
#include <gtest/gtest.h>

namespace kt {
namespace {

uint32_t FromOctets(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    const unsigned char octets[4] = {a, b, c, d};
    uint32_t address = 0;
    std::memcpy(&address, octets, sizeof address);
    return address;
}

TEST(AddressToText, GivesTheDottedFormInNetworkOrder) {
    EXPECT_EQ(AddressToText(0), "0.0.0.0");
    EXPECT_EQ(AddressToText(FromOctets(192, 168, 0, 10)), "192.168.0.10");
    EXPECT_EQ(AddressToText(FromOctets(127, 0, 0, 1)), "127.0.0.1");
    EXPECT_EQ(AddressToText(0xFFFFFFFFu), "255.255.255.255");
}

TEST(AddressToText, SaysSoWhenNoTextCanBeMade) {
    EXPECT_EQ(AddressToText(1, [](uint32_t, char*, size_t) { return false; }), "Unable to get IP");
    EXPECT_EQ(AddressToText(1, nullptr), "Unable to get IP");
    char small[4];
    EXPECT_FALSE(FormatDottedAddress(0xFFFFFFFFu, small, sizeof small));
}

TEST(AddressToText, KeepsAtMostThirtyTwoCharacters) {
    auto tooLong = [](uint32_t, char* out, size_t size) {
        std::memset(out, 'x', size - 1);
        out[size - 1] = '\0';
        return true;
    };
    EXPECT_EQ(AddressToText(1, tooLong), std::string(32, 'x'));
}

} // namespace
} // namespace kt

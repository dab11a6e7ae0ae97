#include "engine/Conversions.h"

#include <gtest/gtest.h>
#include <limits>
#include <string>

namespace kt {
namespace {

TEST(ToleranceConversions, GiveZeroOrFalseForAnythingThatDoesNotConvert) {
    EXPECT_EQ(ToIntegerSafe(Value(" 12 ")), 12);
    EXPECT_EQ(ToIntegerSafe(Value("2.5")), 2);
    EXPECT_EQ(ToIntegerSafe(Value("3.5")), 4);
    EXPECT_EQ(ToIntegerSafe(Value("-32768")), -32768);
    EXPECT_EQ(ToIntegerSafe(Value("32768")), 0);
    EXPECT_EQ(ToIntegerSafe(Value("abc")), 0);
    EXPECT_EQ(ToIntegerSafe(Value("")), 0);
    EXPECT_EQ(ToIntegerSafe(Value::Null()), 0);
    EXPECT_EQ(ToLongSafe(Value("2147483647")), 2147483647);
    EXPECT_EQ(ToLongSafe(Value("2147483648")), 0);
    EXPECT_EQ(ToLongSafe(Value(std::numeric_limits<double>::quiet_NaN())), 0);
    EXPECT_EQ(ToLongSafe(Value(std::string(10000, '9'))), 0);
}

TEST(ToleranceConversions, BooleansFromNumbersAndWords) {
    EXPECT_TRUE(ToBooleanSafe(Value(int16_t{1})));
    EXPECT_TRUE(ToBooleanSafe(Value(int16_t{-1})));
    EXPECT_FALSE(ToBooleanSafe(Value(int32_t{0})));
    EXPECT_TRUE(ToBooleanSafe(Value("1")));
    EXPECT_TRUE(ToBooleanSafe(Value(" True ")));
    EXPECT_FALSE(ToBooleanSafe(Value("false")));
    EXPECT_FALSE(ToBooleanSafe(Value("maybe")));
    EXPECT_FALSE(ToBooleanSafe(Value::Empty()));
    EXPECT_FALSE(ToBooleanSafe(Value::Null()));
    EXPECT_FALSE(ToBooleanSafe(Value(std::numeric_limits<double>::quiet_NaN())));
}

TEST(IsValidIPAddress, NeedsFourPiecesFromZeroTo255) {
    EXPECT_TRUE(IsValidIPAddress("192.168.0.1"));
    EXPECT_TRUE(IsValidIPAddress("192.168.000.001"));
    EXPECT_TRUE(IsValidIPAddress("0.0.0.0"));
    EXPECT_TRUE(IsValidIPAddress("255.255.255.255"));
    for (const char* text :
         {"", "192.168.0", "1.2.3.4.5", "256.1.1.1", "-1.2.3.4", "1..2.3", "a.b.c.d", "1.2.3.",
          ".1.2.3", "1.2.3.99999", "....", "1.2.3.4.", "1e2.0.0.1", "+1.2.3.4", "1.2.3.4.0",
          "1.2.3.0004", " 1.2.3.4",
          // IPv6
          "fe80::1%eth0", "[::1]", "::1/128", " ::1", ":", ":::", "1:::2", "1::2::3", ":1::2",
          "1::2:", "1:2:3:4:5:6:7", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7:8::", "00001::", "g::1",
          "-1::", "0x1::", "::ffff:1.2.3", "::ffff:256.0.0.1", "1:2:3:4:5:6:7:1.2.3.4"}) {
        EXPECT_FALSE(IsValidIPAddress(text)) << text;
        EXPECT_EQ(NormalizeIPAddress(text), std::nullopt) << text;
    }
    EXPECT_EQ(NormalizeIPAddress("127.0.0.05"), "127.0.0.5");
    EXPECT_EQ(NormalizeIPAddress("192.168.000.001"), "192.168.0.1");
    // IPv6 in its compressed form; an IPv4-mapped address as its IPv4 address.
    const std::pair<const char*, const char*> plain[] = {
        {"::", "::"},
        {"2001:DB8:0:0:0:0:0:0001", "2001:db8::1"},
        {"0001:0002:0003:0004:0005:0006:0007:0008", "1:2:3:4:5:6:7:8"},
        {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},                // the longest run
        {"1:0:0:2:0:0:3:4", "1::2:0:0:3:4"},              // the first of two as long
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"}, // one zero group stays
        {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
        {"::1.2.3.4", "::102:304"},
        {"::ffff:127.0.0.2", "127.0.0.2"},
        {"::FFFF:7f00:2", "127.0.0.2"},
        {"0:0:0:0:0:ffff:127.0.0.002", "127.0.0.2"},
    };
    for (const auto& [text, normal] : plain) {
        EXPECT_TRUE(IsValidIPAddress(text)) << text;
        EXPECT_EQ(NormalizeIPAddress(text), normal) << text;
        EXPECT_EQ(NormalizeIPAddress(normal), normal) << text;
    }
    EXPECT_FALSE(IsValidIPAddress(std::string("1.2.3.4\0", 8)));
    EXPECT_FALSE(IsValidIPAddress(std::string(100000, '.')));
}

TEST(IsValidPort, AcceptsOneTo65535AfterRounding) {
    EXPECT_TRUE(IsValidPort(Value("1")));
    EXPECT_TRUE(IsValidPort(Value("65535")));
    EXPECT_TRUE(IsValidPort(Value("80.4")));
    EXPECT_TRUE(IsValidPort(Value(" 8080 ")));
    EXPECT_FALSE(IsValidPort(Value("0")));
    EXPECT_FALSE(IsValidPort(Value("0.5"))); // rounds to 0
    EXPECT_FALSE(IsValidPort(Value("65536")));
    EXPECT_FALSE(IsValidPort(Value("-80")));
    EXPECT_FALSE(IsValidPort(Value("abc")));
    EXPECT_FALSE(IsValidPort(Value("")));
    EXPECT_FALSE(IsValidPort(Value(std::numeric_limits<double>::infinity())));
}

} // namespace
} // namespace kt

#include "list/Value.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace kt {
namespace {

TEST(ParseNumber, AcceptsDecimalFormsWithBlanksAndSign) {
    EXPECT_EQ(ParseNumber("8080"), 8080.0);
    EXPECT_EQ(ParseNumber("  42\t"), 42.0);
    EXPECT_EQ(ParseNumber("-80"), -80.0);
    EXPECT_EQ(ParseNumber("+7"), 7.0);
    EXPECT_EQ(ParseNumber("80.4"), 80.4);
    EXPECT_EQ(ParseNumber(".5"), 0.5);
    EXPECT_EQ(ParseNumber("5."), 5.0);
    EXPECT_EQ(ParseNumber("1e3"), 1000.0);
    EXPECT_EQ(ParseNumber("000001"), 1.0);
}

TEST(ParseNumber, RejectsWhatIsNotAPlainNumber) {
    for (const char* text : {"", " ", "abc", "1a", "a1", "1 2", "--1", "+-1", ".", "e5", "1e",
                             "inf", "nan", "0x10", "1,5", "1..2"}) {
        EXPECT_FALSE(ParseNumber(text).has_value()) << text;
    }
    EXPECT_FALSE(ParseNumber(std::string("12\0"
                                         "3",
                                         4))
                     .has_value());
    EXPECT_FALSE(ParseNumber("1e999").has_value());
}

TEST(RoundHalfEven, RoundsHalvesToTheEvenNeighbour) {
    EXPECT_EQ(RoundHalfEven(0.5), 0.0);
    EXPECT_EQ(RoundHalfEven(1.5), 2.0);
    EXPECT_EQ(RoundHalfEven(2.5), 2.0);
    EXPECT_EQ(RoundHalfEven(-2.5), -2.0);
    EXPECT_EQ(RoundHalfEven(-1.5), -2.0);
    EXPECT_EQ(RoundHalfEven(80.4), 80.0);
    EXPECT_EQ(RoundHalfEven(80.6), 81.0);
}

TEST(ValueConversion, IntegersRoundAndRespectTheirRanges) {
    EXPECT_EQ(ToInt32(Value("2147483647")), 2147483647);
    EXPECT_FALSE(ToInt32(Value("2147483647.5")).has_value()); // rounds to 2^31
    EXPECT_EQ(ToInt32(Value("-2147483648.5")), INT32_MIN);    // rounds to the even -2^31
    EXPECT_EQ(ToInt16(Value(32767.4)), 32767);
    EXPECT_FALSE(ToInt16(Value(int32_t{40000})).has_value());
    EXPECT_EQ(ToUInt8(Value("255")), 255);
    EXPECT_FALSE(ToUInt8(Value(int32_t{256})).has_value());
    EXPECT_FALSE(ToUInt8(Value(int32_t{-1})).has_value());
    EXPECT_EQ(ToInt32(Value::Empty()), 0);
    EXPECT_FALSE(ToInt32(Value::Null()).has_value());
    EXPECT_FALSE(ToInt32(Value(std::numeric_limits<double>::quiet_NaN())).has_value());
    EXPECT_FALSE(ToInt32(Value(std::numeric_limits<double>::infinity())).has_value());
}

TEST(ValueConversion, TextFormOfEveryKind) {
    EXPECT_EQ(ToText(Value::Empty()), "");
    EXPECT_FALSE(ToText(Value::Null()).has_value());
    EXPECT_EQ(ToText(Value(uint8_t{200})), "200");
    EXPECT_EQ(ToText(Value(int16_t{-5})), "-5");
    EXPECT_EQ(ToText(Value(int32_t{8080})), "8080");
    EXPECT_EQ(ToText(Value(1.5)), "1.5");
    EXPECT_EQ(ToText(Value(80.0)), "80");
    EXPECT_EQ(ToText(Value(1.5e20)), "1.5E+20");
}

} // namespace
} // namespace kt

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace kt {

// The tagged value that crosses the List interface: Empty, Null, a text or a number.
class Value {
public:
    struct EmptyTag {
        bool operator==(const EmptyTag&) const = default;
    };
    struct NullTag {
        bool operator==(const NullTag&) const = default;
    };
    using Storage = std::variant<EmptyTag, NullTag, std::string, uint8_t, int16_t, int32_t, double>;

    Value() = default;
    Value(std::string text) : data_(std::move(text)) {}
    Value(std::string_view text) : data_(std::string(text)) {}
    Value(const char* text) : data_(std::string(text)) {}
    Value(uint8_t n) : data_(n) {}
    Value(int16_t n) : data_(n) {}
    Value(int32_t n) : data_(n) {}
    Value(double n) : data_(n) {}

    static Value Empty() { return Value(); }
    static Value Null() {
        Value v;
        v.data_ = NullTag{};
        return v;
    }

    bool IsEmpty() const { return std::holds_alternative<EmptyTag>(data_); }
    bool IsNull() const { return std::holds_alternative<NullTag>(data_); }
    bool IsText() const { return std::holds_alternative<std::string>(data_); }
    bool IsNumber() const { return !IsEmpty() && !IsNull() && !IsText(); }

    template <class T> bool Holds() const { return std::holds_alternative<T>(data_); }
    template <class T> const T& As() const { return std::get<T>(data_); }
    const Storage& Raw() const { return data_; }

    bool operator==(const Value&) const = default;

private:
    Storage data_;
};

// Reads a decimal number written as text: optional blanks around it, an optional sign, digits
// with an optional fraction and exponent. Independent of the process locale.
std::optional<double> ParseNumber(std::string_view text);

// Rounds to the nearest integer, halves to the even neighbour.
double RoundHalfEven(double d);

// Conversions of a value to the element types of a list; nullopt when it does not convert.
std::optional<std::string> ToText(const Value& v);
std::optional<double> ToDouble(const Value& v);
// A number (non-zero is true) or the words True and False in any letter case.
std::optional<bool> ToBoolean(const Value& v);
std::optional<int64_t> ToRoundedInteger(const Value& v, int64_t lowest, int64_t highest);

inline std::optional<int32_t> ToInt32(const Value& v) {
    auto n = ToRoundedInteger(v, INT32_MIN, INT32_MAX);
    return n ? std::optional<int32_t>(static_cast<int32_t>(*n)) : std::nullopt;
}
inline std::optional<int16_t> ToInt16(const Value& v) {
    auto n = ToRoundedInteger(v, INT16_MIN, INT16_MAX);
    return n ? std::optional<int16_t>(static_cast<int16_t>(*n)) : std::nullopt;
}
inline std::optional<uint8_t> ToUInt8(const Value& v) {
    auto n = ToRoundedInteger(v, 0, UINT8_MAX);
    return n ? std::optional<uint8_t>(static_cast<uint8_t>(*n)) : std::nullopt;
}

} // namespace kt

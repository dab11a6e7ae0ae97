#include "list/Value.h"

#include <charconv>
#include <cmath>

namespace kt {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string DoubleToText(double d) {
    if (std::isnan(d)) {
        return "NaN";
    }
    if (std::isinf(d)) {
        return d > 0 ? "Infinity" : "-Infinity";
    }
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, d);
    std::string text(buffer, result.ptr);
    for (char& c : text) {
        if (c == 'e') {
            c = 'E';
        }
    }
    return text;
}

template <class T> std::string IntegerToText(T n) {
    char buffer[16];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, n);
    return std::string(buffer, result.ptr);
}

} // namespace

std::optional<double> ParseNumber(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(text[end - 1])) {
        --end;
    }
    std::string_view body = text.substr(begin, end - begin);
    bool negative = false;
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    // Only plain decimal forms; from_chars alone would also take "inf", "nan" and hex floats.
    size_t i = 0;
    size_t digits = 0;
    while (i < body.size() && IsDigit(body[i])) {
        ++i;
        ++digits;
    }
    if (i < body.size() && body[i] == '.') {
        ++i;
        while (i < body.size() && IsDigit(body[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) {
        return std::nullopt;
    }
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        size_t j = i + 1;
        if (j < body.size() && (body[j] == '+' || body[j] == '-')) {
            ++j;
        }
        size_t expDigits = 0;
        while (j < body.size() && IsDigit(body[j])) {
            ++j;
            ++expDigits;
        }
        if (expDigits == 0) {
            return std::nullopt;
        }
        i = j;
    }
    if (i != body.size()) {
        return std::nullopt;
    }
    double d = 0;
    auto result = std::from_chars(body.data(), body.data() + body.size(), d);
    if (result.ec != std::errc() || result.ptr != body.data() + body.size()) {
        return std::nullopt;
    }
    return negative ? -d : d;
}

double RoundHalfEven(double d) {
    double lower = std::floor(d);
    double fraction = d - lower;
    if (fraction > 0.5) {
        return lower + 1;
    }
    if (fraction < 0.5) {
        return lower;
    }
    return std::fmod(lower, 2.0) == 0 ? lower : lower + 1;
}

std::optional<std::string> ToText(const Value& v) {
    struct Visitor {
        std::optional<std::string> operator()(const Value::EmptyTag&) const { return ""; }
        std::optional<std::string> operator()(const Value::NullTag&) const { return std::nullopt; }
        std::optional<std::string> operator()(const std::string& s) const { return s; }
        std::optional<std::string> operator()(uint8_t n) const { return IntegerToText(n); }
        std::optional<std::string> operator()(int16_t n) const { return IntegerToText(n); }
        std::optional<std::string> operator()(int32_t n) const { return IntegerToText(n); }
        std::optional<std::string> operator()(double n) const { return DoubleToText(n); }
    };
    return std::visit(Visitor{}, v.Raw());
}

std::optional<double> ToDouble(const Value& v) {
    struct Visitor {
        std::optional<double> operator()(const Value::EmptyTag&) const { return 0.0; }
        std::optional<double> operator()(const Value::NullTag&) const { return std::nullopt; }
        std::optional<double> operator()(const std::string& s) const { return ParseNumber(s); }
        std::optional<double> operator()(uint8_t n) const { return n; }
        std::optional<double> operator()(int16_t n) const { return n; }
        std::optional<double> operator()(int32_t n) const { return n; }
        std::optional<double> operator()(double n) const { return n; }
    };
    return std::visit(Visitor{}, v.Raw());
}

namespace {

bool EqualsWordNoCase(std::string_view text, std::string_view word) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    if (text.size() != word.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != word[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<bool> ToBoolean(const Value& v) {
    if (v.IsText()) {
        if (EqualsWordNoCase(v.As<std::string>(), "true")) {
            return true;
        }
        if (EqualsWordNoCase(v.As<std::string>(), "false")) {
            return false;
        }
    }
    auto d = ToDouble(v);
    if (!d || std::isnan(*d)) {
        return std::nullopt;
    }
    return *d != 0;
}

std::optional<int64_t> ToRoundedInteger(const Value& v, int64_t lowest, int64_t highest) {
    auto d = ToDouble(v);
    if (!d || !std::isfinite(*d)) {
        return std::nullopt;
    }
    double rounded = RoundHalfEven(*d);
    if (rounded < static_cast<double>(lowest) || rounded > static_cast<double>(highest)) {
        return std::nullopt;
    }
    return static_cast<int64_t>(rounded);
}

} // namespace kt

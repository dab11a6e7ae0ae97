#include "engine/Conversions.h"

#include <cmath>

namespace kt {

namespace {

bool EqualsWordNoCase(std::string_view text, std::string_view word) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
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

bool ToBooleanSafe(const Value& v) {
    if (v.IsText()) {
        const std::string& text = v.As<std::string>();
        if (EqualsWordNoCase(text, "true")) {
            return true;
        }
        if (EqualsWordNoCase(text, "false")) {
            return false;
        }
    }
    auto d = ToDouble(v);
    return d && !std::isnan(*d) && *d != 0;
}

int16_t ToIntegerSafe(const Value& v) {
    return ToInt16(v).value_or(0);
}

int32_t ToLongSafe(const Value& v) {
    return ToInt32(v).value_or(0);
}

bool IsValidIPAddress(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    int pieces = 0;
    size_t start = 0;
    while (true) {
        const size_t dot = text.find('.', start);
        const std::string_view piece = text.substr(
            start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (++pieces > 4) {
            return false;
        }
        // A piece that is no number at all would make a rule that can never match.
        auto n = ToInt16(Value(piece));
        if (!n || *n < 0 || *n > 255) {
            return false;
        }
        if (dot == std::string_view::npos) {
            break;
        }
        start = dot + 1;
    }
    return pieces == 4;
}

bool IsValidPort(const Value& v) {
    const int32_t port = ToLongSafe(v);
    return port >= 1 && port <= 65535;
}

} // namespace kt

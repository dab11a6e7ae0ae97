#include "engine/Conversions.h"

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

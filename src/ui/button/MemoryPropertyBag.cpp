#include "ui/button/MemoryPropertyBag.h"

namespace kt {

bool MemoryPropertyBag::Contains(std::string_view key) {
    return entries_.find(key) != entries_.end();
}

std::optional<Value> MemoryPropertyBag::Read(std::string_view key) {
    auto it = entries_.find(key);
    if (it == entries_.end() || !std::holds_alternative<Value>(it->second)) {
        return std::nullopt;
    }
    return std::get<Value>(it->second);
}

std::optional<ButtonFont> MemoryPropertyBag::ReadFont(std::string_view key) {
    auto it = entries_.find(key);
    if (it == entries_.end() || !std::holds_alternative<ButtonFont>(it->second)) {
        return std::nullopt;
    }
    return std::get<ButtonFont>(it->second);
}

void MemoryPropertyBag::Write(std::string_view key, const Value& value) {
    entries_.insert_or_assign(std::string(key), value);
}

void MemoryPropertyBag::WriteFont(std::string_view key, const ButtonFont& font) {
    entries_.insert_or_assign(std::string(key), font);
}

} // namespace kt

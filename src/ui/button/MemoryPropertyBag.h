#pragma once

#include "ui/button/CommandHost.h"

#include <map>
#include <string>
#include <variant>

namespace kt {

// A button's saved settings kept in memory: the windows have no form files, so the control
// table fills one of these per button before the button loads.
class MemoryPropertyBag final : public ButtonPropertyBag {
public:
    bool Contains(std::string_view key) override;
    std::optional<Value> Read(std::string_view key) override;
    std::optional<ButtonFont> ReadFont(std::string_view key) override;
    void Write(std::string_view key, const Value& value) override;
    void WriteFont(std::string_view key, const ButtonFont& font) override;

    void Clear() { entries_.clear(); }
    size_t Size() const { return entries_.size(); }

private:
    std::map<std::string, std::variant<Value, ButtonFont>, std::less<>> entries_;
};

} // namespace kt

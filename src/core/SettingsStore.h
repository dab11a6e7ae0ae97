#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kt {

// One value of a batch written together.
struct SettingsValue {
    std::string_view key;
    std::string_view text;
};

// The per-user settings store: text values under an application name, a section and a key.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // The stored text, or fallback when the key is missing.
    virtual std::string Read(std::string_view application, std::string_view section,
                             std::string_view key, std::string_view fallback) = 0;
    // False when the value could not be stored.
    virtual bool Write(std::string_view application, std::string_view section, std::string_view key,
                       std::string_view text) = 0;
    // Stores every value or, where the store can promise it, none. A store that keeps one file
    // writes it once here instead of once per key.
    virtual bool WriteAll(std::string_view application, std::string_view section,
                          std::initializer_list<SettingsValue> values) {
        for (const SettingsValue& value : values) {
            if (!Write(application, section, value.key, value.text)) {
                return false;
            }
        }
        return true;
    }
    // Every one of keys, as one read sees them. False, with the reason in words, when the place
    // cannot be read, is not whole (cut short while it was written), or lacks one of the keys.
    virtual bool ReadAll(std::string_view application, std::string_view section,
                         std::span<const std::string_view> keys, std::vector<std::string>& values,
                         std::string& why) {
        // A value no store holds stands for a missing key.
        constexpr std::string_view missing{"\x01", 1};
        values.clear();
        for (const std::string_view key : keys) {
            values.push_back(Read(application, section, key, missing));
            if (values.back() == missing) {
                why = "it has no " + std::string(key);
                return false;
            }
        }
        return true;
    }
    // Why the last write failed, in words for the user; empty after a write that worked.
    virtual std::string LastError() const { return {}; }
    // Why the store will neither read nor write its place (it would not be safe to), in words for
    // the user; empty while it is usable. Every read checks afresh; once set, every write fails
    // for the rest of the run, since the rules in memory may then not be the place's.
    virtual std::string Refusal() const { return {}; }
};

} // namespace kt

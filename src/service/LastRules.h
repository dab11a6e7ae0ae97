#pragma once

// The rule set headless mode applied last, kept in its state folder beside the cut log, so that
// a start whose rules file cannot be used still guards by it.

#include "core/qt/QtSettingsStore.h"

#include <optional>
#include <string>

namespace kt {

class RuleModel;

// The exit status of a headless start with no rules it may use, neither the file's nor a set
// applied before (EX_CONFIG): the unit names it, so that systemd does not start it again and again.
constexpr int kNoRulesExit = 78;

class LastRules {
public:
    static constexpr const char* kFileName = "applied-rules.ini";

    // In the program's state folder; none when no state folder is named.
    LastRules();
    // The store that holds a whole, valid set, or null with why.
    SettingsStore* Usable(std::string& why);
    // Keeps the rules, replacing the file at once; false, with why, when it could not.
    bool Keep(const RuleModel& rules, std::string& why);
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    std::optional<QtSettingsStore> store_;
};

} // namespace kt

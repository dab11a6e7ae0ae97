#include "service/LastRules.h"

#include "core/Settings.h"
#include "core/linux/SafeFolder.h"
#include "rules/RuleModel.h"

namespace kt {

LastRules::LastRules() {
    if (const std::string folder = StateFolderPath(); !folder.empty()) {
        path_ = folder + '/' + kFileName;
        store_.emplace(QtSettingsStore::NamedFile{path_});
    }
}

SettingsStore* LastRules::Usable(std::string& why) {
    if (!store_) {
        why = "no state folder is named";
        return nullptr;
    }
    // Read the way a reload reads a rules file: all three lists, whole and valid, or none.
    RuleStrings whole;
    if (!ReadWholeRules(*store_, whole, why)) {
        return nullptr;
    }
    return &*store_;
}

bool LastRules::Keep(const RuleModel& rules, std::string& why) {
    if (!store_) {
        why = "no state folder is named";
        return false;
    }
    if (!rules.Save(*store_)) {
        why = store_->LastError();
        return false;
    }
    return true;
}

} // namespace kt

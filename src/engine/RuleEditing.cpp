#include "engine/RuleEditing.h"

#include "core/HostServices.h"
#include "engine/Conversions.h"
#include "manager/Manager.h"

namespace kt {

std::string_view TrimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

void AddRuleEntry(Manager& manager, HostServices& host, std::string text) {
    std::string_view entry = TrimBlanks(text);
    if (entry.empty()) {
        return;
    }
    std::string plain;
    switch (manager.CurrentMode) {
    case Manager::AllowedIPMode:
        if (auto normal = NormalizeIPAddress(entry)) {
            // Stored as the table writes addresses, or it would never match one.
            plain = std::move(*normal);
            entry = plain;
        } else {
            host.ShowMessage(InvalidAddressMessage, MessageButtons::Ok);
            return;
        }
        break;
    case Manager::BlockedLocalPortsMode:
    case Manager::BlockedRemotePortsMode:
        if (!IsValidPort(Value(entry))) {
            host.ShowMessage(InvalidPortMessage, MessageButtons::Ok);
            return;
        }
        break;
    default:
        return;
    }
    if (List* list = manager.CurrentList; list != nullptr && list->FindEqual(entry, false) < 0) {
        list->AddItem(entry);
    }
    manager.SaveChanges();
    manager.RefreshCurrentMode();
}

void DeleteSelectedEntry(Manager& manager) {
    List* list = manager.CurrentList;
    MainForm* form = manager.oMainForm;
    if (list == nullptr || list->GetItemCount() == 0 || form == nullptr) {
        return;
    }
    std::string selected;
    for (int32_t row = form->ListRowCount() - 1; row >= 0; --row) {
        if (form->ListRowSelected(row)) {
            selected = form->ListRowText(row);
            break;
        }
    }
    if (selected.empty()) {
        return;
    }
    const int32_t index = list->FindEqual(selected, false);
    if (index >= 0) {
        list->DeleteItem(index);
    }
    manager.SaveChanges();
    manager.RefreshCurrentMode();
}

} // namespace kt

#include "core/Settings.h"

#include "core/SettingsStore.h"
#include "manager/Manager.h"

#include <string>

namespace kt {

void LoadSettings(Manager& manager, SettingsStore& store) {
    const std::string localPorts =
        store.Read(SettingsApplication, SettingsSection, BlockedLocalPortsKey, "");
    const std::string remotePorts =
        store.Read(SettingsApplication, SettingsSection, BlockedRemotePortsKey, "");
    const std::string allowed =
        store.Read(SettingsApplication, SettingsSection, AllowedIPKey, AllowedIPDefault);
    manager.LoadListFromString(manager.oAllowedIP, allowed);
    manager.LoadListFromString(manager.oBlockedLocalPorts, localPorts);
    manager.LoadListFromString(manager.oBlockedRemotePorts, remotePorts);
}

bool SaveSettings(const Manager& manager, SettingsStore& store) {
    const std::string localPorts = manager.SaveListToString(manager.oBlockedLocalPorts);
    const std::string remotePorts = manager.SaveListToString(manager.oBlockedRemotePorts);
    const std::string allowed = manager.SaveListToString(manager.oAllowedIP);
    return store.WriteAll(SettingsApplication, SettingsSection,
                          {{BlockedLocalPortsKey, localPorts},
                           {BlockedRemotePortsKey, remotePorts},
                           {AllowedIPKey, allowed}});
}

} // namespace kt

#pragma once

#include "list/List.h"
#include "manager/ConnectionSource.h"
#include "manager/MainForm.h"

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kt {

class SettingsStore;

// Owns every list of the program and decides what the list box shows.
class Manager {
public:
    enum ViewMode : int16_t {
        CurrentConnectionsMode = 0,
        LocalIPMode = 1,
        AllowedIPMode = 2,
        BlockedLocalPortsMode = 3,
        BlockedRemotePortsMode = 4,
    };
    static constexpr std::array<std::string_view, 5> ModeDescriptors = {
        "Current Connections", "Local IP Addresses", "Allowed IP Addresses", "Blocked Local Ports",
        "Blocked Remote Ports"};

    // getIP answers the machine's own addresses, each followed by one space.
    Manager(SettingsStore& store, std::function<std::string()> getIP);
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    // The operations that touch the window answer false when they stopped for want of one.
    bool SetCurrentMode(int16_t iMode);
    void SetLists();
    void LoadInListbox();
    bool SetMenus();
    // Whether the list shown is a rule list, which the user may add to and delete from.
    bool CurrentListEditable() const;
    bool SetCaptions();
    bool RefreshCurrentMode();
    void RefreshLocalIPList();
    // False when the settings could not be written; the connection cache is cleared either way.
    bool SaveChanges();
    void AddLocalIPSToAllowed();
    void LoadListFromString(List& oList, std::string_view sString);
    std::string SaveListToString(const List& oList) const;
    void RefreshCurrentConnections();
    // The rows at these positions changed, and rows past the end went: oCurrentConnections and
    // the list box follow at the cost of those rows alone. A line keeps its place while its row
    // stays shown; a new line goes to the end, and the last line takes the place of one that goes.
    void UpdateCurrentConnections(std::span<const int32_t> positions);
    // Lines [first, first + count) of oServiceLines became texts: the view follows at the cost
    // of those lines while it shows every line as it was, else it is made afresh.
    void ServiceLinesChanged(int32_t first, int32_t count, std::span<const std::string> texts);
    // While the window is hidden no lines are made: they wait to be made once it is shown.
    bool ConnectionLinesStale() const { return linesStale_; }
    // Whether changed rows are worth telling now; when not (no view, or the window hidden) the
    // lines are left stale, to be made whole once they are.
    bool ConnectionLinesWanted();

    List oLocalIP;
    List oAllowedIP;
    List oBlockedLocalPorts;
    List oBlockedRemotePorts;
    List oCurrentConnections;
    int16_t CurrentMode = CurrentConnectionsMode;
    std::string CurrentModeDescriptor;
    List* CurrentList = nullptr;
    MainForm* oMainForm = nullptr;
    // Told whenever a rule list changed (saved, or local addresses allowed).
    std::function<void()> OnRulesChanged;
    // Told why, each time the rules could not be saved.
    std::function<void(std::string_view reason)> OnSaveFailed;
    ConnectionSource* oConnections = nullptr;
    // The lines of the service a window is the face of, made there: shown instead of
    // oConnections' rows while set (the Show Connected Only box still filters them here).
    const std::vector<std::string>* oServiceLines = nullptr;
    // Told, while oServiceLines is set, whether anyone looks at them: false once the window is
    // hidden, true when it shows them again; the service's table need not be followed meanwhile.
    std::function<void(bool)> OnServiceLinesWanted;
    // Where the rules go instead of the store while set (to the service a window is the face
    // of); answers whether they went.
    std::function<bool()> SaveRules;

private:
    SettingsStore& store_;
    std::function<std::string()> getIP_;
    // Builds row i's line in line_; false when the row is not shown.
    bool MakeLine(int32_t i, bool connectedOnly);
    bool ConnectedOnly() const;
    bool WindowHidden() const { return oMainForm != nullptr && oMainForm->Hidden(); }
    // Takes the line of the row at this position out of oCurrentConnections.
    void DropLine(int32_t position);
    void ShowChangedLines(int32_t before);

    std::string line_;
    // Where each row's line is in oCurrentConnections (-1: not shown), and each line's row.
    std::vector<int32_t> lineOf_;
    std::vector<int32_t> rowOf_;
    std::vector<int32_t> changedLines_;
    bool linesConnectedOnly_ = false;
    bool linesStale_ = true;
    // The lines the list box holds, as last handed to oMainForm.
    std::vector<std::string> shown_;
    const MainForm* shownForm_ = nullptr;
    const List* shownList_ = nullptr;
};

} // namespace kt

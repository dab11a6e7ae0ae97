#include "manager/Manager.h"

#include "core/Settings.h"
#include "core/SettingsStore.h"
#include "engine/Conversions.h"
#include "net/AddressText.h"

#include <algorithm>
#include <charconv>
#include <span>

namespace kt {

namespace {

void AppendNumber(std::string& text, uint32_t n) {
    char buffer[16];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, n);
    text.append(buffer, result.ptr);
}

} // namespace

Manager::Manager(SettingsStore& store, std::function<std::string()> getIP)
    : store_(store), getIP_(std::move(getIP)) {
    oLocalIP.InitStringList();
    oAllowedIP.InitStringList();
    oBlockedLocalPorts.InitLongList();
    oBlockedRemotePorts.InitLongList();
    oCurrentConnections.InitStringList();
}

bool Manager::SetCurrentMode(int16_t iMode) {
    CurrentMode = iMode;
    if (iMode >= 0 && iMode < static_cast<int16_t>(ModeDescriptors.size())) {
        CurrentModeDescriptor = ModeDescriptors[static_cast<size_t>(iMode)];
    }
    SetLists();
    return SetMenus() && SetCaptions();
}

void Manager::SetLists() {
    switch (CurrentMode) {
    case CurrentConnectionsMode:
        CurrentList = &oCurrentConnections;
        break;
    case LocalIPMode:
        RefreshLocalIPList();
        CurrentList = &oLocalIP;
        break;
    case AllowedIPMode:
        CurrentList = &oAllowedIP;
        break;
    case BlockedLocalPortsMode:
        CurrentList = &oBlockedLocalPorts;
        break;
    case BlockedRemotePortsMode:
        CurrentList = &oBlockedRemotePorts;
        break;
    default:
        break;
    }
    LoadInListbox();
}

void Manager::LoadInListbox() {
    if (oMainForm == nullptr || CurrentList == nullptr) {
        return;
    }
    const int32_t n = CurrentList->GetItemCount();
    const bool texts = CurrentList->GetListMode() == List::StringMode;
    std::vector<std::string> lines;
    lines.reserve(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
        lines.emplace_back(texts ? std::string(CurrentList->TextAt(i))
                                 : ToText(CurrentList->GetItem(i)).value_or(""));
    }
    // Only the lines that changed are handed over, so that the window keeps the user's place
    // and lays out no more text than it must. Another list, another window or a list box changed
    // behind our back is filled afresh: nothing of the last view's selection carries over.
    if (oMainForm != shownForm_ || CurrentList != shownList_ ||
        oMainForm->ListRowCount() != static_cast<int32_t>(shown_.size())) {
        oMainForm->ClearListRows();
        oMainForm->ReplaceListRows(0, 0, lines);
        shownForm_ = oMainForm;
        shownList_ = CurrentList;
        shown_ = std::move(lines);
        return;
    }
    const size_t common = std::min(shown_.size(), lines.size());
    size_t head = 0;
    while (head < common && shown_[head] == lines[head]) {
        ++head;
    }
    size_t tail = 0;
    while (tail < common - head &&
           shown_[shown_.size() - 1 - tail] == lines[lines.size() - 1 - tail]) {
        ++tail;
    }
    if (head == shown_.size() && head == lines.size()) {
        return;
    }
    oMainForm->ReplaceListRows(
        static_cast<int32_t>(head), static_cast<int32_t>(shown_.size() - head - tail),
        std::span<const std::string>(lines).subspan(head, lines.size() - head - tail));
    shown_ = std::move(lines);
}

bool Manager::SetMenus() {
    if (oMainForm == nullptr) {
        return false;
    }
    const bool editable = CurrentListEditable();
    oMainForm->SetDeleteMenuEnabled(editable);
    oMainForm->SetItemBoxEnabled(editable);
    oMainForm->SetAddButtonEnabled(editable);
    return true;
}

bool Manager::CurrentListEditable() const {
    return CurrentMode != CurrentConnectionsMode && CurrentMode != LocalIPMode;
}

bool Manager::SetCaptions() {
    if (oMainForm == nullptr) {
        return false;
    }
    oMainForm->SetHeadText(CurrentModeDescriptor);
    return true;
}

bool Manager::RefreshCurrentMode() {
    return SetCurrentMode(CurrentMode);
}

bool Manager::SaveChanges() {
    // The guard takes the rules before the store does, which may wait for the disk; a store
    // that cannot be written must not keep a changed rule from applying.
    if (OnRulesChanged) {
        OnRulesChanged();
    }
    const bool saved = SaveRules ? SaveRules() : SaveSettings(*this, store_);
    if (!saved && OnSaveFailed) {
        OnSaveFailed(store_.LastError());
    }
    if (oConnections != nullptr) {
        oConnections->ClearConnectionCache();
    }
    return saved;
}

void Manager::RefreshLocalIPList() {
    oLocalIP.Reset();
    const std::string text = getIP_ ? getIP_() : std::string();
    size_t start = 0;
    while (start <= text.size()) {
        size_t space = text.find(' ', start);
        if (space == std::string::npos) {
            space = text.size();
        }
        if (space > start) {
            oLocalIP.AddItem(std::string_view(text).substr(start, space - start));
        }
        start = space + 1;
    }
}

void Manager::AddLocalIPSToAllowed() {
    const int32_t n = oLocalIP.GetItemCount();
    for (int32_t i = 0; i < n; ++i) {
        const std::string_view s = oLocalIP.TextAt(i);
        if (s.empty()) {
            continue;
        }
        if (oAllowedIP.FindEqual(s, true) < 0) {
            oAllowedIP.AddItem(s);
        }
    }
    if (OnRulesChanged) {
        OnRulesChanged();
    }
}

void Manager::LoadListFromString(List& oList, std::string_view sString) {
    oList.Reset();
    size_t start = 0;
    while (start < sString.size()) {
        size_t comma = sString.find(',', start);
        if (comma == std::string_view::npos) {
            comma = sString.size();
        }
        if (comma > start) {
            oList.AddItem(sString.substr(start, comma - start));
        }
        start = comma + 1;
    }
}

std::string Manager::SaveListToString(const List& oList) const {
    std::string text;
    const int32_t n = oList.GetItemCount();
    for (int32_t i = 0; i < n; ++i) {
        if (i > 0) {
            text += ',';
        }
        text += ToText(oList.GetItem(i)).value_or("");
    }
    return text;
}

bool Manager::ConnectedOnly() const {
    return oMainForm != nullptr && ToBooleanSafe(oMainForm->ShowConnectedValue());
}

bool Manager::MakeLine(int32_t i, bool connectedOnly) {
    const TcpRow& row = oConnections->Row(i);
    const uint16_t localPort = PortFromField(row.dwLocalPort);
    const int32_t state = static_cast<int16_t>(row.dwState);
    if (localPort == 0 || (connectedOnly && state != TcpEstablished)) {
        return false;
    }
    line_.clear();
    AppendNumber(line_, localPort);
    line_ += ' ';
    const std::string_view remote = oConnections->RemoteAddressText(i);
    // "::" is IPv6's "0.0.0.0": no address.
    const bool bound = row.ipv6 ? row.localAddr6 != Address6{} : row.dwLocalAddr != 0;
    if (remote != "0.0.0.0" && remote != "::" && bound) {
        line_ += "<--> ";
        AppendHost(line_, remote);
        line_ += ':';
        AppendNumber(line_, PortFromField(row.dwRemotePort));
        line_ += ' ';
    } else if (bound) {
        line_ += ':';
        AppendHost(line_, row.ipv6 ? oConnections->AddressText(row.localAddr6)
                                   : oConnections->AddressText(row.dwLocalAddr));
        line_ += ' ';
    }
    line_ += oConnections->StateName(state);
    return true;
}

void Manager::RefreshCurrentConnections() {
    const bool hidden = WindowHidden();
    if (oServiceLines != nullptr && OnServiceLinesWanted) {
        OnServiceLinesWanted(!hidden);
    }
    if ((oConnections != nullptr || oServiceLines != nullptr) && hidden) {
        linesStale_ = true; // made when the window is shown again
        return;
    }
    const bool connectedOnly = ConnectedOnly();
    oCurrentConnections.Reset();
    lineOf_.clear();
    rowOf_.clear();
    if (oServiceLines != nullptr) {
        // A line ends in its state's name, as MakeLine writes it.
        constexpr std::string_view established = " ESTABLISHED";
        for (const std::string& line : *oServiceLines) {
            if (!connectedOnly || line.ends_with(established)) {
                oCurrentConnections.AddItem(Value(std::string_view(line)));
            }
        }
    } else if (oConnections != nullptr) {
        const int32_t rows = oConnections->RowCount();
        lineOf_.assign(static_cast<size_t>(rows), -1);
        for (int32_t i = 0; i < rows; ++i) {
            if (MakeLine(i, connectedOnly)) {
                lineOf_[static_cast<size_t>(i)] = static_cast<int32_t>(rowOf_.size());
                rowOf_.push_back(i);
                oCurrentConnections.AddItem(Value(std::string_view(line_)));
            }
        }
    }
    linesConnectedOnly_ = connectedOnly;
    linesStale_ = oConnections == nullptr && oServiceLines == nullptr;
    if (CurrentMode == CurrentConnectionsMode) {
        RefreshCurrentMode();
    }
}

bool Manager::ConnectionLinesWanted() {
    if (oConnections == nullptr || WindowHidden()) {
        linesStale_ = true;
        return false;
    }
    return true;
}

void Manager::UpdateCurrentConnections(std::span<const int32_t> positions) {
    if (!ConnectionLinesWanted()) {
        return;
    }
    const bool connectedOnly = ConnectedOnly();
    if (linesStale_ || connectedOnly != linesConnectedOnly_) {
        RefreshCurrentConnections();
        return;
    }
    const int32_t before = oCurrentConnections.GetItemCount();
    const auto rows = static_cast<size_t>(std::max(oConnections->RowCount(), 0));
    changedLines_.clear();
    while (lineOf_.size() > rows) { // rows past the end went
        DropLine(static_cast<int32_t>(lineOf_.size() - 1));
        lineOf_.pop_back();
    }
    lineOf_.resize(rows, -1);
    for (const int32_t i : positions) {
        if (i < 0 || static_cast<size_t>(i) >= rows) {
            continue;
        }
        int32_t& line = lineOf_[static_cast<size_t>(i)];
        if (!MakeLine(i, connectedOnly)) {
            DropLine(i);
        } else if (line >= 0) {
            oCurrentConnections.SetItem(line, Value(std::string_view(line_)));
            changedLines_.push_back(line);
        } else {
            line = oCurrentConnections.GetItemCount();
            rowOf_.push_back(i);
            oCurrentConnections.AddItem(Value(std::string_view(line_)));
            changedLines_.push_back(line); // where a dropped line was, if the list shrank first
        }
    }
    ShowChangedLines(before);
}

void Manager::ServiceLinesChanged(int32_t first, int32_t count,
                                  std::span<const std::string> texts) {
    const auto n = static_cast<int32_t>(texts.size());
    const int32_t before = oCurrentConnections.GetItemCount();
    // The service replaces lines in place, and grows or shrinks its table at the end alone.
    const bool inPlace = oServiceLines != nullptr && !linesStale_ && !linesConnectedOnly_ &&
                         !ConnectedOnly() && !WindowHidden() && first >= 0 && count >= 0 &&
                         first + count <= before && (n == count || first + count == before) &&
                         static_cast<size_t>(before - count + n) == oServiceLines->size();
    if (!inPlace) {
        RefreshCurrentConnections();
        return;
    }
    for (int32_t i = 0; i < n; ++i) {
        const Value line{std::string_view(texts[static_cast<size_t>(i)])};
        if (i < count) {
            oCurrentConnections.SetItem(first + i, line);
        } else {
            oCurrentConnections.AddItem(line);
        }
    }
    if (count > n) {
        oCurrentConnections.DeleteLastItems(count - n);
    }
    if (CurrentMode != CurrentConnectionsMode) {
        return;
    }
    if (oMainForm == nullptr || oMainForm != shownForm_ || shownList_ != &oCurrentConnections ||
        oMainForm->ListRowCount() != before || shown_.size() != static_cast<size_t>(before)) {
        RefreshCurrentMode();
        return;
    }
    const auto from = shown_.begin() + first;
    shown_.insert(shown_.erase(from, from + count), texts.begin(), texts.end());
    oMainForm->ReplaceListRows(first, count, texts);
}

void Manager::DropLine(int32_t position) {
    int32_t& line = lineOf_[static_cast<size_t>(position)];
    if (line < 0) {
        return;
    }
    const int32_t last = oCurrentConnections.GetItemCount() - 1;
    if (line != last) {
        const int32_t moved = rowOf_[static_cast<size_t>(last)];
        oCurrentConnections.SetItem(line, Value(oCurrentConnections.TextAt(last)));
        rowOf_[static_cast<size_t>(line)] = moved;
        lineOf_[static_cast<size_t>(moved)] = line;
        changedLines_.push_back(line);
    }
    oCurrentConnections.DeleteLastItems(1);
    rowOf_.pop_back();
    line = -1;
}

// Hands the list box only the lines that changed, when it shows the lines as they were; else
// the list box is filled as any mode fills it.
void Manager::ShowChangedLines(int32_t before) {
    if (CurrentMode != CurrentConnectionsMode) {
        return;
    }
    const int32_t after = oCurrentConnections.GetItemCount();
    if (oMainForm == nullptr || oMainForm != shownForm_ || CurrentList != &oCurrentConnections ||
        shownList_ != CurrentList || oMainForm->ListRowCount() != before ||
        shown_.size() != static_cast<size_t>(before)) {
        RefreshCurrentMode();
        return;
    }
    std::sort(changedLines_.begin(), changedLines_.end());
    changedLines_.erase(std::unique(changedLines_.begin(), changedLines_.end()),
                        changedLines_.end());
    const int32_t kept = std::min(before, after);
    // A row judged again after a rule change keeps its line: the list box is not told.
    std::erase_if(changedLines_, [&](int32_t line) {
        return line < kept && shown_[static_cast<size_t>(line)] == oCurrentConnections.TextAt(line);
    });
    std::vector<std::string> texts;
    for (size_t k = 0; k < changedLines_.size() && changedLines_[k] < kept;) {
        const int32_t first = changedLines_[k];
        texts.clear();
        for (; k < changedLines_.size() &&
               changedLines_[k] == first + static_cast<int32_t>(texts.size()) &&
               changedLines_[k] < kept;
             ++k) {
            const int32_t line = changedLines_[k];
            shown_[static_cast<size_t>(line)] = oCurrentConnections.TextAt(line);
            texts.push_back(shown_[static_cast<size_t>(line)]);
        }
        oMainForm->ReplaceListRows(first, static_cast<int32_t>(texts.size()), texts);
    }
    if (after != before) {
        texts.clear();
        for (int32_t line = before; line < after; ++line) {
            texts.emplace_back(oCurrentConnections.TextAt(line));
        }
        shown_.resize(static_cast<size_t>(kept));
        shown_.insert(shown_.end(), texts.begin(), texts.end());
        oMainForm->ReplaceListRows(kept, before - kept, texts);
    }
}

} // namespace kt

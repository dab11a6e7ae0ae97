#pragma once

#include "core/HostServices.h"
#include "core/SettingsStore.h"
#include "engine/RuleGuard.h"
#include "engine/TcpTable.h"
#include "list/List.h"
#include "manager/MainForm.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kt::testing {

// A list's items as texts, in order: what a view shows of it.
inline std::vector<std::string> ItemTexts(const List& list) {
    std::vector<std::string> texts;
    for (int32_t i = 0; i < list.GetItemCount(); ++i) {
        texts.emplace_back(list.TextAt(i));
    }
    return texts;
}

// Host whose message boxes are answered by the test and whose message pass runs a test hook.
class FakeHost : public HostServices {
public:
    bool PreviousInstance() override { return previousInstance; }
    std::string ApplicationFolder() override { return folder; }
    MessageAnswer ShowMessage(std::string_view text, MessageButtons buttons) override {
        messages.emplace_back(text);
        messageButtons.push_back(buttons);
        for (int i = 0; i < modalTicks; ++i) {
            RunModalWork();
        }
        return answer;
    }
    void DoEvents() override {
        ++doEventsCount;
        if (onDoEvents) {
            onDoEvents();
        }
    }
    void Sleep(int32_t milliseconds) override { slept.push_back(milliseconds); }
    void WaitForWork(int32_t milliseconds, int) override {
        waited.push_back(milliseconds);
        DoEvents();
    }
    bool ShellOpen(std::string_view target) override {
        opened.emplace_back(target);
        return shellOpens;
    }
    void End() override { ended = true; }
    void Diagnose(std::string_view line) override { diagnosed.emplace_back(line); }

    bool previousInstance = false;
    std::string folder = "C:\\Program Files\\Korvan Tessivo";
    MessageAnswer answer = MessageAnswer::Ok;
    // How often a box's loop runs the modal work before the box is answered.
    int modalTicks = 0;
    std::vector<std::string> messages;
    std::vector<MessageButtons> messageButtons;
    int doEventsCount = 0;
    std::function<void()> onDoEvents;
    std::vector<int32_t> slept;
    std::vector<int32_t> waited;
    std::vector<std::string> opened;
    bool shellOpens = true; // false: nothing on the desktop takes what is opened
    bool ended = false;
    std::vector<std::string> diagnosed;
};

// Settings kept in memory; records every write in order and can refuse them.
class MemoryStore : public SettingsStore {
public:
    std::string Read(std::string_view application, std::string_view section, std::string_view key,
                     std::string_view fallback) override {
        reads.push_back(std::string(key));
        auto it = values.find(Path(application, section, key));
        return it == values.end() ? std::string(fallback) : it->second;
    }
    bool Write(std::string_view application, std::string_view section, std::string_view key,
               std::string_view text) override {
        if (refuseWrites) {
            return false;
        }
        writes.push_back(std::string(key));
        values[Path(application, section, key)] = std::string(text);
        return true;
    }
    static std::string Path(std::string_view application, std::string_view section,
                            std::string_view key) {
        return std::string(application) + "\\" + std::string(section) + "\\" + std::string(key);
    }
    std::string& At(std::string_view key) { return values[Path("KorvanTessivo", "General", key)]; }
    bool Has(std::string_view key) const {
        return values.count(Path("KorvanTessivo", "General", key)) != 0;
    }

    std::map<std::string, std::string> values;
    std::vector<std::string> reads;
    std::vector<std::string> writes;
    bool refuseWrites = false;
    std::string refusal;
    std::string LastError() const override { return refuseWrites ? "the disk is full" : ""; }
    std::string Refusal() const override { return refusal; }
};

// The window's controls, recorded.
class RecordingForm : public MainForm {
public:
    void ClearListRows() override {
        rows.clear();
        selected.clear();
        calls.push_back("clear");
    }
    void AppendListRow(std::string_view text) override {
        rows.emplace_back(text);
        selected.push_back(false);
    }
    int32_t ListRowCount() const override { return static_cast<int32_t>(rows.size()); }
    std::string ListRowText(int32_t row) const override {
        return rows.at(static_cast<size_t>(row));
    }
    bool ListRowSelected(int32_t row) const override {
        return selected.at(static_cast<size_t>(row));
    }
    void ReplaceListRows(int32_t first, int32_t count,
                         std::span<const std::string> texts) override {
        const auto at = static_cast<size_t>(first);
        std::string chosen; // the selected line follows its text, as in the real list boxes
        for (size_t i = 0; i < rows.size(); ++i) {
            chosen = selected[i] ? rows[i] : chosen;
        }
        rows.erase(rows.begin() + first, rows.begin() + first + count);
        rows.insert(rows.begin() + first, texts.begin(), texts.end());
        selected.assign(rows.size(), false);
        if (const auto it = std::find(rows.begin(), rows.end(), chosen);
            !chosen.empty() && it != rows.end()) {
            selected[static_cast<size_t>(it - rows.begin())] = true;
        }
        calls.push_back("replace " + std::to_string(at) + "+" + std::to_string(count) + " " +
                        std::to_string(texts.size()));
    }
    void SetHeadText(std::string_view text) override {
        head = text;
        calls.push_back("head");
    }
    void SetItemBoxEnabled(bool enabled) override {
        itemBoxEnabled = enabled;
        calls.push_back("txtItem");
    }
    void SetDeleteMenuEnabled(bool enabled) override {
        deleteMenuEnabled = enabled;
        calls.push_back("mnuDelete");
    }
    void SetAddButtonEnabled(bool enabled) override {
        addButtonEnabled = enabled;
        calls.push_back("cmdAdd");
    }
    Value ShowConnectedValue() const override { return showConnected; }

    void Select(std::string_view text) {
        for (size_t i = 0; i < rows.size(); ++i) {
            selected[i] = rows[i] == text;
        }
    }

    std::vector<std::string> rows;
    std::vector<bool> selected;
    std::string head = "Choose...";
    bool itemBoxEnabled = true;
    bool deleteMenuEnabled = true;
    bool addButtonEnabled = true;
    Value showConnected = Value(int16_t{0});
    std::vector<std::string> calls;
};

// A clock that moves on by more than the view's coalescing interval at every reading, so that
// each tick shows the table it read.
inline std::function<std::chrono::steady_clock::time_point()> SteppingClock() {
    return [t = std::chrono::steady_clock::time_point{}]() mutable {
        return t += std::chrono::milliseconds(100);
    };
}

inline uint32_t Address(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    const unsigned char octets[4] = {a, b, c, d};
    uint32_t address = 0;
    std::memcpy(&address, octets, sizeof address);
    return address;
}

inline TcpRow MakeRow(int state, uint32_t localAddress, uint16_t localPort, uint32_t remoteAddress,
                      uint16_t remotePort) {
    return TcpRow{static_cast<uint32_t>(state), localAddress, PortToField(localPort), remoteAddress,
                  PortToField(remotePort)};
}

// An IPv6 row; an IPv4-mapped address stands for an IPv4 peer of a dual-stack socket.
inline TcpRow MakeRow6(int state, const Address6& localAddress, uint16_t localPort,
                       const Address6& remoteAddress, uint16_t remotePort) {
    TcpRow row = MakeRow(state, 0, localPort, 0, remotePort);
    row.ipv6 = true;
    row.localAddr6 = localAddress;
    row.remoteAddr6 = remoteAddress;
    return row;
}

// Whether two rows name the same connection, of either family.
inline bool SameConnection(const TcpRow& a, const TcpRow& b) {
    return a.dwLocalAddr == b.dwLocalAddr && a.dwLocalPort == b.dwLocalPort &&
           a.dwRemoteAddr == b.dwRemoteAddr && a.dwRemotePort == b.dwRemotePort &&
           a.ipv6 == b.ipv6 && a.localAddr6 == b.localAddr6 && a.remoteAddr6 == b.remoteAddr6;
}

// A connection table the test controls: the rows it lists, whether snapshots or deletes fail,
// and a record of every delete asked for. A delete that is not refused removes the row.
class FakeTcpTable : public TcpTable {
public:
    bool TakeSnapshot(std::vector<TcpRow>& out) override {
        ++snapshots;
        if (onSnapshot) {
            onSnapshot(snapshots);
        }
        if (failSnapshots) {
            return false;
        }
        out = rows;
        return true;
    }
    // With filters set, lists what a tick must judge, as the Linux table does.
    bool TakeBlockedSnapshot(std::vector<TcpRow>& out, std::span<const uint16_t> local,
                             std::span<const uint16_t> remote) override {
        if (!filters) {
            return false;
        }
        ++blockedSnapshots;
        out.clear();
        for (const TcpRow& row : rows) {
            const auto in = [](std::span<const uint16_t> ports, uint32_t field) {
                return std::find(ports.begin(), ports.end(), PortFromField(field)) != ports.end();
            };
            if (row.dwState == TcpEstablished &&
                (in(local, row.dwLocalPort) || in(remote, row.dwRemotePort))) {
                out.push_back(row);
            }
        }
        return true;
    }
    bool DeleteConnection(const TcpRow& row) override {
        deletes.push_back(row);
        if (refuseDeletes) {
            return false;
        }
        if (pretendDeletes) {
            return true;
        }
        for (auto it = rows.begin(); it != rows.end(); ++it) {
            if (SameConnection(*it, row)) {
                if (reconnect) { // at once, from the same ports: a new socket takes its place
                    it->cookie += 1000;
                } else {
                    rows.erase(it);
                }
                return true;
            }
        }
        return false;
    }

    std::string DeleteRefusal() const override { return refuseDeletes ? refusal : std::string(); }

    // With listChanges set, names what changed since the last call, as a table kept from the
    // system's reports does: here by comparing with the copy it handed out last.
    Changes TakeChanges(std::vector<TcpRow>& out, std::vector<int32_t>& changed) override {
        changed.clear();
        if (!listChanges) {
            return Changes::Unsupported;
        }
        const bool whole = std::exchange(wholeNext, false);
        out.resize(rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            if (whole || i >= handed.size() || !(rows[i] == handed[i])) {
                out[i] = rows[i];
                changed.push_back(static_cast<int32_t>(i));
            }
        }
        handed = rows;
        return whole ? Changes::Whole : Changes::Listed;
    }

    std::vector<TcpRow> rows;
    std::vector<TcpRow> deletes;
    bool refuseDeletes = false;
    std::string refusal;         // why refused deletes were refused; empty: not for want of rights
    bool pretendDeletes = false; // accepted, and the connection stays (Wine)
    bool reconnect = false;      // each cut connection comes back at once with a new cookie
    bool failSnapshots = false;
    bool filters = false;
    bool listChanges = false;
    bool wholeNext = true; // the first change list is the whole table
    std::vector<TcpRow> handed;
    int snapshots = 0;
    int blockedSnapshots = 0;
    std::function<void(int)> onSnapshot;
};

// A guard that takes the rules (or refuses them) and stays sound until told otherwise.
class FakeGuard : public RuleGuard {
public:
    bool SetRules(const GuardRules& r, std::string& why) override {
        rules.push_back(r);
        why = "map update refused";
        return !refuse;
    }
    bool Sound(std::string& why) const override {
        why = "a cut was refused";
        return sound;
    }
    void Edit(std::span<const GuardRuleEdit> e) override { edits.emplace_back(e.begin(), e.end()); }
    bool TakeRefusal(std::string& why) override {
        if (refusals.empty()) {
            return false;
        }
        why = refusals.front();
        refusals.erase(refusals.begin());
        return true;
    }
    void Stop() override { stopped = true; }
    int WakeHandle() const override { return 7; }
    std::vector<GuardRules> rules;
    std::vector<std::vector<GuardRuleEdit>> edits;
    std::vector<std::string> refusals; // told one by one
    bool refuse = false;
    bool sound = true;
    bool stopped = false;
};

} // namespace kt::testing

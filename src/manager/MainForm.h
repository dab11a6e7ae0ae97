#pragma once

#include "list/Value.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kt {

// The main window's controls as the Manager and rule editing use them. Each front end implements
// it on its real controls; nothing else of the window is reachable from the core.
class MainForm {
public:
    virtual ~MainForm() = default;

    // lstMain
    virtual void ClearListRows() = 0;
    virtual void AppendListRow(std::string_view text) = 0;
    virtual int32_t ListRowCount() const = 0;
    virtual std::string ListRowText(int32_t row) const = 0;
    virtual bool ListRowSelected(int32_t row) const = 0;
    // Replaces rows [first, first + count) with texts. Rows outside that range keep their place,
    // and a front end keeps the scroll position, and the selection on the line of the same text
    // where that line still exists. This fallback rebuilds the whole list.
    virtual void ReplaceListRows(int32_t first, int32_t count, std::span<const std::string> texts) {
        std::vector<std::string> rows;
        const int32_t total = ListRowCount();
        for (int32_t i = 0; i < total; ++i) {
            rows.push_back(ListRowText(i));
        }
        const auto from = rows.begin() + first;
        rows.erase(from, from + count);
        rows.insert(rows.begin() + first, texts.begin(), texts.end());
        ClearListRows();
        for (const std::string& row : rows) {
            AppendListRow(row);
        }
    }

    // txtHead
    virtual void SetHeadText(std::string_view text) = 0;

    // The editing controls: txtItem, mnuDelete and cmdAdd's Enabled property.
    virtual void SetItemBoxEnabled(bool enabled) = 0;
    virtual void SetDeleteMenuEnabled(bool enabled) = 0;
    virtual void SetAddButtonEnabled(bool enabled) = 0;

    // chkShowX: 0 unchecked, 1 checked (any non-zero value means checked).
    virtual Value ShowConnectedValue() const = 0;

    // Hidden in the tray: nobody sees the list box.
    virtual bool Hidden() const { return false; }
};

} // namespace kt

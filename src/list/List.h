#pragma once

#include "list/Value.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kt {

// Key hash of a text, as kept beside every item of a String list.
int32_t GetStringHash(std::string_view text);
int32_t ShiftLeft(int32_t value, int32_t bits);
// GetStringHash of the lower-case form, without building that form.
int32_t GetKeyHash(std::string_view text);
// Lower-case form used by the key hash and case-insensitive comparisons (ASCII letters only).
std::string ToLowerAscii(std::string_view text);

// Growable, 0-based sequence of items of one element type. Failures are answered with negative
// result codes or Null values, never thrown.
class List {
public:
    enum Mode : int32_t {
        StringMode = 0,
        LongMode = 1,
        DoubleMode = 2,
        ByteMode = 3,
        IntegerMode = 4
    };
    enum Result : int32_t {
        ListOk = 0,
        ListNotFound = -2,
        ListBadIndex = -3,
        ListNoOperator = -4,
        ListBadOperator = -5,
        ListBadValue = -6,
    };
    static constexpr int32_t CapacityStep = 20000;

    void InitStringList() { InitListStorage(StringMode); }
    void InitLongList() { InitListStorage(LongMode); }
    void InitDoubleList() { InitListStorage(DoubleMode); }
    void InitByteList() { InitListStorage(ByteMode); }
    void InitIntegerList() { InitListStorage(IntegerMode); }

    int16_t GetListMode() const { return static_cast<int16_t>(ListMode); }
    int32_t AddItem(const Value& v);
    int32_t DeleteLastItems(int32_t Count);
    void Reset() { InitListStorage(ListMode); }
    int32_t DeleteItem(int32_t index);
    int32_t FindItem(std::string_view Operator, const Value& value, bool CaseSensitive,
                     int32_t StartAtIndex, bool SearchReversed, int32_t SubStringStart) const;
    // The form every caller of the program uses: "=", from index 0, forwards.
    int32_t FindEqual(const Value& value, bool CaseSensitive) const {
        return FindItem("=", value, CaseSensitive, 0, false, 1);
    }
    int32_t GetItemCount() const { return ItemCount; }
    Value GetItem(int32_t index) const;
    int32_t SetItem(int32_t index, const Value& value);
    Value ExtractItem(int32_t index);
    Value ExtractLastItem();

    int32_t GetCapacity() const { return Capacity; }
    // Read-only view of a String list's texts, for callers that walk every item.
    std::string_view TextAt(int32_t index) const;

private:
    void InitListStorage(int32_t mode);
    bool IsValidIndex(int32_t index) const { return index >= 0 && index < ItemCount; }
    bool Grow();
    // Writes v into slot; false when it does not convert to the element type.
    bool WriteSlot(int32_t slot, const Value& v);
    void MoveDown(int32_t index);

    int32_t FindText(std::string_view op, const std::string& text, bool caseSensitive,
                     int32_t first, bool reversed, int32_t subStringStart) const;
    template <class T, class Compare>
    int32_t ScanNumbers(const std::vector<T>& items, T value, Compare compare, int32_t first,
                        bool reversed) const;
    template <class T>
    int32_t FindNumber(std::string_view op, const std::vector<T>& items, T value, int32_t first,
                       bool reversed) const;

    std::vector<std::string> StringItems;
    std::vector<int32_t> LongItems;
    std::vector<double> DoubleItems;
    std::vector<uint8_t> ByteItems;
    std::vector<int16_t> IntegerItems;
    int32_t ListMode = StringMode;
    int32_t ItemCount = 0;
    int32_t Capacity = 0;
};

} // namespace kt

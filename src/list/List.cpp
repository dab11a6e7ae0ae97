#include "list/List.h"

#include <algorithm>
#include <limits>
#include <new>

namespace kt {

namespace {

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerAscii(x) == LowerAscii(y);
           });
}

} // namespace

int32_t ShiftLeft(int32_t value, int32_t bits) {
    if (bits < 0 || bits > 31) {
        return 0;
    }
    return static_cast<int32_t>(static_cast<uint32_t>(value) << bits);
}

int32_t GetStringHash(std::string_view text) {
    int32_t h = 0;
    for (char c : text) {
        // A byte beyond ASCII counts with its sign, as a single-byte code would.
        int32_t code = static_cast<int8_t>(c);
        h = ShiftLeft(h, 1) ^ code;
    }
    return h;
}

int32_t GetKeyHash(std::string_view text) {
    int32_t h = 0;
    for (char c : text) {
        h = ShiftLeft(h, 1) ^ static_cast<int8_t>(LowerAscii(c));
    }
    return h;
}

std::string ToLowerAscii(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), LowerAscii);
    return lower;
}

void List::InitListStorage(int32_t mode) {
    ListMode = mode;
    StringItems.clear();
    LongItems.clear();
    DoubleItems.clear();
    ByteItems.clear();
    IntegerItems.clear();
    const size_t slots = static_cast<size_t>(CapacityStep) + 1;
    switch (mode) {
    case StringMode:
        StringItems = std::vector<std::string>(slots);
        LongItems = std::vector<int32_t>(slots, 0);
        break;
    case LongMode:
        LongItems = std::vector<int32_t>(slots, 0);
        break;
    case DoubleMode:
        DoubleItems = std::vector<double>(slots, 0.0);
        break;
    case ByteMode:
        ByteItems = std::vector<uint8_t>(slots, 0);
        break;
    default:
        IntegerItems = std::vector<int16_t>(slots, 0);
        break;
    }
    ItemCount = 0;
    Capacity = CapacityStep;
}

bool List::Grow() {
    if (Capacity > std::numeric_limits<int32_t>::max() - CapacityStep) {
        return false;
    }
    const size_t slots = static_cast<size_t>(Capacity) + CapacityStep + 1;
    try {
        switch (ListMode) {
        case StringMode:
            StringItems.resize(slots);
            LongItems.resize(slots, 0);
            break;
        case LongMode:
            LongItems.resize(slots, 0);
            break;
        case DoubleMode:
            DoubleItems.resize(slots, 0.0);
            break;
        case ByteMode:
            ByteItems.resize(slots, 0);
            break;
        default:
            IntegerItems.resize(slots, 0);
            break;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    Capacity += CapacityStep;
    return true;
}

bool List::WriteSlot(int32_t slot, const Value& v) {
    const auto index = static_cast<size_t>(slot);
    switch (ListMode) {
    case StringMode: {
        auto text = ToText(v);
        if (!text) {
            return false;
        }
        LongItems[index] = GetKeyHash(*text);
        StringItems[index] = std::move(*text);
        return true;
    }
    case LongMode: {
        auto n = ToInt32(v);
        if (n) {
            LongItems[index] = *n;
        }
        return n.has_value();
    }
    case DoubleMode: {
        auto n = ToDouble(v);
        if (n) {
            DoubleItems[index] = *n;
        }
        return n.has_value();
    }
    case ByteMode: {
        auto n = ToUInt8(v);
        if (n) {
            ByteItems[index] = *n;
        }
        return n.has_value();
    }
    default: {
        auto n = ToInt16(v);
        if (n) {
            IntegerItems[index] = *n;
        }
        return n.has_value();
    }
    }
}

int32_t List::AddItem(const Value& v) {
    if (Capacity == 0) {
        // Never initialised: behave as the empty list of the mode it was created with.
        InitListStorage(ListMode);
    }
    if (ItemCount > Capacity && !Grow()) {
        return ListOk;
    }
    // A value that does not convert still takes its slot, holding whatever the slot held.
    WriteSlot(ItemCount, v);
    ++ItemCount;
    return ListOk;
}

int32_t List::DeleteLastItems(int32_t Count) {
    if (Count < 0 || Count > ItemCount) {
        return ListBadIndex;
    }
    ItemCount -= Count;
    return ListOk;
}

void List::MoveDown(int32_t index) {
    const auto from = static_cast<size_t>(index);
    const auto end = static_cast<size_t>(ItemCount);
    switch (ListMode) {
    case StringMode:
        std::move(StringItems.begin() + from + 1, StringItems.begin() + end,
                  StringItems.begin() + from);
        std::move(LongItems.begin() + from + 1, LongItems.begin() + end, LongItems.begin() + from);
        break;
    case LongMode:
        std::move(LongItems.begin() + from + 1, LongItems.begin() + end, LongItems.begin() + from);
        break;
    case DoubleMode:
        std::move(DoubleItems.begin() + from + 1, DoubleItems.begin() + end,
                  DoubleItems.begin() + from);
        break;
    case ByteMode:
        std::move(ByteItems.begin() + from + 1, ByteItems.begin() + end, ByteItems.begin() + from);
        break;
    default:
        std::move(IntegerItems.begin() + from + 1, IntegerItems.begin() + end,
                  IntegerItems.begin() + from);
        break;
    }
}

int32_t List::DeleteItem(int32_t index) {
    if (!IsValidIndex(index)) {
        return ListBadIndex;
    }
    MoveDown(index);
    --ItemCount;
    return ListOk;
}

Value List::GetItem(int32_t index) const {
    if (!IsValidIndex(index)) {
        return Value::Null();
    }
    const auto i = static_cast<size_t>(index);
    switch (ListMode) {
    case StringMode:
        return Value(StringItems[i]);
    case LongMode:
        return Value(LongItems[i]);
    case DoubleMode:
        return Value(DoubleItems[i]);
    case ByteMode:
        return Value(ByteItems[i]);
    default:
        return Value(IntegerItems[i]);
    }
}

std::string_view List::TextAt(int32_t index) const {
    if (ListMode != StringMode || !IsValidIndex(index)) {
        return {};
    }
    return StringItems[static_cast<size_t>(index)];
}

int32_t List::SetItem(int32_t index, const Value& value) {
    if (!IsValidIndex(index)) {
        return ListBadIndex;
    }
    return WriteSlot(index, value) ? ListOk : ListBadValue;
}

Value List::ExtractItem(int32_t index) {
    if (!IsValidIndex(index)) {
        return Value::Null();
    }
    Value v = GetItem(index);
    DeleteItem(index);
    return v;
}

Value List::ExtractLastItem() {
    if (ItemCount == 0) {
        return Value::Null();
    }
    return ExtractItem(ItemCount - 1);
}

int32_t List::FindItem(std::string_view Operator, const Value& value, bool CaseSensitive,
                       int32_t StartAtIndex, bool SearchReversed, int32_t SubStringStart) const {
    if (Operator.empty()) {
        return ListNoOperator;
    }
    if (ItemCount == 0) {
        return ListNotFound;
    }
    if (StartAtIndex < 0 || StartAtIndex > ItemCount - 1) {
        return ListBadIndex;
    }
    std::string op(Operator);
    std::transform(op.begin(), op.end(), op.begin(), UpperAscii);
    switch (ListMode) {
    case StringMode: {
        auto text = ToText(value);
        if (!text) {
            return ListBadValue;
        }
        return FindText(op, *text, CaseSensitive, StartAtIndex, SearchReversed, SubStringStart);
    }
    case LongMode: {
        auto n = ToInt32(value);
        return n ? FindNumber(op, LongItems, *n, StartAtIndex, SearchReversed) : ListBadValue;
    }
    case DoubleMode: {
        auto n = ToDouble(value);
        return n ? FindNumber(op, DoubleItems, *n, StartAtIndex, SearchReversed) : ListBadValue;
    }
    case ByteMode: {
        auto n = ToUInt8(value);
        return n ? FindNumber(op, ByteItems, *n, StartAtIndex, SearchReversed) : ListBadValue;
    }
    default: {
        auto n = ToInt16(value);
        return n ? FindNumber(op, IntegerItems, *n, StartAtIndex, SearchReversed) : ListBadValue;
    }
    }
}

int32_t List::FindText(std::string_view op, const std::string& text, bool caseSensitive,
                       int32_t first, bool reversed, int32_t subStringStart) const {
    const int32_t step = reversed ? -1 : 1;
    const int32_t begin = reversed ? ItemCount - 1 : first;
    const int32_t end = reversed ? first - 1 : ItemCount;
    if (op == "=") {
        const int32_t hash = GetKeyHash(text);
        for (int32_t i = begin; i != end; i += step) {
            const auto slot = static_cast<size_t>(i);
            if (LongItems[slot] != hash) {
                continue;
            }
            const std::string& item = StringItems[slot];
            if (caseSensitive ? item == text : EqualNoCase(item, text)) {
                return i;
            }
        }
        return ListNotFound;
    }
    if (op == "LIKE") {
        // Positions are 1-based; anything below 1 searches from the start.
        const size_t from = subStringStart > 1 ? static_cast<size_t>(subStringStart) - 1 : 0;
        const std::string needle = caseSensitive ? text : ToLowerAscii(text);
        for (int32_t i = begin; i != end; i += step) {
            const std::string& item = StringItems[static_cast<size_t>(i)];
            if (from > item.size()) {
                continue;
            }
            const bool found = caseSensitive
                                   ? item.find(needle, from) != std::string::npos
                                   : ToLowerAscii(item).find(needle, from) != std::string::npos;
            if (found) {
                return i;
            }
        }
        return ListNotFound;
    }
    return ListBadOperator;
}

template <class T, class Compare>
int32_t List::ScanNumbers(const std::vector<T>& items, T value, Compare compare, int32_t first,
                          bool reversed) const {
    if (reversed) {
        for (int32_t i = ItemCount - 1; i >= first; --i) {
            if (compare(items[static_cast<size_t>(i)], value)) {
                return i;
            }
        }
    } else {
        for (int32_t i = first; i < ItemCount; ++i) {
            if (compare(items[static_cast<size_t>(i)], value)) {
                return i;
            }
        }
    }
    return ListNotFound;
}

template <class T>
int32_t List::FindNumber(std::string_view op, const std::vector<T>& items, T value, int32_t first,
                         bool reversed) const {
    if (op == "=") {
        return ScanNumbers(items, value, std::equal_to<T>(), first, reversed);
    }
    if (op == "<") {
        return ScanNumbers(items, value, std::less<T>(), first, reversed);
    }
    if (op == ">") {
        return ScanNumbers(items, value, std::greater<T>(), first, reversed);
    }
    if (op == "<=") {
        return ScanNumbers(items, value, std::less_equal<T>(), first, reversed);
    }
    if (op == ">=") {
        return ScanNumbers(items, value, std::greater_equal<T>(), first, reversed);
    }
    return ListNotFound;
}

} // namespace kt

#include "list/List.h"

#include <gtest/gtest.h>
#include <limits>
#include <string>

namespace kt {
namespace {

List MakeStrings(std::initializer_list<const char*> texts) {
    List list;
    list.InitStringList();
    for (const char* text : texts) {
        list.AddItem(text);
    }
    return list;
}

TEST(StringHash, MatchesTheDefinedValues) {
    EXPECT_EQ(GetStringHash(""), 0);
    EXPECT_EQ(GetStringHash("abc"), 291);
    EXPECT_EQ(GetKeyHash("ABC"), 291);
    EXPECT_EQ(GetKeyHash("127.0.0.1"), GetStringHash("127.0.0.1"));
    // Bytes beyond ASCII count with their sign.
    EXPECT_EQ(GetStringHash("\xE9"), -23);
    EXPECT_EQ(GetStringHash(std::string("a\0b", 3)), ((97 << 2) ^ 98));
}

TEST(ShiftLeft, KeepsThirtyTwoBitsAndNeverOverflows) {
    EXPECT_EQ(ShiftLeft(1073741825, 1), -2147483646);
    EXPECT_EQ(ShiftLeft(-1, 31), INT32_MIN);
    EXPECT_EQ(ShiftLeft(5, 32), 0);
    EXPECT_EQ(ShiftLeft(5, -1), 0);
    EXPECT_EQ(ShiftLeft(5, 0), 5);
    EXPECT_EQ(ShiftLeft(3, 2), 12);
}

TEST(List, FreshListIsEmptyInItsMode) {
    List list;
    EXPECT_EQ(list.GetItemCount(), 0);
    EXPECT_TRUE(list.GetItem(0).IsNull());
    EXPECT_EQ(list.FindItem("=", "x", false, 0, false, 1), List::ListNotFound);
    list.InitLongList();
    EXPECT_EQ(list.GetListMode(), 1);
    EXPECT_EQ(list.GetItemCount(), 0);
    EXPECT_EQ(list.GetCapacity(), 20000);
    EXPECT_TRUE(list.GetItem(0).IsNull());
}

TEST(List, UninitialisedListAcceptsTextsAsAStringList) {
    List list;
    EXPECT_EQ(list.AddItem("a"), 0);
    EXPECT_EQ(list.GetItem(0), Value("a"));
    EXPECT_EQ(list.FindEqual("A", false), 0);
}

TEST(List, GrowsByAFixedStepKeepingItems) {
    List list;
    list.InitLongList();
    for (int32_t i = 0; i < 20001; ++i) {
        list.AddItem(i);
    }
    EXPECT_EQ(list.GetCapacity(), 20000);
    list.AddItem(int32_t{20001});
    EXPECT_EQ(list.GetCapacity(), 40000);
    EXPECT_EQ(list.GetItemCount(), 20002);
    for (int32_t i = 0; i < 20002; i += 997) {
        EXPECT_EQ(list.GetItem(i), Value(i));
    }
    EXPECT_EQ(list.GetItem(20001), Value(int32_t{20001}));
}

TEST(List, StringListGrowthKeepsTextsAndHashes) {
    List list;
    list.InitStringList();
    for (int32_t i = 0; i < 20005; ++i) {
        list.AddItem("Host" + std::to_string(i));
    }
    EXPECT_EQ(list.GetCapacity(), 40000);
    EXPECT_EQ(list.FindEqual("host0", false), 0);
    EXPECT_EQ(list.FindEqual("HOST20004", false), 20004);
    EXPECT_EQ(list.FindEqual("HOST20004", true), List::ListNotFound);
}

TEST(List, AddConvertsToTheElementType) {
    List longs;
    longs.InitLongList();
    EXPECT_EQ(longs.AddItem("8080"), 0);
    EXPECT_EQ(longs.GetItem(0), Value(int32_t{8080}));
    EXPECT_TRUE(longs.GetItem(0).Holds<int32_t>());
    // A value that does not convert still takes a slot, which holds 0 in a fresh list.
    EXPECT_EQ(longs.AddItem("http"), 0);
    EXPECT_EQ(longs.GetItemCount(), 2);
    EXPECT_EQ(longs.GetItem(1), Value(int32_t{0}));
    EXPECT_EQ(longs.AddItem(Value::Empty()), 0);
    EXPECT_EQ(longs.GetItem(2), Value(int32_t{0}));
    longs.AddItem(2.5);
    EXPECT_EQ(longs.GetItem(3), Value(int32_t{2}));

    List bytes;
    bytes.InitByteList();
    bytes.AddItem(int32_t{256});
    EXPECT_EQ(bytes.GetItemCount(), 1);
    EXPECT_EQ(bytes.GetItem(0), Value(uint8_t{0}));

    List integers;
    integers.InitIntegerList();
    integers.AddItem(int32_t{40000});
    integers.AddItem(int32_t{-32768});
    EXPECT_EQ(integers.GetItem(0), Value(int16_t{0}));
    EXPECT_EQ(integers.GetItem(1), Value(int16_t{-32768}));

    List doubles;
    doubles.InitDoubleList();
    doubles.AddItem("2.5");
    doubles.AddItem(std::numeric_limits<double>::infinity());
    EXPECT_EQ(doubles.GetItem(0), Value(2.5));
    EXPECT_EQ(doubles.GetItem(1), Value(std::numeric_limits<double>::infinity()));

    List strings;
    strings.InitStringList();
    strings.AddItem(int32_t{443});
    strings.AddItem(Value::Empty());
    EXPECT_EQ(strings.GetItem(0), Value("443"));
    EXPECT_EQ(strings.GetItem(1), Value(""));
}

TEST(List, DeleteItemShiftsLaterItemsDown) {
    List list = MakeStrings({"a", "b", "c"});
    EXPECT_EQ(list.DeleteItem(-1), List::ListBadIndex);
    EXPECT_EQ(list.DeleteItem(3), List::ListBadIndex);
    EXPECT_EQ(list.DeleteItem(std::numeric_limits<int32_t>::max()), List::ListBadIndex);
    EXPECT_EQ(list.GetItemCount(), 3);
    EXPECT_EQ(list.DeleteItem(0), 0);
    ASSERT_EQ(list.GetItemCount(), 2);
    EXPECT_EQ(list.GetItem(0), Value("b"));
    EXPECT_EQ(list.GetItem(1), Value("c"));
    // The key hashes moved with their texts.
    EXPECT_EQ(list.FindEqual("C", false), 1);
    EXPECT_EQ(list.FindEqual("a", false), List::ListNotFound);
}

TEST(List, DeleteLastItemsChecksItsCount) {
    List list = MakeStrings({"a", "b", "c"});
    EXPECT_EQ(list.DeleteLastItems(0), 0);
    EXPECT_EQ(list.GetItemCount(), 3);
    EXPECT_EQ(list.DeleteLastItems(4), List::ListBadIndex);
    EXPECT_EQ(list.DeleteLastItems(-1), List::ListBadIndex);
    EXPECT_EQ(list.DeleteLastItems(std::numeric_limits<int32_t>::min()), List::ListBadIndex);
    EXPECT_EQ(list.GetItemCount(), 3);
    EXPECT_EQ(list.DeleteLastItems(3), 0);
    EXPECT_EQ(list.GetItemCount(), 0);
    EXPECT_TRUE(list.GetItem(0).IsNull());
}

TEST(List, ExtractRemovesAndReturns) {
    List list = MakeStrings({"a", "b"});
    EXPECT_EQ(list.ExtractLastItem(), Value("b"));
    EXPECT_EQ(list.GetItemCount(), 1);
    EXPECT_EQ(list.GetItem(0), Value("a"));
    EXPECT_TRUE(list.ExtractItem(1).IsNull());
    EXPECT_TRUE(list.ExtractItem(-7).IsNull());
    EXPECT_EQ(list.ExtractItem(0), Value("a"));
    EXPECT_TRUE(list.ExtractLastItem().IsNull());
    EXPECT_EQ(list.GetItemCount(), 0);

    List longs;
    longs.InitLongList();
    longs.AddItem(int32_t{1});
    longs.AddItem(int32_t{2});
    longs.AddItem(int32_t{3});
    EXPECT_EQ(longs.ExtractItem(1), Value(int32_t{2}));
    EXPECT_EQ(longs.GetItem(1), Value(int32_t{3}));
}

TEST(List, SetItemValidatesIndexAndValue) {
    List longs;
    longs.InitLongList();
    for (int32_t i = 0; i < 5; ++i) {
        longs.AddItem(i * 10);
    }
    EXPECT_EQ(longs.SetItem(5, int32_t{1}), List::ListBadIndex);
    EXPECT_EQ(longs.SetItem(-1, int32_t{1}), List::ListBadIndex);
    EXPECT_EQ(longs.SetItem(2, "not a number"), List::ListBadValue);
    EXPECT_EQ(longs.SetItem(2, Value::Null()), List::ListBadValue);
    EXPECT_EQ(longs.SetItem(2, 1e300), List::ListBadValue);
    EXPECT_EQ(longs.GetItem(2), Value(int32_t{20}));
    EXPECT_EQ(longs.SetItem(2, " 99 "), 0);
    EXPECT_EQ(longs.GetItem(2), Value(int32_t{99}));

    List strings = MakeStrings({"Alpha", "beta"});
    EXPECT_EQ(strings.SetItem(0, "Gamma"), 0);
    EXPECT_EQ(strings.FindEqual("gAMMA", false), 0);
    EXPECT_EQ(strings.FindEqual("Alpha", false), List::ListNotFound);
    EXPECT_EQ(strings.SetItem(0, Value::Null()), List::ListBadValue);
    EXPECT_EQ(strings.GetItem(0), Value("Gamma"));
}

TEST(List, ResetAndInitEmptyTheList) {
    List list = MakeStrings({"a", "b"});
    list.Reset();
    EXPECT_EQ(list.GetListMode(), 0);
    EXPECT_EQ(list.GetItemCount(), 0);
    EXPECT_EQ(list.FindEqual("a", false), List::ListNotFound);
    list.AddItem("c");
    list.InitByteList();
    EXPECT_EQ(list.GetListMode(), 3);
    EXPECT_EQ(list.GetItemCount(), 0);
    list.AddItem(uint8_t{7});
    EXPECT_EQ(list.GetItem(0), Value(uint8_t{7}));
    EXPECT_TRUE(list.GetItem(0).Holds<uint8_t>());
}

TEST(List, OddTextsAreKeptByteForByte) {
    List list;
    list.InitStringList();
    const std::string withNul("1\0"
                              "27.0.0.1",
                              10);
    const std::string longText(100000, 'x');
    list.AddItem(withNul);
    list.AddItem(longText);
    EXPECT_EQ(list.GetItem(0), Value(withNul));
    EXPECT_EQ(list.FindEqual(withNul, true), 0);
    EXPECT_EQ(list.FindEqual("1", true), List::ListNotFound);
    EXPECT_EQ(list.FindEqual(std::string(100000, 'X'), false), 1);
    EXPECT_EQ(list.TextAt(1).size(), 100000u);
    EXPECT_TRUE(list.TextAt(2).empty());
}

} // namespace
} // namespace kt

#include "list/List.h"

#include <gtest/gtest.h>
#include <limits>

namespace kt {
namespace {

class FindInStrings : public ::testing::Test {
protected:
    void SetUp() override {
        list.InitStringList();
        list.AddItem("Alpha");
        list.AddItem("beta");
        list.AddItem("alpha");
    }
    List list;
};

TEST_F(FindInStrings, EqualityHonoursCaseDirectionAndStart) {
    EXPECT_EQ(list.FindItem("=", "ALPHA", false, 0, false, 1), 0);
    EXPECT_EQ(list.FindItem("=", "ALPHA", false, 0, true, 1), 2);
    EXPECT_EQ(list.FindItem("=", "alpha", true, 0, false, 1), 2);
    EXPECT_EQ(list.FindItem("=", "Alpha", true, 0, true, 1), 0);
    EXPECT_EQ(list.FindItem("=", "alpha", false, 1, false, 1), 2);
    EXPECT_EQ(list.FindItem("=", "gamma", false, 0, false, 1), List::ListNotFound);
    EXPECT_EQ(list.FindItem("=", "alph", false, 0, false, 1), List::ListNotFound);
}

TEST_F(FindInStrings, ReversedSearchNeverGoesBelowItsStart) {
    EXPECT_EQ(list.FindItem("=", "Alpha", true, 1, true, 1), List::ListNotFound);
    EXPECT_EQ(list.FindItem("=", "beta", false, 2, true, 1), List::ListNotFound);
    EXPECT_EQ(list.FindItem("=", "alpha", true, 2, true, 1), 2);
}

TEST_F(FindInStrings, OperatorAndIndexChecksComeInOrder) {
    EXPECT_EQ(list.FindItem("", "Alpha", false, 0, false, 1), List::ListNoOperator);
    EXPECT_EQ(list.FindItem("=", "Alpha", false, -1, false, 1), List::ListBadIndex);
    EXPECT_EQ(list.FindItem("=", "Alpha", false, 3, false, 1), List::ListBadIndex);
    EXPECT_EQ(list.FindItem("=", "Alpha", false, std::numeric_limits<int32_t>::min(), false, 1),
              List::ListBadIndex);
    EXPECT_EQ(list.FindItem("<", "Alpha", false, 0, false, 1), List::ListBadOperator);
    EXPECT_EQ(list.FindItem(" =", "Alpha", false, 0, false, 1), List::ListBadOperator);
    EXPECT_EQ(list.FindItem("==", "Alpha", false, 0, false, 1), List::ListBadOperator);
    EXPECT_EQ(list.FindItem(std::string("=\0", 2), "Alpha", false, 0, false, 1),
              List::ListBadOperator);
    EXPECT_EQ(list.FindItem("=", Value::Null(), false, 0, false, 1), List::ListBadValue);
    // The value is converted before the operator is looked at.
    EXPECT_EQ(list.FindItem("<", Value::Null(), false, 0, false, 1), List::ListBadValue);

    List empty;
    empty.InitStringList();
    EXPECT_EQ(empty.FindItem("", "x", false, 0, false, 1), List::ListNoOperator);
    EXPECT_EQ(empty.FindItem("=", "x", false, 5, false, 1), List::ListNotFound);
    EXPECT_EQ(empty.FindItem("<", Value::Null(), false, 0, false, 1), List::ListNotFound);
}

TEST_F(FindInStrings, NumbersAreSearchedByTheirText) {
    list.AddItem("8080");
    EXPECT_EQ(list.FindItem("=", int32_t{8080}, true, 0, false, 1), 3);
}

TEST(FindLike, IsAPlainSubstringTestFromAPosition) {
    List list;
    list.InitStringList();
    list.AddItem("10.0.0.1");
    list.AddItem("192.168.0.1");
    EXPECT_EQ(list.FindItem("LIKE", "168", true, 0, false, 1), 1);
    EXPECT_EQ(list.FindItem("LIKE", "168", true, 0, false, 5), 1);
    EXPECT_EQ(list.FindItem("LIKE", "168", true, 0, false, 6), List::ListNotFound);
    EXPECT_EQ(list.FindItem("like", "168", true, 0, false, 1), 1);
    EXPECT_EQ(list.FindItem("Like", ".0.", true, 0, true, 1), 1);
    EXPECT_EQ(list.FindItem("LIKE", "*", true, 0, false, 1), List::ListNotFound);
    EXPECT_EQ(list.FindItem("LIKE", "168", true, 0, false, 1000), List::ListNotFound);
    EXPECT_EQ(list.FindItem("LIKE", "10", true, 0, false, -5), 0);

    List names;
    names.InitStringList();
    names.AddItem("Localhost");
    EXPECT_EQ(names.FindItem("LIKE", "HOST", false, 0, false, 1), 0);
    EXPECT_EQ(names.FindItem("LIKE", "HOST", true, 0, false, 1), List::ListNotFound);
}

class FindInLongs : public ::testing::Test {
protected:
    void SetUp() override {
        list.InitLongList();
        list.AddItem(int32_t{80});
        list.AddItem(int32_t{443});
        list.AddItem(int32_t{8080});
    }
    List list;
};

TEST_F(FindInLongs, EveryRelationWithTheItemOnTheLeft) {
    EXPECT_EQ(list.FindItem("<", int32_t{100}, false, 0, false, 1), 0);
    EXPECT_EQ(list.FindItem(">", int32_t{100}, false, 0, false, 1), 1);
    EXPECT_EQ(list.FindItem(">", int32_t{100}, false, 0, true, 1), 2);
    EXPECT_EQ(list.FindItem(">=", int32_t{443}, false, 0, false, 1), 1);
    EXPECT_EQ(list.FindItem("<=", int32_t{79}, false, 0, false, 1), List::ListNotFound);
    EXPECT_EQ(list.FindItem("<=", int32_t{80}, false, 0, false, 1), 0);
    EXPECT_EQ(list.FindItem("=", "443", false, 0, false, 1), 1);
    EXPECT_EQ(list.FindItem("=", " 442.6 ", false, 0, false, 1), 1);
    EXPECT_EQ(list.FindItem("=", "https", false, 0, false, 1), List::ListBadValue);
    EXPECT_EQ(list.FindItem("=", 1e12, false, 0, false, 1), List::ListBadValue);
    EXPECT_EQ(list.FindItem("LIKE", int32_t{80}, false, 0, false, 1), List::ListNotFound);
    EXPECT_EQ(list.FindItem("<>", int32_t{80}, false, 0, false, 1), List::ListNotFound);
    EXPECT_EQ(list.FindItem("LIKE", "x", false, 0, false, 1), List::ListBadValue);
}

TEST(FindNumbers, EachModeComparesInItsOwnType) {
    List bytes;
    bytes.InitByteList();
    bytes.AddItem(uint8_t{200});
    EXPECT_EQ(bytes.FindItem("=", int32_t{300}, false, 0, false, 1), List::ListBadValue);
    EXPECT_EQ(bytes.FindItem(">", int32_t{127}, false, 0, false, 1), 0); // unsigned
    EXPECT_EQ(bytes.FindItem("=", int32_t{-1}, false, 0, false, 1), List::ListBadValue);

    List integers;
    integers.InitIntegerList();
    integers.AddItem(int32_t{-5});
    EXPECT_EQ(integers.FindItem("<", int32_t{0}, false, 0, false, 1), 0); // signed
    EXPECT_EQ(integers.FindItem("=", int32_t{40000}, false, 0, false, 1), List::ListBadValue);

    List doubles;
    doubles.InitDoubleList();
    doubles.AddItem(0.1);
    doubles.AddItem(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(doubles.FindItem("=", 0.1, false, 0, false, 1), 0);
    EXPECT_EQ(doubles.FindItem("=", 0.1 + 1e-12, false, 0, false, 1), List::ListNotFound);
    EXPECT_EQ(doubles.FindItem("=", std::numeric_limits<double>::quiet_NaN(), false, 0, false, 1),
              List::ListNotFound);
    EXPECT_EQ(doubles.FindItem(">", 0.0, false, 0, true, 1), 0);
}

TEST(FindNumbers, ReversedFromTheLastIndexLooksAtOneItem) {
    List longs;
    longs.InitLongList();
    longs.AddItem(int32_t{1});
    longs.AddItem(int32_t{1});
    EXPECT_EQ(longs.FindItem("=", int32_t{1}, false, 1, true, 1), 1);
    longs.AddItem(int32_t{2});
    EXPECT_EQ(longs.FindItem("=", int32_t{1}, false, 2, true, 1), List::ListNotFound);
}

} // namespace
} // namespace kt

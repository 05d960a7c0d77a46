#include "util/basCQvArrayMgr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace qv {
namespace {

ado::Variant List(std::initializer_list<ado::Variant> items, int32_t lower_bound = 0) {
  return ado::Variant(ado::Array{lower_bound, items});
}

std::vector<ado::Variant> Items(const ado::Variant& array) { return array.AsArray().items; }

TEST(basCQvArrayMgr, AddElementCreatesGrowsAndAppends) {
  ado::Variant array;
  ASSERT_TRUE(QvArrMgr_AddElement(array, ado::Variant("first"), 7, 3));
  ASSERT_EQ(array.Type(), ado::VarType::kArray);
  EXPECT_EQ(array.AsArray().lower_bound, 0);
  EXPECT_EQ(array.AsArray().UpperBound(), 3);
  EXPECT_EQ(Items(array)[0], ado::Variant("first"));

  ado::Variant list = List({"a", "b"});
  ASSERT_TRUE(QvArrMgr_AddElement(list, ado::Variant("c"), -1, 0));
  EXPECT_EQ(Items(list), Items(List({"a", "b", "c"})));
  // Beyond the end: room up to index + growth; negative growth is none.
  ASSERT_TRUE(QvArrMgr_AddElement(list, ado::Variant("f"), 5, 2));
  EXPECT_EQ(list.AsArray().UpperBound(), 7);
  EXPECT_EQ(Items(list)[5], ado::Variant("f"));
  EXPECT_TRUE(Items(list)[4].IsEmpty());
  ASSERT_TRUE(QvArrMgr_AddElementToArray(list, ado::Variant("x"), 9));
  EXPECT_EQ(list.AsArray().UpperBound(), 9);
  ASSERT_TRUE(QvArrMgr_AddElement(list, ado::Variant("y"), 10, -5));
  EXPECT_EQ(list.AsArray().UpperBound(), 10);
  // Inside the array: replaced in place.
  ASSERT_TRUE(QvArrMgr_AddElementToArray(list, ado::Variant("B"), 1));
  EXPECT_EQ(Items(list)[1], ado::Variant("B"));
}

TEST(basCQvArrayMgr, AddElementBelowTheLowerBoundFails) {
  ado::Variant list = List({"a"}, 1);
  EXPECT_FALSE(QvArrMgr_AddElementToArray(list, ado::Variant("z"), 0));
  EXPECT_EQ(Items(list), Items(List({"a"})));
}

TEST(basCQvArrayMgr, ExistsMatchesTextIgnoringCase) {
  ado::Variant list = List({"x", ado::Variant(), "ABC", int32_t{5}, ""});
  int32_t found = 99;
  EXPECT_TRUE(Exists(list, ado::Variant("abc"), found, 0));
  EXPECT_EQ(found, 2);
  EXPECT_FALSE(Exists(list, ado::Variant("abc"), found, 3));
  EXPECT_EQ(found, -1);
  EXPECT_TRUE(Exists(list, ado::Variant("5"), found, 0));
  EXPECT_EQ(found, 3);
  EXPECT_TRUE(QvArrMgr_IsValueInArray("X", list, found, 0));
  EXPECT_EQ(found, 0);
  // Empty text never matches, and a value that is not an array holds nothing.
  EXPECT_FALSE(Exists(list, ado::Variant(""), found, 0));
  EXPECT_FALSE(Exists(list, ado::Variant(), found, 0));
  EXPECT_FALSE(Exists(ado::Variant("abc"), ado::Variant("abc"), found, 0));
  EXPECT_EQ(found, -1);
  EXPECT_TRUE(Exists(List({"Grüße"}), ado::Variant("GRÜSSE"), found, 0));
}

TEST(basCQvArrayMgr, SimpleConcatenateJoinsOrPassesThrough) {
  EXPECT_EQ(Items(QvArrMgr_SimpleConcatenate(List({"a", "b"}), List({"c"}))),
            Items(List({"a", "b", "c"})));
  EXPECT_EQ(Items(QvArrMgr_SimpleConcatenate(List({"a", "b"}), List({}))), Items(List({"a", "b"})));
  EXPECT_EQ(Items(QvArrMgr_SimpleConcatenate(List({}), List({"c"}))), Items(List({"c"})));
  EXPECT_EQ(Items(QvArrMgr_SimpleConcatenate(ado::Variant("x"), List({"c"}))), Items(List({"c"})));
  EXPECT_EQ(Items(QvArrMgr_SimpleConcatenate(List({"a"}), ado::Variant(int32_t{3}))),
            Items(List({"a"})));
  EXPECT_TRUE(QvArrMgr_SimpleConcatenate(ado::Variant("x"), ado::Variant()).IsEmpty());
  // Duplicates stay.
  EXPECT_EQ(Items(QvArrMgr_Concatenate(List({"a"}), List({"A"}), false)), Items(List({"a", "A"})));
}

TEST(basCQvArrayMgr, ConcatenateWithoutDuplicatesKeepsFirstOccurrences) {
  EXPECT_EQ(Items(Concatenate_RemoveDuplicates(List({"a", "B", "a"}), List({"b", "c"}))),
            Items(List({"a", "B", "c"})));
  EXPECT_EQ(Items(QvArrMgr_Concatenate(List({int32_t{5}, "x"}), List({"5", "y", "X"}), true)),
            Items(List({int32_t{5}, "x", "y"})));
  // Elements without text are never duplicates.
  EXPECT_EQ(Items(QvArrMgr_Concatenate(List({"", "a"}), List({""}), true)),
            Items(List({"", "a", ""})));
  ado::Variant none = QvArrMgr_Concatenate(List({}), List({}), true);
  ASSERT_EQ(none.Type(), ado::VarType::kArray);
  EXPECT_TRUE(Items(none).empty());
}

TEST(basCQvArrayMgr, AddLeavesTheTargetAloneForNonArrays) {
  ado::Variant target = List({"a"});
  EXPECT_EQ(Items(QvArrMgr_Add(ado::Variant("b"), target)), Items(target));
  EXPECT_TRUE(QvArrMgr_Add(List({"b"}), ado::Variant()).IsEmpty());
  EXPECT_EQ(Items(QvArrMgr_Add(List({"B", "c", "C"}), target)), Items(List({"a", "B", "c"})));
}

TEST(basCQvArrayMgr, SortArrayOrdersAndWritesBackTheBounds) {
  ado::Variant array = List({int32_t{3}, int32_t{1}, int32_t{2}});
  ado::Variant companion = List({"c", "a", "b"});
  int32_t low = -1;
  int32_t high = -1;
  QvArrMgr_SortArray(array, low, high, &companion);
  EXPECT_EQ(low, 0);
  EXPECT_EQ(high, 2);
  EXPECT_EQ(Items(array), Items(List({int32_t{1}, int32_t{2}, int32_t{3}})));
  EXPECT_EQ(Items(companion), Items(List({"a", "b", "c"})));
}

TEST(basCQvArrayMgr, SortArrayHandlesMixedValuesAndEdgeShapes) {
  auto sorted = [](ado::Variant array) {
    int32_t low = -1;
    int32_t high = -1;
    QvArrMgr_SortArray(array, low, high);
    return Items(array);
  };
  // Numbers by value before texts; texts by character code.
  EXPECT_EQ(sorted(List({"b", int32_t{10}, "B", 2.5, "a", int32_t{2}})),
            Items(List({int32_t{2}, 2.5, int32_t{10}, "B", "a", "b"})));
  EXPECT_EQ(sorted(List({"x"})), Items(List({"x"})));
  EXPECT_EQ(sorted(List({})), Items(List({})));
  EXPECT_EQ(sorted(List({"b", "a", "b", "a", "b"})), Items(List({"a", "a", "b", "b", "b"})));
  EXPECT_EQ(sorted(List({int32_t{1}, int32_t{2}, int32_t{3}, int32_t{4}})),
            Items(List({int32_t{1}, int32_t{2}, int32_t{3}, int32_t{4}})));
  EXPECT_EQ(sorted(List({int32_t{4}, int32_t{3}, int32_t{2}, int32_t{1}})),
            Items(List({int32_t{1}, int32_t{2}, int32_t{3}, int32_t{4}})));
  // Not an array: left alone.
  ado::Variant text("cba");
  int32_t low = -1;
  int32_t high = -1;
  QvArrMgr_SortArray(text, low, high);
  EXPECT_EQ(text, ado::Variant("cba"));
  EXPECT_EQ(low, -1);
}

TEST(basCQvArrayMgr, SortArrayKeepsCompanionsAlignedOverASubrange) {
  ado::Variant array = List({"z", "d", "c", "b", "a", "y"}, 1);
  ado::Variant index =
      List({int32_t{1}, int32_t{2}, int32_t{3}, int32_t{4}, int32_t{5}, int32_t{6}}, 1);
  ado::Variant ignored("not an array");
  int32_t low = 2;
  int32_t high = 5;
  QvArrMgr_SortArray(array, low, high, nullptr, &ignored, &index);
  EXPECT_EQ(Items(array), Items(List({"z", "a", "b", "c", "d", "y"})));
  EXPECT_EQ(Items(index),
            Items(List({int32_t{1}, int32_t{5}, int32_t{4}, int32_t{3}, int32_t{2}, int32_t{6}})));
  EXPECT_EQ(ignored, ado::Variant("not an array"));
}

TEST(basCQvArrayMgr, SortArrayOfManyValuesKeepsEveryCompanionWithItsElement) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<int32_t> value(0, 500);
  ado::Array values;
  ado::Array positions;
  for (int32_t i = 0; i < 5000; ++i) {
    values.items.emplace_back(value(random));
    positions.items.emplace_back(i);
  }
  ado::Variant array(values);
  ado::Variant companion(positions);
  int32_t low = -1;
  int32_t high = -1;
  QvArrMgr_SortArray(array, low, high, &companion);

  const auto& sorted = array.AsArray().items;
  const auto& moved = companion.AsArray().items;
  ASSERT_EQ(sorted.size(), values.items.size());
  std::vector<bool> seen(sorted.size());
  for (size_t k = 0; k < sorted.size(); ++k) {
    if (k > 0) {
      EXPECT_LE(sorted[k - 1].AsInt64(), sorted[k].AsInt64());
    }
    auto origin = static_cast<size_t>(moved[k].AsInt64());
    EXPECT_FALSE(seen[origin]);
    seen[origin] = true;
    EXPECT_EQ(sorted[k], values.items[origin]);  // the companion moved with its element
  }
}

TEST(basCQvArrayMgr, SortArrayWithAShortCompanionStopsWithoutLosingElements) {
  ado::Variant array = List({int32_t{3}, int32_t{2}, int32_t{1}});
  ado::Variant short_companion = List({"only"});
  int32_t low = -1;
  int32_t high = -1;
  QvArrMgr_SortArray(array, low, high, &short_companion);
  std::vector<ado::Variant> items = Items(array);
  ASSERT_EQ(items.size(), 3u);
  std::vector<int64_t> numbers;
  for (const auto& item : items) numbers.push_back(item.AsInt64());
  std::sort(numbers.begin(), numbers.end());
  EXPECT_EQ(numbers, (std::vector<int64_t>{1, 2, 3}));
  EXPECT_EQ(Items(short_companion), Items(List({"only"})));
}

}  // namespace
}  // namespace qv

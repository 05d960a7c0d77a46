#include "util/basCQvArrayMgr.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "core/Error.h"
#include "core/Text.h"
#include "shared/ErrorBoundary.h"
#include "shared/EventSink.h"
#include "util/basCQvStringManipulation.h"

namespace qv {

namespace {

constexpr int32_t kLevelConcatenate = 16;

bool IsVariantArray(const ado::Variant& value) { return value.Type() == ado::VarType::kArray; }

[[noreturn]] void ThrowSubscriptOutOfRange() {
  throw core::Error(core::kErrSubscriptOutOfRange, "", "Subscript out of range");
}

ado::Variant& At(ado::Array& array, int64_t index) {
  if (index < array.lower_bound || index > array.UpperBound()) ThrowSubscriptOutOfRange();
  return array.items[static_cast<size_t>(index - array.lower_bound)];
}

// Makes `array` span lower_bound .. upper, keeping its elements.
void Resize(ado::Array& array, int64_t upper) {
  int64_t size = upper - array.lower_bound + 1;
  if (size < 0) ThrowSubscriptOutOfRange();
  array.items.resize(static_cast<size_t>(size));
}

void AddElementTo(ado::Array& array, const ado::Variant& value, int64_t index, int32_t growth) {
  if (index < 0) index = static_cast<int64_t>(array.UpperBound()) + 1;
  if (index > array.UpperBound()) Resize(array, index + growth);
  At(array, index) = value;
}

// Index of the first element at or after `start` whose text folds to `folded_value`.
int32_t FindText(const ado::Array& array, const std::string& folded_value, int64_t start) {
  if (folded_value.empty()) return -1;
  for (int64_t i = start; i <= array.UpperBound(); ++i) {
    if (i < array.lower_bound) ThrowSubscriptOutOfRange();
    std::string text = QvStrMan_VarToStr(array.items[static_cast<size_t>(i - array.lower_bound)]);
    if (text.empty()) continue;
    if (core::FoldCase(text) == folded_value) return static_cast<int32_t>(i);
  }
  return -1;
}

// `target` followed by the source elements whose text it lacks.
ado::Array AddMissing(const ado::Array& source, ado::Array target) {
  target.items.reserve(target.items.size() + source.items.size());
  for (const ado::Variant& element : source.items) {
    std::string text = QvStrMan_VarToStr(element);
    // Elements without text never match, so they are always added.
    if (text.empty() || FindText(target, core::FoldCase(text), target.lower_bound) < 0) {
      target.items.push_back(element);
    }
  }
  return target;
}

// Half-way index of the range, a half going to the even neighbour.
int64_t MiddleIndex(int64_t low, int64_t high) {
  int64_t sum = low + high;
  int64_t floor_half = sum >= 0 ? sum / 2 : -((-sum + 1) / 2);
  if (sum % 2 == 0) return floor_half;
  return floor_half % 2 == 0 ? floor_half : floor_half + 1;
}

bool Less(const ado::Variant& a, const ado::Variant& b) {
  return ado::Compare(a, b) == ado::CompareResult::kLess;
}

class Sorter {
 public:
  Sorter(ado::Array& array, std::vector<ado::Array*> companions)
      : array_(array), companions_(std::move(companions)) {}

  void Sort(int64_t low, int64_t high) {
    // Recurse into the smaller part and loop on the larger, so the depth stays
    // logarithmic whatever the input order.
    while (low < high) {
      int64_t i = low;
      int64_t j = high;
      const ado::Variant pivot = At(array_, MiddleIndex(low, high));
      while (i <= j) {
        while (i < high && Less(At(array_, i), pivot)) ++i;
        while (j > low && Less(pivot, At(array_, j))) --j;
        if (i > j) break;
        Swap(i, j);
        ++i;
        --j;
      }
      if (j - low < high - i) {
        if (low < j) Sort(low, j);
        low = i;
      } else {
        if (i < high) Sort(i, high);
        high = j;
      }
    }
  }

 private:
  void Swap(int64_t i, int64_t j) {
    std::swap(At(array_, i), At(array_, j));
    for (ado::Array* companion : companions_) std::swap(At(*companion, i), At(*companion, j));
  }

  ado::Array& array_;
  std::vector<ado::Array*> companions_;
};

}  // namespace

bool QvArrMgr_AddElement(ado::Variant& array, const ado::Variant& value, int32_t index,
                         int32_t growth) {
  return Guard(
      TraceEvent, false,
      [&](int& line) {
        line = 1;
        growth = std::max(growth, 0);
        ado::Array elements;
        if (IsVariantArray(array)) {
          elements = array.AsArray();
          AddElementTo(elements, value, index, growth);
        } else {
          line = 2;
          Resize(elements, growth);
          elements.items[0] = value;
        }
        line = 3;
        array = ado::Variant(std::move(elements));
        return true;
      },
      Fixed(".QvArrMgr_ddElement"));
}

bool QvArrMgr_AddElementToArray(ado::Variant& array, const ado::Variant& value, int32_t index) {
  try {
    return QvArrMgr_AddElement(array, value, index, 0);
  } catch (...) {
    TraceEvent(".QvArrMgr_AddElementToArray", CurrentErrorRecord(), kEventError, kLevelDetail);
    return false;
  }
}

bool Exists(const ado::Variant& array, const ado::Variant& value, int32_t& found_index,
            int32_t start) {
  found_index = -1;
  return Guard(
      TraceEvent, false,
      [&](int&) {
        if (!IsVariantArray(array)) return false;
        found_index = FindText(array.AsArray(), core::FoldCase(QvStrMan_VarToStr(value)), start);
        return found_index >= 0;
      },
      Fixed(".Exists"));
}

bool QvArrMgr_IsValueInArray(const std::string& value_text, const ado::Variant& array,
                             int32_t& found_index, int32_t start) {
  try {
    return Exists(array, ado::Variant(value_text), found_index, start);
  } catch (...) {
    TraceEvent(".QvArrMgr_IsValueInArray", CurrentErrorRecord(), kEventError, kLevelDetail);
    return false;
  }
}

ado::Variant QvArrMgr_Add(const ado::Variant& source, const ado::Variant& target) {
  return Guard(
      TraceEvent, ado::Variant(),
      [&](int& line) {
        line = 1;
        if (!IsVariantArray(source) || !IsVariantArray(target)) return target;
        line = 2;
        return ado::Variant(AddMissing(source.AsArray(), target.AsArray()));
      },
      AtLine(".QvArrMgr_Add, @Line#"));
}

ado::Variant QvArrMgr_SimpleConcatenate(const ado::Variant& varArray1,
                                        const ado::Variant& varArray2) {
  return Guard(
      TraceEvent, ado::Variant(),
      [&](int& line) {
        line = 1;
        bool first_is_array = IsVariantArray(varArray1);
        bool second_is_array = IsVariantArray(varArray2);
        if (!first_is_array && !second_is_array) {
          TraceEvent(".QvArrMgr_SimpleConcatenate - neither varArray1 or varArray2 are arrays",
                     core::ErrorRecord{}, kEventWarning, kLevelConcatenate);
          return ado::Variant();
        }
        if (!second_is_array) return varArray1;
        if (!first_is_array) return varArray2;
        line = 2;
        const ado::Array& second = varArray2.AsArray();
        if (second.items.empty()) return varArray1;
        if (varArray1.AsArray().items.empty()) return varArray2;
        line = 3;
        ado::Array joined = varArray1.AsArray();
        joined.items.insert(joined.items.end(), second.items.begin(), second.items.end());
        return ado::Variant(std::move(joined));
      },
      AtLine(".QvArrMgr_SimpleConcatenate, @Line#"));
}

ado::Variant Concatenate_RemoveDuplicates(const ado::Variant& first, const ado::Variant& second) {
  return Guard(
      TraceEvent, ado::Variant(),
      [&](int& line) {
        line = 1;
        ado::Variant joined = QvArrMgr_SimpleConcatenate(first, second);
        line = 2;
        return QvArrMgr_Add(joined, ado::Variant(ado::Array{}));
      },
      AtLine(".Concatenate_RemoveDuplicates,#Line="));
}

ado::Variant QvArrMgr_Concatenate(const ado::Variant& first, const ado::Variant& second,
                                  bool remove_duplicates) {
  return remove_duplicates ? Concatenate_RemoveDuplicates(first, second)
                           : QvArrMgr_SimpleConcatenate(first, second);
}

void QvArrMgr_SortArray(ado::Variant& array, int32_t& low, int32_t& high, ado::Variant* companion1,
                        ado::Variant* companion2, ado::Variant* companion3,
                        ado::Variant* companion4, ado::Variant* companion5,
                        ado::Variant* companion6) {
  if (!IsVariantArray(array)) return;
  ado::Array elements = array.AsArray();
  if (low == -1) low = elements.lower_bound;
  if (high == -1) high = elements.UpperBound();

  // Work on copies and store them back whether or not the sort completes: a failed sort
  // leaves the swaps made so far in place.
  std::vector<ado::Variant*> targets;
  std::vector<ado::Array> copies;
  for (ado::Variant* companion :
       {companion1, companion2, companion3, companion4, companion5, companion6}) {
    if (companion == nullptr || companion == &array || !IsVariantArray(*companion)) continue;
    if (std::find(targets.begin(), targets.end(), companion) != targets.end()) continue;
    targets.push_back(companion);
  }
  copies.reserve(targets.size());
  for (ado::Variant* target : targets) copies.push_back(target->AsArray());
  std::vector<ado::Array*> companions;
  companions.reserve(copies.size());
  for (ado::Array& copy : copies) companions.push_back(&copy);

  const int64_t from = low;
  const int64_t to = high;
  Guard(
      TraceEvent, 0,
      [&](int&) {
        Sorter(elements, companions).Sort(from, to);
        return 0;
      },
      Fixed(".QvArrMgr_SortArray"));

  array = ado::Variant(std::move(elements));
  for (size_t k = 0; k < targets.size(); ++k) *targets[k] = ado::Variant(std::move(copies[k]));
}

}  // namespace qv

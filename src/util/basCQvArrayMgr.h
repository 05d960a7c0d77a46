#pragma once

#include <cstdint>
#include <string>

#include "values/Variant.h"

// Routines over one-dimensional arrays of variants held in variants (VarType::kArray;
// a byte array counts as a single value, not as an array).
// Arrays these routines create start at index 0. Elements are matched by their text
// (QvStrMan_VarToStr), case-insensitively; elements whose text is empty never match.
// Failures are reported to the module trace routine and give false or an empty result.
namespace qv {

// Stores `value` at `index` of `array`, growing the array to 0 .. index + growth when the
// index lies beyond its end; an index below 0 appends. A variable that holds no array
// becomes a new array 0 .. growth with the value at 0. Growth below 0 counts as 0.
bool QvArrMgr_AddElement(ado::Variant& array, const ado::Variant& value, int32_t index,
                         int32_t growth);

// QvArrMgr_AddElement without reserved room.
bool QvArrMgr_AddElementToArray(ado::Variant& array, const ado::Variant& value, int32_t index);

// True when an element at or after `start` has the text of `value` (case-insensitive);
// `found_index` is its index, or -1 when there is none or `array` is not an array.
bool Exists(const ado::Variant& array, const ado::Variant& value, int32_t& found_index,
            int32_t start);

// Exists for a text value.
bool QvArrMgr_IsValueInArray(const std::string& value_text, const ado::Variant& array,
                             int32_t& found_index, int32_t start);

// `target` followed by the elements of `source` whose text it does not hold yet, in
// source order (a source element that repeats an earlier one is added once). When either
// is not an array the result is `target` unchanged.
ado::Variant QvArrMgr_Add(const ado::Variant& source, const ado::Variant& target);

// The elements of `varArray1` followed by those of `varArray2`. When only one of them
// is an array, that one; when neither is, an empty value.
ado::Variant QvArrMgr_SimpleConcatenate(const ado::Variant& varArray1,
                                        const ado::Variant& varArray2);

// The distinct elements of both arrays, each at its first occurrence.
ado::Variant Concatenate_RemoveDuplicates(const ado::Variant& first, const ado::Variant& second);

ado::Variant QvArrMgr_Concatenate(const ado::Variant& first, const ado::Variant& second,
                                  bool remove_duplicates);

// Sorts `array` in place between `low` and `high` (increasing, by ado::Compare: numbers
// by value, then texts by code), moving the elements of every companion array in step.
// A bound of -1 stands for the array's own bound and is written back. Not stable. A
// companion that is not an array is ignored; one that does not cover the range is a
// failure, after which the elements swapped so far stay where they are.
void QvArrMgr_SortArray(ado::Variant& array, int32_t& low, int32_t& high,
                        ado::Variant* companion1 = nullptr, ado::Variant* companion2 = nullptr,
                        ado::Variant* companion3 = nullptr, ado::Variant* companion4 = nullptr,
                        ado::Variant* companion5 = nullptr, ado::Variant* companion6 = nullptr);

}  // namespace qv

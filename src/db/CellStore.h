#pragma once

// Values read from a database stored into a RecordStore as a recordset file holds them,
// for every back end.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "values/RecordStore.h"
#include "values/Variant.h"

namespace core {
class Error;
}

namespace ado::cells {

// The values of a failed row after the failed column: columns [from, to) of `record`,
// each stored by `store_value`, which throws core::Error for one it cannot read.
struct RowRest {
  RecordStore& store;
  size_t record;
  size_t from;
  size_t to;
  std::function<void(size_t field)> store_value;
};

// Rethrows `error` as a CellError for the column and the row (from 1), after storing what
// it can of `rest` (a value that fails is null): the row's key then names it.
[[noreturn]] void RethrowForColumn(const core::Error& error, const std::string& column, int64_t row,
                                   const RowRest& rest);

// `units` UTF-16 code units at `data` (any alignment) into `out` as UTF-8; returns how
// many unpaired surrogates became U+FFFD.
size_t IcuUtf16ToUtf8(const char* data, size_t units, std::string& out);
// UTF-8 from a driver with each ill-formed sequence as U+FFFD; returns how many.
size_t CheckedUtf8(const char* data, size_t bytes, std::string& out);
// A GUID's text as {XXXXXXXX-...}, upper case; other text is left as it is.
void GuidText(std::string& text);

// A whole number as the field's integer type; throws kErrOverflow naming the value when
// the type cannot hold it.
void StoreInteger(RecordStore& store, size_t record, size_t field, VarType type, int64_t v);
void StoreUnsigned(RecordStore& store, size_t record, size_t field, VarType type, uint64_t v);
// A decimal's text as an exact Decimal; throws kErrDataConversion naming the text when
// it is not one (NaN, Infinity) or has too many digits.
void StoreDecimal(RecordStore& store, size_t record, size_t field, std::string_view text);
// The date of `parts` as the file will hold it in a field of `ado_type`; a date the
// field cannot hold throws, naming the value.
void StoreDate(RecordStore& store, size_t record, size_t field, int32_t ado_type,
               const Date::Parts& parts);

}  // namespace ado::cells

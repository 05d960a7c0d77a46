#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "values/FieldDef.h"
#include "values/RecordStore.h"
#include "values/Variant.h"

// How a field's type shapes the values assigned to it, and the definitions that
// Fields.Append gives.
namespace ado {

// The definition Fields.Append makes of its arguments:
// - defined_size > 0 is kept; otherwise a fixed-size type gets its storage size
//   (adInteger 4, adDouble 8, adBoolean 2, adDate 8, adCurrency 8, adNumeric 19 ...) and
//   a variable-size type -1 (no limit);
// - attributes other than adFldUnspecified are kept as given (so a copied structure
//   keeps its source's flags); adFldUnspecified gives adFldUpdatable, plus adFldFixed
//   for fixed-length types and adFldLong for the long types. The field is not nullable
//   unless the caller says so, but null values are accepted anyway;
// - precision and numeric scale are 0; callers set them afterwards.
FieldDef AppendedFieldDef(std::string name, int32_t type, int64_t defined_size, int32_t attributes);

// Storage size of a fixed-size type; 0 for the variable-size ones (texts, binaries).
int64_t FixedTypeSize(int32_t type);
bool IsTextType(int32_t type);
bool IsBinaryType(int32_t type);
// Types whose values have one length: numbers, dates, Booleans, GUIDs, adChar,
// adWChar, adBinary.
bool IsFixedLengthType(int32_t type);
bool IsLongType(int32_t type);
// Whole, floating, decimal and currency types.
bool IsNumericType(int32_t type);
bool IsDateType(int32_t type);

// The value converted as ADO converts an assignment to a field of that type: text
// "5" into adInteger gives 5, a double into adInteger rounds half to even. Null stays
// null; empty becomes null except in an adVariant field, which takes any value as it
// is. Throws core::Error kErrDataConversion (3421) when the value does not convert, is
// out of the type's range, or is a text longer than a fixed-length text field's
// defined size.
Variant ConvertToFieldType(const FieldDef& field, const Variant& value);

// ConvertToFieldType written straight into the store; texts and byte arrays are copied
// into the store's arena without an intermediate copy.
void StoreFieldValue(RecordStore& store, size_t record, size_t column, const FieldDef& field,
                     const Variant& value);

}  // namespace ado

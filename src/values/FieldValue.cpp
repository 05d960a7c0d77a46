#include "values/FieldValue.h"

#include <cfloat>
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>

#include "core/Text.h"
#include "values/RecordsetErrors.h"

namespace ado {

namespace {

std::string Describe(const Variant& value) {
  try {
    return value.TypeName() + " '" + value.ToText() + "'";
  } catch (const core::Error&) {
    return value.TypeName();
  }
}

[[noreturn]] void ThrowConversion(const FieldDef& field, const Variant& value,
                                  std::string_view why) {
  std::string detail = "field '" + field.name + "' (type " + std::to_string(field.type) +
                       ") cannot take " + Describe(value);
  if (!why.empty()) {
    detail += ": ";
    detail += why;
  }
  ThrowAdoError(core::kErrDataConversion, kFieldSource, detail);
}

// Runs a VB conversion and reports its failure as a field conversion error.
template <typename Fn>
auto Convert(const FieldDef& field, const Variant& value, Fn&& fn) -> decltype(fn()) {
  try {
    return fn();
  } catch (const core::Error& e) {
    ThrowConversion(field, value, e.what());
  }
}

// `type` is one of the whole-number types WholeRangeOf knows.
Variant ToWhole(const FieldDef& field, const Variant& value, VarType type) {
  const int64_t n = Convert(field, value, [&] { return value.ToInt64(); });
  const WholeRange range = *WholeRangeOf(type);
  if (n < range.min || n > range.max) ThrowConversion(field, value, "out of range");
  return Variant::Integer(type, n);
}

Variant ToUnsigned64(const FieldDef& field, const Variant& value) {
  if (value.Type() == VarType::kUI8) return value;
  const int64_t n = Convert(field, value, [&] { return value.ToInt64(); });
  if (n < 0) ThrowConversion(field, value, "out of range");
  return Variant::UnsignedInteger(static_cast<uint64_t>(n));
}

void CheckTextLength(const FieldDef& field, std::string_view text, const Variant& value) {
  // A fixed-length text field refuses a longer value; variable-length fields keep what
  // the data source gave them, whatever size it reported.
  if (field.defined_size > 0 && (field.type == adChar || field.type == adWChar) &&
      core::CodePointCount(text) > static_cast<uint64_t>(field.defined_size)) {
    ThrowConversion(
        field, value,
        "longer than the field's " + std::to_string(field.defined_size) + " characters");
  }
}

}  // namespace

int64_t FixedTypeSize(int32_t type) {
  switch (type) {
    case adTinyInt:
    case adUnsignedTinyInt:
      return 1;
    case adSmallInt:
    case adUnsignedSmallInt:
    case adBoolean:
      return 2;
    case adInteger:
    case adUnsignedInt:
    case adSingle:
    case adError:
      return 4;
    case adBigInt:
    case adUnsignedBigInt:
    case adDouble:
    case adCurrency:
    case adDate:
    case adFileTime:
      return 8;
    case adDBDate:
    case adDBTime:
      return 6;
    case adDecimal:
    case adGUID:
    case adDBTimeStamp:
    case adVariant:
      return 16;
    case adNumeric:
      return 19;
    default:
      return 0;
  }
}

bool IsTextType(int32_t type) {
  switch (type) {
    case adBSTR:
    case adChar:
    case adWChar:
    case adVarChar:
    case adVarWChar:
    case adLongVarChar:
    case adLongVarWChar:
      return true;
    default:
      return false;
  }
}

bool IsBinaryType(int32_t type) {
  return type == adBinary || type == adVarBinary || type == adLongVarBinary;
}

bool IsFixedLengthType(int32_t type) {
  if (type == adChar || type == adWChar || type == adBinary) return true;
  return FixedTypeSize(type) > 0 && type != adVariant && type != adVarNumeric;
}

bool IsLongType(int32_t type) {
  return type == adLongVarChar || type == adLongVarWChar || type == adLongVarBinary;
}

bool IsNumericType(int32_t type) {
  switch (type) {
    case adTinyInt:
    case adSmallInt:
    case adInteger:
    case adBigInt:
    case adUnsignedTinyInt:
    case adUnsignedSmallInt:
    case adUnsignedInt:
    case adUnsignedBigInt:
    case adSingle:
    case adDouble:
    case adCurrency:
    case adDecimal:
    case adNumeric:
    case adVarNumeric:
      return true;
    default:
      return false;
  }
}

bool IsDateType(int32_t type) {
  return type == adDate || type == adDBDate || type == adDBTime || type == adDBTimeStamp ||
         type == adFileTime;
}

FieldDef AppendedFieldDef(std::string name, int32_t type, int64_t defined_size,
                          int32_t attributes) {
  FieldDef def;
  def.name = std::move(name);
  def.type = type;
  const int64_t fixed = FixedTypeSize(type);
  if (defined_size > 0) {
    def.defined_size = defined_size;
  } else {
    def.defined_size = fixed > 0 ? fixed : -1;
  }
  if (attributes == adFldUnspecified) {
    def.attributes = adFldUpdatable;
    if (IsFixedLengthType(type)) def.attributes |= adFldFixed;
    if (IsLongType(type)) def.attributes |= adFldLong;
  } else {
    def.attributes = attributes;
  }
  return def;
}

Variant ConvertToFieldType(const FieldDef& field, const Variant& value) {
  if (field.type == adVariant) return value;
  if (value.IsNull() || value.IsEmpty()) return Variant::Null();
  switch (field.type) {
    case adTinyInt:
      return ToWhole(field, value, VarType::kI1);
    case adUnsignedTinyInt:
      return ToWhole(field, value, VarType::kUI1);
    case adSmallInt:
      return ToWhole(field, value, VarType::kI2);
    case adUnsignedSmallInt:
      return ToWhole(field, value, VarType::kUI2);
    case adInteger:
      return ToWhole(field, value, VarType::kI4);
    case adUnsignedInt:
      return ToWhole(field, value, VarType::kUI4);
    case adBigInt:
      return ToWhole(field, value, VarType::kI8);
    case adUnsignedBigInt:
      return ToUnsigned64(field, value);
    case adSingle: {
      const double d = Convert(field, value, [&] { return value.ToDouble(); });
      const std::optional<float> single = Variant::NearestSingle(d);
      if (!single) ThrowConversion(field, value, "out of range");
      return Variant::Single(*single);
    }
    case adDouble:
      return Variant(Convert(field, value, [&] { return value.ToDouble(); }));
    case adCurrency:
      if (value.Type() == VarType::kCurrency) return value;
      return Variant(
          Convert(field, value, [&] { return Currency::FromDecimal(value.ToDecimal()); }));
    case adDecimal:
    case adNumeric:
    case adVarNumeric:
      return Variant(Convert(field, value, [&] { return value.ToDecimal(); }));
    case adBoolean:
      return Variant(Convert(field, value, [&] { return value.ToBool(); }));
    case adDate:
    case adDBDate:
    case adDBTime:
    case adDBTimeStamp:
    case adFileTime:
      return Variant(Convert(field, value, [&] { return value.ToDate(); }));
    case adBinary:
    case adVarBinary:
    case adLongVarBinary:
      if (value.Type() != VarType::kBytes) ThrowConversion(field, value, "not a byte array");
      return value;
    default:
      break;
  }
  if (IsTextType(field.type) || field.type == adGUID) {
    if (value.IsString()) {
      CheckTextLength(field, value.AsString(), value);
      return value;
    }
    Variant text(Convert(field, value, [&] { return value.ToText(); }));
    CheckTextLength(field, text.AsString(), value);
    return text;
  }
  // Types a client cursor has no conversion for (chapters, objects ...) keep the value.
  return value;
}

void StoreFieldValue(RecordStore& store, size_t record, size_t column, const FieldDef& field,
                     const Variant& value) {
  // Texts and byte arrays that need no conversion go into the arena directly.
  if (value.IsString() &&
      (IsTextType(field.type) || field.type == adGUID || field.type == adVariant)) {
    CheckTextLength(field, value.AsString(), value);
    store.SetText(record, column, value.AsString());
    return;
  }
  if (value.Type() == VarType::kBytes && (IsBinaryType(field.type) || field.type == adVariant)) {
    store.SetBytes(record, column, value.AsBytes());
    return;
  }
  store.Set(record, column, ConvertToFieldType(field, value));
}

}  // namespace ado

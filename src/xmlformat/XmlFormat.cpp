#include "xmlformat/XmlFormat.h"

#include <cctype>

#include "values/FieldValue.h"

namespace ado::xml {
namespace {

using K = ValueKind;
using V = VarType;

// dt:type, rs:dbtype, maxLength, precision, writes precision, writes scale, fixed, long.
constexpr TypeLayout kTinyInt{"i1", "", 1, 3, true, false, true, false, K::kInteger, V::kI1};
constexpr TypeLayout kSmallInt{"i2", "", 2, 5, true, false, true, false, K::kInteger, V::kI2};
constexpr TypeLayout kInteger{"int", "", 4, 10, true, false, true, false, K::kInteger, V::kI4};
constexpr TypeLayout kBigInt{"i8", "", 8, 19, true, false, true, false, K::kInteger, V::kI8};
constexpr TypeLayout kUTinyInt{"ui1", "", 1, 3, true, false, true, false, K::kInteger, V::kUI1};
constexpr TypeLayout kUSmallInt{"ui2", "", 2, 5, true, false, true, false, K::kInteger, V::kUI2};
constexpr TypeLayout kUInt{"ui4", "", 4, 10, true, false, true, false, K::kInteger, V::kUI4};
constexpr TypeLayout kUBigInt{"ui8", "", 8, 20, true, false, true, false, K::kUnsigned, V::kUI8};
constexpr TypeLayout kSingle{"r4", "", 4, 7, true, false, true, false, K::kSingle, V::kR4};
constexpr TypeLayout kDouble{"float", "", 8, 15, true, false, true, false, K::kDouble, V::kR8};
constexpr TypeLayout kCurrency{"number", "currency", 8,     19,           true,
                               false,    true,       false, K::kCurrency, V::kCurrency};
// DBTYPE_NUMERIC is 19 bytes. For DBTYPE_DECIMAL no file was ever seen; its 16-byte
// size is the natural counterpart.
constexpr TypeLayout kNumeric{"number", "numeric", 19,    38,          true,
                              true,     true,      false, K::kDecimal, V::kDecimal};
constexpr TypeLayout kDecimalType{"number", "decimal", 16,    38,          true,
                                  true,     true,      false, K::kDecimal, V::kDecimal};
constexpr TypeLayout kVarNumeric{"number", "varnumeric", -1,    38,          true,
                                 true,     false,        false, K::kDecimal, V::kDecimal};
constexpr TypeLayout kBoolean{"boolean", "", 2, 0, false, false, true, false, K::kBool, V::kBool};
constexpr TypeLayout kVariantDate{"dateTime", "variantdate", 16,           0,       false, false,
                                  true,       false,         K::kDateTime, V::kDate};
constexpr TypeLayout kTimeStamp{"dateTime", "timestamp", 16,    23,           true,
                                true,       true,        false, K::kDateTime, V::kDate};
constexpr TypeLayout kFileTime{"dateTime", "filetime",   8,       0, false, false, true,
                               false,      K::kDateTime, V::kDate};
constexpr TypeLayout kDbDate{"date", "", 6, 0, false, false, true, false, K::kDate, V::kDate};
constexpr TypeLayout kDbTime{"time", "", 6, 0, false, false, true, false, K::kTime, V::kDate};
constexpr TypeLayout kGuid{"uuid", "", 16, 0, false, false, true, false, K::kGuid, V::kString};
constexpr TypeLayout kChar{"string", "str", -1, 0, false, false, true, false, K::kText, V::kString};
constexpr TypeLayout kVarChar{"string", "str", -1,    0,        false,
                              false,    false, false, K::kText, V::kString};
constexpr TypeLayout kLongVarChar{"string", "str", -1,   0,        false,
                                  false,    false, true, K::kText, V::kString};
constexpr TypeLayout kWChar{"string", "", -1, 0, false, false, true, false, K::kText, V::kString};
constexpr TypeLayout kVarWChar{"string", "",    -1,    0,        false,
                               false,    false, false, K::kText, V::kString};
constexpr TypeLayout kLongVarWChar{"string", "",    -1,   0,        false,
                                   false,    false, true, K::kText, V::kString};
constexpr TypeLayout kBinary{"bin.hex", "",   -1,    0,          false,
                             false,     true, false, K::kBinary, V::kBytes};
constexpr TypeLayout kVarBinary{"bin.hex", "",    -1,    0,          false,
                                false,     false, false, K::kBinary, V::kBytes};
constexpr TypeLayout kLongVarBinary{"bin.hex", "",    -1,   0,          false,
                                    false,     false, true, K::kBinary, V::kBytes};

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace

const TypeLayout& LayoutOf(int32_t ado_type) {
  switch (ado_type) {
    case adTinyInt:
      return kTinyInt;
    case adSmallInt:
      return kSmallInt;
    case adInteger:
      return kInteger;
    case adBigInt:
      return kBigInt;
    case adUnsignedTinyInt:
      return kUTinyInt;
    case adUnsignedSmallInt:
      return kUSmallInt;
    case adUnsignedInt:
      return kUInt;
    case adUnsignedBigInt:
      return kUBigInt;
    case adSingle:
      return kSingle;
    case adDouble:
      return kDouble;
    case adCurrency:
      return kCurrency;
    case adNumeric:
      return kNumeric;
    case adDecimal:
      return kDecimalType;
    case adVarNumeric:
      return kVarNumeric;
    case adBoolean:
      return kBoolean;
    case adDate:
      return kVariantDate;
    case adDBTimeStamp:
      return kTimeStamp;
    case adFileTime:
      return kFileTime;
    case adDBDate:
      return kDbDate;
    case adDBTime:
      return kDbTime;
    case adGUID:
      return kGuid;
    case adChar:
      return kChar;
    case adVarChar:
      return kVarChar;
    case adLongVarChar:
      return kLongVarChar;
    case adWChar:
      return kWChar;
    case adLongVarWChar:
      return kLongVarWChar;
    case adBinary:
      return kBinary;
    case adVarBinary:
      return kVarBinary;
    case adLongVarBinary:
      return kLongVarBinary;
    default:
      return kVarWChar;
  }
}

int32_t AdoTypeFromSchema(std::string_view dt_type, std::string_view db_type, bool fixed,
                          bool is_long) {
  auto is = [&](std::string_view name) { return EqualsAsciiNoCase(dt_type, name); };
  auto db = [&](std::string_view name) { return EqualsAsciiNoCase(db_type, name); };
  if (is("int") || is("i4")) return adInteger;
  if (is("i1")) return adTinyInt;
  if (is("i2")) return adSmallInt;
  if (is("i8")) return adBigInt;
  if (is("ui1")) return adUnsignedTinyInt;
  if (is("ui2")) return adUnsignedSmallInt;
  if (is("ui4")) return adUnsignedInt;
  if (is("ui8")) return adUnsignedBigInt;
  if (is("r4")) return adSingle;
  if (is("float") || is("r8")) return adDouble;
  if (is("boolean")) return adBoolean;
  if (is("fixed.14.4")) return adCurrency;
  if (is("number")) {
    if (db("currency")) return adCurrency;
    if (db("decimal")) return adDecimal;
    if (db("varnumeric")) return adVarNumeric;
    return adNumeric;
  }
  if (is("dateTime") || is("dateTime.tz")) {
    if (db("variantdate")) return adDate;
    if (db("filetime")) return adFileTime;
    return adDBTimeStamp;
  }
  if (is("date")) return adDBDate;
  if (is("time") || is("time.tz")) return adDBTime;
  if (is("uuid")) return adGUID;
  if (is("bin.hex") || is("bin.base64")) {
    if (is_long) return adLongVarBinary;
    return fixed ? adBinary : adVarBinary;
  }
  if (is("char")) return adWChar;
  // "string", no dt:type, or a type this reader does not know: text.
  if (db("str")) {
    if (is_long) return adLongVarChar;
    return fixed ? adChar : adVarChar;
  }
  if (is_long) return adLongVarWChar;
  return fixed ? adWChar : adVarWChar;
}

int64_t DefaultDefinedSize(int32_t ado_type) {
  if (ado_type == adWChar) return 1;  // XDR "char": one character
  // Neither has a schema form of its own; they read as variable-length strings.
  if (ado_type == adError || ado_type == adVariant) return 0;
  return FixedTypeSize(ado_type);
}

bool SameNamespace(std::string_view uri, std::string_view expected) {
  if (expected.starts_with("uuid:")) return EqualsAsciiNoCase(uri, expected);
  return uri == expected;
}

}  // namespace ado::xml

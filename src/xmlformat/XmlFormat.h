#pragma once

#include <cstdint>
#include <string_view>

#include "values/AdoEnums.h"
#include "values/Variant.h"

// Vocabulary of the recordset XML format shared by the reader and the writer: namespace
// URIs, the type table (ADO type <-> dt:type / rs:dbtype / sizes) and the kind of value a
// field holds.
namespace ado::xml {

inline constexpr std::string_view kNsSchema = "uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882";
inline constexpr std::string_view kNsDataType = "uuid:C2F41010-65B3-11d1-A29F-00AA00C14882";
inline constexpr std::string_view kNsRowset = "urn:schemas-microsoft-com:rowset";
inline constexpr std::string_view kNsRow = "#RowsetSchema";

// How a field's values are written and parsed.
enum class ValueKind : uint8_t {
  kText,
  kInteger,   // signed whole numbers, stored with the field's VarType
  kUnsigned,  // ui8
  kSingle,
  kDouble,
  kBool,
  kCurrency,
  kDecimal,
  kDateTime,  // yyyy-mm-ddThh:mm:ss[.fffffffff]
  kDate,      // yyyy-mm-dd
  kTime,      // hh:mm:ss
  kGuid,      // text in {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} form
  kBinary,    // bin.hex
};

// The datatype line of one ADO type.
struct TypeLayout {
  std::string_view dt_type;
  std::string_view db_type;  // rs:dbtype; empty when not written
  int64_t max_length;        // dt:maxLength for fixed-size types; -1: the field's DefinedSize
  uint8_t precision;         // typical precision, used when the field carries none
  bool writes_precision;
  bool writes_scale;
  bool fixed;  // always carries rs:fixedlength='true'
  bool is_long;
  ValueKind kind;
  VarType var_type;  // storage type of values in a RecordStore
};

// Layout of an ADO type. Types without a persisted form of their own (adVariant, adBSTR,
// adChapter, ...) get the layout of a variable-length wide string.
const TypeLayout& LayoutOf(int32_t ado_type);

// The ADO type a schema describes: dt:type picks the family (synonyms such as i4, r8,
// fixed.14.4, dateTime.tz are accepted), rs:dbtype refines it, rs:fixedlength and rs:long
// pick the fixed or long variant. A missing or unknown dt:type is a variable-length
// string.
int32_t AdoTypeFromSchema(std::string_view dt_type, std::string_view db_type, bool fixed,
                          bool is_long);

// DefinedSize of a field whose schema gives no dt:maxLength.
int64_t DefaultDefinedSize(int32_t ado_type);

// Equality of namespace URIs; the uuid: URIs compare without regard to case.
bool SameNamespace(std::string_view uri, std::string_view expected);

}  // namespace ado::xml

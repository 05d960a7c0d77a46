#include "db/odbc/OdbcCells.h"

#include <unicode/ustring.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>

#include "core/Error.h"
#include "core/Text.h"
#include "xmlformat/FileValues.h"

namespace ado::odbc {
namespace {

size_t RoundUp8(size_t n) { return (n + 7) & ~size_t{7}; }

// Returns how many unpaired surrogates became U+FFFD.
size_t IcuUtf16ToUtf8(const char* data, size_t units, std::string& out) {
  std::u16string text(units, u'\0');  // aligned copy for ICU
  std::memcpy(text.data(), data, units * sizeof(char16_t));
  out.assign(units * 3, '\0');
  int32_t length = 0;
  int32_t substitutions = 0;
  UErrorCode status = U_ZERO_ERROR;
  // Unpaired surrogates from a broken value become U+FFFD rather than failing the row.
  u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, text.data(),
                     static_cast<int32_t>(text.size()), 0xFFFD, &substitutions, &status);
  if (U_FAILURE(status)) {
    throw core::Error(core::kErrDataConversion, "ODBC", "Text from the driver is not valid UTF-16");
  }
  out.resize(static_cast<size_t>(length));
  return static_cast<size_t>(substitutions);
}

// UTF-16 code units in native order, at any alignment, into `out` as UTF-8. Most
// values are ASCII and are copied unit by unit; the rest go through ICU. Returns how many
// unpaired surrogates became U+FFFD.
size_t Utf16ToUtf8(const char* data, size_t units, std::string& out) {
  out.resize(units);
  for (size_t i = 0; i < units; ++i) {
    char16_t unit;
    std::memcpy(&unit, data + i * sizeof unit, sizeof unit);
    if (unit >= 0x80) return IcuUtf16ToUtf8(data, units, out);
    out[i] = static_cast<char>(unit);
  }
  return 0;
}

// A GUID's text as {XXXXXXXX-...}, upper case; other text is left as it is.
void GuidText(std::string& text) {
  const bool braced = text.size() == 38 && text.front() == '{' && text.back() == '}';
  if (!braced && text.size() != 36) return;
  if (!braced) {
    text.insert(text.begin(), '{');
    text.push_back('}');
  }
  for (size_t i = 1; i < 37; ++i) {
    char& c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
}

// UTF-8 from the driver with each ill-formed sequence as U+FFFD; returns how many.
size_t CheckedUtf8(const char* data, size_t bytes, std::string& out) {
  out.assign(data, bytes);
  if (core::IsValidUtf8(out)) return 0;
  std::u16string wide(bytes + 1, u'\0');
  int32_t length = 0;
  int32_t substitutions = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(wide.data(), static_cast<int32_t>(wide.size()), &length, data,
                       static_cast<int32_t>(bytes), 0xFFFD, &substitutions, &status);
  if (U_FAILURE(status)) {
    throw core::Error(core::kErrDataConversion, "ODBC", "Text from the driver is not valid UTF-8");
  }
  IcuUtf16ToUtf8(reinterpret_cast<const char*>(wide.data()), static_cast<size_t>(length), out);
  return static_cast<size_t>(substitutions);
}

void StoreInteger(RecordStore& store, size_t record, size_t field, VarType type, int64_t v) {
  int64_t lo = std::numeric_limits<int64_t>::min();
  int64_t hi = std::numeric_limits<int64_t>::max();
  switch (type) {
    case VarType::kI1:
      lo = -128, hi = 127;
      break;
    case VarType::kI2:
      lo = -32768, hi = 32767;
      break;
    case VarType::kI4:
      lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
      break;
    default:
      break;
  }
  if (v < lo || v > hi) {
    throw core::Error(core::kErrOverflow, "ODBC",
                      "Value " + std::to_string(v) + " out of the field's range");
  }
  store.SetInteger(record, field, type, v);
}

void StoreUnsigned(RecordStore& store, size_t record, size_t field, VarType type, uint64_t v) {
  uint64_t hi = std::numeric_limits<uint64_t>::max();
  switch (type) {
    case VarType::kUI1:
      hi = 255;
      break;
    case VarType::kUI2:
      hi = 65535;
      break;
    case VarType::kUI4:
      hi = std::numeric_limits<uint32_t>::max();
      break;
    default:
      break;
  }
  if (v > hi) {
    throw core::Error(core::kErrOverflow, "ODBC",
                      "Value " + std::to_string(v) + " out of the field's range");
  }
  if (type == VarType::kUI8) {
    store.SetUnsigned(record, field, v);
  } else {
    store.SetInteger(record, field, type, static_cast<int64_t>(v));
  }
}

void StoreDecimal(RecordStore& store, size_t record, size_t field, std::string_view text) {
  auto value = Decimal::Parse(text);
  if (!value) {
    throw core::Error(core::kErrDataConversion, "ODBC",
                      "Numeric value '" + std::string(text) + "' does not fit an exact decimal");
  }
  store.SetDecimal(record, field, *value);
}

// The date of `parts` as the file will hold it in the field; a date the field cannot
// hold names its value.
void StoreDate(RecordStore& store, size_t record, size_t field, int32_t ado_type,
               const Date::Parts& parts) {
  Date date;
  try {
    date = FileDate(Date::FromParts(parts), ado_type);
  } catch (const core::Error& error) {
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%09d", parts.year, parts.month,
                  parts.day, parts.hour, parts.minute, parts.second, parts.nanosecond);
    core::ErrorRecord record_error = error.record();
    record_error.description += ": value " + std::string(text);
    throw core::Error(std::move(record_error));
  }
  store.SetDate(record, field, date);
}

// A date with a zero month or day (MariaDB's 0000-00-00 and 2024-00-00) names no day.
bool IsZeroDate(const Date::Parts& parts) { return parts.month == 0 || parts.day == 0; }

}  // namespace

SQLSMALLINT CType(FetchKind kind) {
  switch (kind) {
    case FetchKind::kSigned:
      return SQL_C_SBIGINT;
    case FetchKind::kUnsigned:
      return SQL_C_UBIGINT;
    case FetchKind::kReal:
      return SQL_C_FLOAT;
    case FetchKind::kDouble:
      return SQL_C_DOUBLE;
    case FetchKind::kBit:
      return SQL_C_BIT;
    case FetchKind::kDecimal:
      return SQL_C_CHAR;
    case FetchKind::kTimestamp:
      return SQL_C_TYPE_TIMESTAMP;
    case FetchKind::kDate:
      return SQL_C_TYPE_DATE;
    case FetchKind::kTime:
      return SQL_C_TYPE_TIME;
    case FetchKind::kText:
    case FetchKind::kGuid:
      return SQL_C_WCHAR;
    case FetchKind::kBinary:
      return SQL_C_BINARY;
  }
  return SQL_C_WCHAR;
}

bool IsVariable(FetchKind kind) {
  return kind == FetchKind::kText || kind == FetchKind::kBinary || kind == FetchKind::kDecimal ||
         kind == FetchKind::kGuid;
}

// Bytes of a fixed-size C type. A column-wise bound array of such a type steps by
// exactly this size, whatever buffer length the binding gives.
size_t FixedBytes(SQLSMALLINT c_type) {
  switch (c_type) {
    case SQL_C_FLOAT:
      return sizeof(SQLREAL);
    case SQL_C_DOUBLE:
      return sizeof(SQLDOUBLE);
    case SQL_C_BIT:
      return sizeof(unsigned char);
    case SQL_C_TYPE_TIMESTAMP:
      return sizeof(SQL_TIMESTAMP_STRUCT);
    case SQL_C_TYPE_DATE:
      return sizeof(SQL_DATE_STRUCT);
    case SQL_C_TYPE_TIME:
      return sizeof(SQL_TIME_STRUCT);
    default:
      return sizeof(SQLBIGINT);
  }
}

const char* CTypeName(SQLSMALLINT c_type) {
  switch (c_type) {
    case SQL_C_SBIGINT:
      return "SQL_C_SBIGINT";
    case SQL_C_UBIGINT:
      return "SQL_C_UBIGINT";
    case SQL_C_FLOAT:
      return "SQL_C_FLOAT";
    case SQL_C_DOUBLE:
      return "SQL_C_DOUBLE";
    case SQL_C_BIT:
      return "SQL_C_BIT";
    case SQL_C_TYPE_TIMESTAMP:
      return "SQL_C_TYPE_TIMESTAMP";
    case SQL_C_TYPE_DATE:
      return "SQL_C_TYPE_DATE";
    case SQL_C_TYPE_TIME:
      return "SQL_C_TYPE_TIME";
    case SQL_C_CHAR:
      return "SQL_C_CHAR";
    case SQL_C_WCHAR:
      return "SQL_C_WCHAR";
    default:
      return "SQL_C_BINARY";
  }
}

// Bytes of one bound cell of a variable kind; for text, room for every character as a
// surrogate pair.
size_t CellBytes(FetchKind kind, SQLSMALLINT c_type, size_t chars) {
  switch (kind) {
    case FetchKind::kText:
      if (c_type == SQL_C_CHAR) return RoundUp8(chars * 4 + 1);  // UTF-8
      return RoundUp8((chars * 2 + 1) * sizeof(SQLWCHAR));
    case FetchKind::kGuid:
      return RoundUp8(40 * sizeof(SQLWCHAR));
    case FetchKind::kBinary:
      return RoundUp8(std::max<size_t>(chars, 1));
    case FetchKind::kDecimal:
      return 72;  // 38 digits, sign, point, exponent, NUL
    default:
      return 0;
  }
}

// Room for data in a cell of `bytes`, leaving space for the terminator the driver
// writes after character data.
size_t DataRoom(SQLSMALLINT c_type, size_t bytes) {
  if (c_type == SQL_C_WCHAR) return bytes - sizeof(SQLWCHAR);
  if (c_type == SQL_C_CHAR) return bytes - 1;
  return bytes;
}

// Stores a fixed-size value found at `data` (of `c_type`). Returns false when the value
// was a zero date, stored as null.
bool StoreFixed(const ColumnMapping& map, SQLSMALLINT c_type, const void* data, RecordStore& store,
                size_t record, size_t field) {
  switch (map.kind) {
    case FetchKind::kSigned: {
      SQLBIGINT v;
      std::memcpy(&v, data, sizeof v);
      StoreInteger(store, record, field, map.var_type, v);
      break;
    }
    case FetchKind::kUnsigned: {
      SQLUBIGINT v;
      std::memcpy(&v, data, sizeof v);
      StoreUnsigned(store, record, field, map.var_type, v);
      break;
    }
    case FetchKind::kReal: {
      SQLREAL v;
      if (c_type == SQL_C_DOUBLE) {
        SQLDOUBLE wide;
        std::memcpy(&wide, data, sizeof wide);
        v = static_cast<SQLREAL>(wide);  // a REAL's value, so exact
      } else {
        std::memcpy(&v, data, sizeof v);
      }
      store.SetDouble(record, field, VarType::kR4, static_cast<double>(v));
      break;
    }
    case FetchKind::kDouble: {
      SQLDOUBLE v;
      std::memcpy(&v, data, sizeof v);
      store.SetDouble(record, field, VarType::kR8, v);
      break;
    }
    case FetchKind::kBit: {
      unsigned char v;
      std::memcpy(&v, data, sizeof v);
      store.SetBool(record, field, v != 0);
      break;
    }
    case FetchKind::kTimestamp: {
      SQL_TIMESTAMP_STRUCT v;
      std::memcpy(&v, data, sizeof v);
      Date::Parts parts;
      parts.year = v.year;
      parts.month = v.month;
      parts.day = v.day;
      parts.hour = v.hour;
      parts.minute = v.minute;
      parts.second = v.second;
      parts.nanosecond = static_cast<int32_t>(v.fraction);
      if (IsZeroDate(parts)) {
        store.SetNull(record, field);
        return false;
      }
      StoreDate(store, record, field, map.field.type, parts);
      break;
    }
    case FetchKind::kDate: {
      SQL_DATE_STRUCT v;
      std::memcpy(&v, data, sizeof v);
      Date::Parts parts;
      parts.year = v.year;
      parts.month = v.month;
      parts.day = v.day;
      if (IsZeroDate(parts)) {
        store.SetNull(record, field);
        return false;
      }
      StoreDate(store, record, field, map.field.type, parts);
      break;
    }
    case FetchKind::kTime: {
      SQL_TIME_STRUCT v;
      std::memcpy(&v, data, sizeof v);
      Date::Parts parts;  // the time of day on day zero, as ADO keeps a DBTIME
      parts.hour = v.hour;
      parts.minute = v.minute;
      parts.second = v.second;
      StoreDate(store, record, field, map.field.type, parts);
      break;
    }
    default:
      break;
  }
  return true;
}

// Stores a variable value held whole in `data` (`bytes` long, without terminator);
// `scratch` holds converted text. Returns how many characters of a text the file
// cannot hold were replaced with U+FFFD.
size_t StoreVariable(const ColumnMapping& map, SQLSMALLINT c_type, const char* data, size_t bytes,
                     RecordStore& store, size_t record, size_t field, std::string& scratch) {
  size_t replaced = 0;
  switch (map.kind) {
    case FetchKind::kText:
    case FetchKind::kGuid: {
      replaced = c_type == SQL_C_CHAR ? CheckedUtf8(data, bytes, scratch)
                                      : Utf16ToUtf8(data, bytes / sizeof(char16_t), scratch);
      replaced += SanitizeFileText(scratch);
      if (map.kind == FetchKind::kGuid) GuidText(scratch);
      store.SetText(record, field, scratch);
      break;
    }
    case FetchKind::kBinary:
      store.SetBytes(record, field,
                     std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data), bytes));
      break;
    case FetchKind::kDecimal:
      StoreDecimal(store, record, field, std::string_view(data, bytes));
      break;
    default:
      break;
  }
  return replaced;
}

}  // namespace ado::odbc

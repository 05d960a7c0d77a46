#include "db/odbc/OdbcCells.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>

#include "core/Error.h"
#include "core/Text.h"
#include "db/CellStore.h"
#include "xmlformat/FileValues.h"

namespace ado::odbc {
namespace {

using cells::CheckedUtf8;
using cells::GuidText;
using cells::IcuUtf16ToUtf8;
using cells::StoreDate;
using cells::StoreDecimal;
using cells::StoreInteger;
using cells::StoreUnsigned;

size_t RoundUp8(size_t n) { return (n + 7) & ~size_t{7}; }

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

#include "ado/OdbcTypeMap.h"

#include <sql.h>
#include <sqlext.h>

#include <limits>

#include "ado/AdoEnums.h"

namespace ado::odbc {

namespace {

// DefinedSize of long columns whose driver gives no size, as ADO reports them for
// SQL Server's text, ntext and image.
constexpr int64_t kLongNarrowSize = 2147483647;
constexpr int64_t kLongWideSize = 1073741823;
constexpr int64_t kLongBinarySize = 2147483647;

int64_t SizeOr(uint64_t size, int64_t fallback) {
  if (size == 0 || size > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
    return fallback;
  }
  return static_cast<int64_t>(size);
}

uint8_t Clamp8(int64_t v) {
  if (v < 0) return 0;
  return v > 255 ? 255 : static_cast<uint8_t>(v);
}

void Fixed(ColumnMapping& m, int32_t type, int64_t size, uint8_t precision, FetchKind kind,
           VarType var_type = VarType::kEmpty) {
  m.field.type = type;
  m.field.defined_size = size;
  m.field.precision = precision;
  m.field.attributes |= adFldFixed;
  m.kind = kind;
  if (var_type != VarType::kEmpty) m.var_type = var_type;
}

}  // namespace

void ForUnboundedValues(ColumnDescription& column) {
  switch (column.sql_type) {
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
      column.sql_type = SQL_BIGINT;
      column.is_unsigned = false;
      break;
    case SQL_BINARY:
    case SQL_VARBINARY:
      column.sql_type = SQL_LONGVARBINARY;
      column.column_size = 0;
      break;
    default:
      break;
  }
}

// Choices beyond the plain type table:
// - Every column gets adFldUnknownUpdatable: the client cursor cannot tell whether a
//   column of an arbitrary query can be written back, and that is what ADO marks.
// - SQL_NULLABLE_UNKNOWN counts as nullable (adFldIsNullable and adFldMayBeNull).
// - Numeric and decimal columns are adNumeric with the driver's precision and scale,
//   whatever the driver calls them; their values never pass through a double.
// - Timestamps take the driver's column size and digits as Precision and NumericScale
//   (23 and 3 for a datetime with milliseconds); the stored value keeps the fraction.
// - Long columns keep the driver's size when it gives one, else ADO's sizes for
//   SQL Server's text, ntext and image.
ColumnMapping MapColumn(const ColumnDescription& column, bool text_is_unicode) {
  ColumnMapping m;
  m.field.name = column.name;
  m.field.base_catalog = column.base_catalog;
  m.field.base_schema = column.base_schema;
  m.field.base_table = column.base_table;
  m.field.base_column = column.base_column;
  m.field.autoincrement = column.auto_increment;
  m.field.attributes = adFldUnknownUpdatable;
  if (column.nullable != SQL_NO_NULLS) m.field.attributes |= adFldIsNullable | adFldMayBeNull;

  const bool u = column.is_unsigned;
  int16_t sql_type = column.sql_type;
  if (text_is_unicode) {
    if (sql_type == SQL_CHAR) sql_type = SQL_WCHAR;
    if (sql_type == SQL_VARCHAR) sql_type = SQL_WVARCHAR;
    if (sql_type == SQL_LONGVARCHAR) sql_type = SQL_WLONGVARCHAR;
  }
  switch (sql_type) {
    case SQL_BIT:
      Fixed(m, adBoolean, 2, 0, FetchKind::kBit);
      break;
    case SQL_TINYINT:
      if (u) {
        Fixed(m, adUnsignedTinyInt, 1, 3, FetchKind::kUnsigned, VarType::kUI1);
      } else {
        Fixed(m, adTinyInt, 1, 3, FetchKind::kSigned, VarType::kI1);
      }
      break;
    case SQL_SMALLINT:
      if (u) {
        Fixed(m, adUnsignedSmallInt, 2, 5, FetchKind::kUnsigned, VarType::kUI2);
      } else {
        Fixed(m, adSmallInt, 2, 5, FetchKind::kSigned, VarType::kI2);
      }
      break;
    case SQL_INTEGER:
      if (u) {
        Fixed(m, adUnsignedInt, 4, 10, FetchKind::kUnsigned, VarType::kUI4);
      } else {
        Fixed(m, adInteger, 4, 10, FetchKind::kSigned, VarType::kI4);
      }
      break;
    case SQL_BIGINT:
      if (u) {
        Fixed(m, adUnsignedBigInt, 8, 20, FetchKind::kUnsigned, VarType::kUI8);
      } else {
        Fixed(m, adBigInt, 8, 19, FetchKind::kSigned, VarType::kI8);
      }
      break;
    case SQL_REAL:
      Fixed(m, adSingle, 4, 7, FetchKind::kReal, VarType::kR4);
      break;
    case SQL_FLOAT:
    case SQL_DOUBLE:
      Fixed(m, adDouble, 8, 15, FetchKind::kDouble, VarType::kR8);
      break;
    case SQL_NUMERIC:
    case SQL_DECIMAL:
      Fixed(m, adNumeric, 19, Clamp8(static_cast<int64_t>(column.column_size)), FetchKind::kDecimal,
            VarType::kDecimal);
      m.field.numeric_scale = Clamp8(column.decimal_digits);
      break;
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP:  // the ODBC 2 codes, from drivers the driver manager does not map
      Fixed(m, adDBTimeStamp, 16, Clamp8(static_cast<int64_t>(column.column_size)),
            FetchKind::kTimestamp, VarType::kDate);
      m.field.numeric_scale = Clamp8(column.decimal_digits);
      break;
    case SQL_TYPE_DATE:
    case SQL_DATE:
      Fixed(m, adDBDate, 6, 0, FetchKind::kDate, VarType::kDate);
      break;
    case SQL_TYPE_TIME:
    case SQL_TIME:
      Fixed(m, adDBTime, 6, 0, FetchKind::kTime, VarType::kDate);
      break;
    case SQL_GUID:
      Fixed(m, adGUID, 16, 0, FetchKind::kGuid, VarType::kString);
      break;
    case SQL_CHAR:
      Fixed(m, adChar, SizeOr(column.column_size, 1), 0, FetchKind::kText, VarType::kString);
      break;
    case SQL_WCHAR:
      Fixed(m, adWChar, SizeOr(column.column_size, 1), 0, FetchKind::kText, VarType::kString);
      break;
    case SQL_BINARY:
      Fixed(m, adBinary, SizeOr(column.column_size, 1), 0, FetchKind::kBinary, VarType::kBytes);
      break;
    case SQL_VARCHAR:
      m.field.type = adVarChar;
      m.field.defined_size = SizeOr(column.column_size, kLongNarrowSize);
      break;
    case SQL_VARBINARY:
      m.field.type = adVarBinary;
      m.field.defined_size = SizeOr(column.column_size, kLongBinarySize);
      m.kind = FetchKind::kBinary;
      m.var_type = VarType::kBytes;
      break;
    case SQL_LONGVARCHAR:
      m.field.type = adLongVarChar;
      m.field.defined_size = SizeOr(column.column_size, kLongNarrowSize);
      m.long_data = true;
      break;
    case SQL_WLONGVARCHAR:
      m.field.type = adLongVarWChar;
      m.field.defined_size = SizeOr(column.column_size, kLongWideSize);
      m.long_data = true;
      break;
    case SQL_LONGVARBINARY:
      m.field.type = adLongVarBinary;
      m.field.defined_size = SizeOr(column.column_size, kLongBinarySize);
      m.kind = FetchKind::kBinary;
      m.var_type = VarType::kBytes;
      m.long_data = true;
      break;
    case SQL_WVARCHAR:
    default:
      m.field.type = adVarWChar;
      m.field.defined_size = SizeOr(column.column_size, kLongWideSize);
      break;
  }
  if (m.long_data) m.field.attributes |= adFldLong;
  // A variable column without a usable size is long in all but name.
  if (!m.long_data && (m.kind == FetchKind::kText || m.kind == FetchKind::kBinary) &&
      SizeOr(column.column_size, 0) == 0) {
    m.long_data = true;
  }
  return m;
}

}  // namespace ado::odbc

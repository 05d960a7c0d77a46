#include "db/OdbcTypeMap.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <limits>

#include "values/AdoEnums.h"

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

// Bits of TypeRow::flags.
constexpr uint8_t kFixedLength = 1;  // adFldFixed
constexpr uint8_t kLongData = 2;     // adFldLong, values read in chunks
constexpr uint8_t kSized = 4;        // DefinedSize is the driver's size when usable
constexpr uint8_t kDigits = 8;       // Precision and NumericScale are the driver's

// How one SQL type maps. With kSized, `size` is the DefinedSize when the driver gives
// no usable size; with kDigits, `precision` is unused.
struct TypeRow {  // NOLINT(clang-analyzer-optin.performance.Padding): 30 rows, read in order
  int16_t sql_type;
  bool is_unsigned;  // the row of an unsigned whole-number column
  int32_t ado_type;
  int64_t size;
  uint8_t precision;
  FetchKind kind;
  VarType var_type;
  uint8_t flags;
};

using enum FetchKind;

// The ODBC 2 codes SQL_TIMESTAMP, SQL_DATE and SQL_TIME come from drivers the driver
// manager does not map. SQL_WVARCHAR stands for every type missing here.
constexpr TypeRow kTypes[] = {
    {SQL_BIT, false, adBoolean, 2, 0, kBit, VarType::kString, kFixedLength},
    {SQL_TINYINT, false, adTinyInt, 1, 3, kSigned, VarType::kI1, kFixedLength},
    {SQL_TINYINT, true, adUnsignedTinyInt, 1, 3, kUnsigned, VarType::kUI1, kFixedLength},
    {SQL_SMALLINT, false, adSmallInt, 2, 5, kSigned, VarType::kI2, kFixedLength},
    {SQL_SMALLINT, true, adUnsignedSmallInt, 2, 5, kUnsigned, VarType::kUI2, kFixedLength},
    {SQL_INTEGER, false, adInteger, 4, 10, kSigned, VarType::kI4, kFixedLength},
    {SQL_INTEGER, true, adUnsignedInt, 4, 10, kUnsigned, VarType::kUI4, kFixedLength},
    {SQL_BIGINT, false, adBigInt, 8, 19, kSigned, VarType::kI8, kFixedLength},
    {SQL_BIGINT, true, adUnsignedBigInt, 8, 20, kUnsigned, VarType::kUI8, kFixedLength},
    {SQL_REAL, false, adSingle, 4, 7, kReal, VarType::kR4, kFixedLength},
    {SQL_FLOAT, false, adDouble, 8, 15, kDouble, VarType::kR8, kFixedLength},
    {SQL_DOUBLE, false, adDouble, 8, 15, kDouble, VarType::kR8, kFixedLength},
    {SQL_NUMERIC, false, adNumeric, 19, 0, kDecimal, VarType::kDecimal, kFixedLength | kDigits},
    {SQL_DECIMAL, false, adNumeric, 19, 0, kDecimal, VarType::kDecimal, kFixedLength | kDigits},
    {SQL_TYPE_TIMESTAMP, false, adDBTimeStamp, 16, 0, kTimestamp, VarType::kDate,
     kFixedLength | kDigits},
    {SQL_TIMESTAMP, false, adDBTimeStamp, 16, 0, kTimestamp, VarType::kDate,
     kFixedLength | kDigits},
    {SQL_TYPE_DATE, false, adDBDate, 6, 0, kDate, VarType::kDate, kFixedLength},
    {SQL_DATE, false, adDBDate, 6, 0, kDate, VarType::kDate, kFixedLength},
    {SQL_TYPE_TIME, false, adDBTime, 6, 0, kTime, VarType::kDate, kFixedLength},
    {SQL_TIME, false, adDBTime, 6, 0, kTime, VarType::kDate, kFixedLength},
    {SQL_GUID, false, adGUID, 16, 0, kGuid, VarType::kString, kFixedLength},
    {SQL_CHAR, false, adChar, 1, 0, kText, VarType::kString, kFixedLength | kSized},
    {SQL_WCHAR, false, adWChar, 1, 0, kText, VarType::kString, kFixedLength | kSized},
    {SQL_BINARY, false, adBinary, 1, 0, kBinary, VarType::kBytes, kFixedLength | kSized},
    {SQL_VARCHAR, false, adVarChar, kLongNarrowSize, 0, kText, VarType::kString, kSized},
    {SQL_VARBINARY, false, adVarBinary, kLongBinarySize, 0, kBinary, VarType::kBytes, kSized},
    {SQL_LONGVARCHAR, false, adLongVarChar, kLongNarrowSize, 0, kText, VarType::kString,
     kSized | kLongData},
    {SQL_WLONGVARCHAR, false, adLongVarWChar, kLongWideSize, 0, kText, VarType::kString,
     kSized | kLongData},
    {SQL_LONGVARBINARY, false, adLongVarBinary, kLongBinarySize, 0, kBinary, VarType::kBytes,
     kSized | kLongData},
    {SQL_WVARCHAR, false, adVarWChar, kLongWideSize, 0, kText, VarType::kString, kSized},
};

// The row of the SQL type: the unsigned one for an unsigned column when there is one.
const TypeRow& RowOf(int16_t sql_type, bool is_unsigned) {
  const TypeRow* found = nullptr;
  for (const TypeRow& row : kTypes) {
    if (row.sql_type != sql_type) continue;
    if (row.is_unsigned == is_unsigned) return row;
    if (!row.is_unsigned) found = &row;
  }
  return found ? *found : RowOf(SQL_WVARCHAR, false);
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

void TimeAsText(ColumnDescription& column) {
  if (column.sql_type != SQL_TYPE_TIME && column.sql_type != SQL_TIME) return;
  column.sql_type = SQL_WVARCHAR;
  // hh:mm:ss[.f...] as described, and room for a sign and a third hour digit.
  column.column_size = std::max<uint64_t>(column.column_size, 8) + 2;
  column.decimal_digits = 0;
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

  int16_t sql_type = column.sql_type;
  if (text_is_unicode) {
    if (sql_type == SQL_CHAR) sql_type = SQL_WCHAR;
    if (sql_type == SQL_VARCHAR) sql_type = SQL_WVARCHAR;
    if (sql_type == SQL_LONGVARCHAR) sql_type = SQL_WLONGVARCHAR;
  }
  const TypeRow& row = RowOf(sql_type, column.is_unsigned);
  m.field.type = row.ado_type;
  m.field.defined_size = (row.flags & kSized) ? SizeOr(column.column_size, row.size) : row.size;
  if (row.flags & kDigits) {
    m.field.precision = Clamp8(static_cast<int64_t>(column.column_size));
    m.field.numeric_scale = Clamp8(column.decimal_digits);
  } else {
    m.field.precision = row.precision;
  }
  if (row.flags & kFixedLength) m.field.attributes |= adFldFixed;
  m.kind = row.kind;
  m.var_type = row.var_type;
  m.long_data = (row.flags & kLongData) != 0;
  if (m.long_data) m.field.attributes |= adFldLong;
  // A variable column without a usable size is long in all but name.
  if (!m.long_data && (m.kind == FetchKind::kText || m.kind == FetchKind::kBinary) &&
      SizeOr(column.column_size, 0) == 0) {
    m.long_data = true;
  }
  return m;
}

}  // namespace ado::odbc

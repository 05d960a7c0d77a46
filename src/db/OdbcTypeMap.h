#pragma once

// Internal to the ODBC connection.

#include <cstdint>
#include <string>

#include "values/FieldDef.h"
#include "values/Variant.h"

namespace ado::odbc {

// What the driver says about one result column (SQLDescribeCol, SQLColAttribute).
struct ColumnDescription {
  std::string name;
  int16_t sql_type = 0;      // SQL_INTEGER, SQL_WVARCHAR, ...
  uint64_t column_size = 0;  // characters, digits or bytes; 0 when unknown
  int16_t decimal_digits = 0;
  int16_t nullable = 2;  // SQL_NO_NULLS 0, SQL_NULLABLE 1, SQL_NULLABLE_UNKNOWN 2
  bool is_unsigned = false;
  bool auto_increment = false;
  std::string base_catalog;
  std::string base_schema;
  std::string base_table;
  std::string base_column;
};

// How a column's values travel from the driver into the record store.
enum class FetchKind {
  kSigned,     // SQL_C_SBIGINT, stored as the field's integer type
  kUnsigned,   // SQL_C_UBIGINT
  kReal,       // SQL_C_FLOAT
  kDouble,     // SQL_C_DOUBLE
  kBit,        // SQL_C_BIT
  kDecimal,    // SQL_C_CHAR text parsed into an exact Decimal
  kTimestamp,  // SQL_C_TYPE_TIMESTAMP
  kDate,       // SQL_C_TYPE_DATE
  kTime,       // SQL_C_TYPE_TIME
  kText,       // SQL_C_WCHAR, UTF-16 converted to UTF-8
  kGuid,       // SQL_C_WCHAR text, stored as {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  kBinary,     // SQL_C_BINARY
};

struct ColumnMapping {
  FieldDef field;
  FetchKind kind = FetchKind::kText;
  VarType var_type = VarType::kString;  // storage type of whole numbers
  bool long_data = false;               // no usable bound on the value's length
};

// Widens a column of a DBMS that does not bound values by their declared type (SQLite)
// so that every value fits: whole numbers of any declared width become signed 64-bit
// (SQL_BIGINT), fixed and variable binary becomes long binary without a size.
void ForUnboundedValues(ColumnDescription& column);

// Makes a TIME column of a DBMS whose TIME is a duration (MariaDB and MySQL: -838:59:59
// to 838:59:59, which no time of day holds) a text column of the server's form, such as
// "-838:59:59" or "25:00:00.500000".
void TimeAsText(ColumnDescription& column);

// Maps a column as ADO's provider for ODBC does: the SQL type picks the DataTypeEnum,
// DefinedSize, Precision and NumericScale; nullability, fixed length and long data pick
// the FieldAttributeEnum bits. SQL types without an ADO counterpart (intervals,
// driver-specific types) come out as variable wide text. With `text_is_unicode`, the
// narrow character types count as their wide counterparts (see DriverTraits).
ColumnMapping MapColumn(const ColumnDescription& column, bool text_is_unicode = false);

}  // namespace ado::odbc

#pragma once

// Internal to the native PostgreSQL connection.

#include <cstdint>
#include <string>

#include "db/OdbcTypeMap.h"

namespace ado::postgres {

// Type OIDs of PostgreSQL's built-in types read as something other than text.
enum PgType : uint32_t {
  kBool = 16,
  kBytea = 17,
  kChar = 18,
  kName = 19,
  kInt8 = 20,
  kInt2 = 21,
  kInt4 = 23,
  kText = 25,
  kOid = 26,
  kXid = 28,
  kXml = 142,
  kCidr = 650,
  kFloat4 = 700,
  kFloat8 = 701,
  kMoney = 790,
  kMacaddr = 829,
  kInet = 869,
  kBpchar = 1042,
  kVarchar = 1043,
  kDate = 1082,
  kTime = 1083,
  kTimestamp = 1114,
  kTimestamptz = 1184,
  kInterval = 1186,
  kNumeric = 1700,
  kRefcursor = 1790,
  kUuid = 2950,
};

// What the result says of one column, and what the catalog says of its table column.
struct PgColumn {
  std::string name;
  uint32_t type = 0;
  int32_t typmod = -1;
  // A column of a table: its table's OID (0 for an expression) and what the catalog
  // holds about it.
  uint32_t table = 0;
  bool not_null = false;
  bool auto_increment = false;
  std::string catalog;  // the database
  std::string schema;
  std::string table_name;
  std::string column_name;
  // For expressions: the longest value's length in bytes among the first rows psqlODBC
  // reads, and for numeric values the most digits after the point among them; -1 when
  // not looked at.
  int64_t longest = -1;
  int32_t max_scale = 0;
};

// Whether psqlODBC sizes an expression column of this type from its values.
bool SizedFromValues(const PgColumn& column);

// The column as psqlODBC describes it through the narrow entry points (SQLDescribeCol,
// SQLColAttribute) with its default options: the same SQL type, size, digits,
// nullability and base names.
odbc::ColumnDescription DescribeAsPsqlodbc(const PgColumn& column);

}  // namespace ado::postgres

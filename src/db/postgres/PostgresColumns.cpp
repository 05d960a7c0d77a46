#include "db/postgres/PostgresColumns.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>

namespace ado::postgres {

namespace {

// psqlODBC's defaults: MaxVarcharSize, MaxLongVarcharSize, and the sizes it gives types
// without a declared one.
constexpr int64_t kMaxVarchar = 255;
constexpr int64_t kMaxLongVarchar = 8190;
constexpr int64_t kNumericSize = 28;
constexpr int16_t kNumericScale = 6;
constexpr int16_t kTimeDigits = 6;

// The field bits of an interval's type modifier (the range in the upper half).
constexpr int32_t kMonthBit = 1 << 17;
constexpr int32_t kYearBit = 1 << 18;
constexpr int32_t kDayBit = 1 << 19;
constexpr int32_t kHourBit = 1 << 26;
constexpr int32_t kMinuteBit = 1 << 27;
constexpr int32_t kSecondBit = 1 << 28;

// Built-in array types and xml[]: sized from their values.
bool MayBeArray(uint32_t type) { return type == 143 || (type >= 1000 && type <= 1041); }

// The declared (or value-given) length of a character or unknown type.
int64_t CharSize(const PgColumn& c) {
  const int64_t maxsize = c.type == kText ? kMaxLongVarchar : kMaxVarchar;
  if (c.typmod < 0 && c.longest < 0) return maxsize;
  const int64_t longest = c.longest;
  if (MayBeArray(c.type)) return longest > 0 ? longest : maxsize;
  if ((c.type == kVarchar || c.type == kBpchar) && c.typmod > 4) return c.typmod - 4;
  if (c.typmod > 0 && c.type != kVarchar && c.type != kBpchar) return c.typmod;
  if (c.type == kVarchar || c.type == kBpchar || c.type == kText) return maxsize;
  return std::max(maxsize, longest);
}

int64_t NumericSize(const PgColumn& c) {
  if (c.typmod > -1) return ((c.typmod - 4) >> 16) & 0xffff;
  if (c.longest <= 0) return kNumericSize;
  return std::max(kNumericSize, c.longest);
}

int16_t NumericScale(const PgColumn& c) {
  if (c.typmod > -1) return static_cast<int16_t>((c.typmod - 4) & 0xffff);
  if (c.longest <= 0) return kNumericScale;
  return static_cast<int16_t>(c.max_scale);
}

int16_t TimeDigits(int32_t typmod) {
  return typmod > -1 ? static_cast<int16_t>(typmod) : kTimeDigits;
}

// The width of an interval's text: its leading fields, and the fraction of its seconds.
int64_t IntervalSize(int32_t typmod) {
  int64_t fields = 25;
  if (typmod != -1) {
    const bool second = (typmod & kSecondBit) != 0;
    const bool minute = (typmod & kMinuteBit) != 0;
    if ((typmod & kYearBit) != 0) {
      fields = (typmod & kMonthBit) != 0 ? 24 : 16;
    } else if ((typmod & kMonthBit) != 0) {
      fields = 16;
    } else if ((typmod & kDayBit) != 0) {
      fields = second || minute || (typmod & kHourBit) != 0 ? 25 : 16;
    } else if ((typmod & kHourBit) != 0) {
      fields = 17;
    } else if (minute) {
      fields = 15;
    } else if (second) {
      fields = 9;
    }
  }
  int64_t scale = 0;
  if ((typmod & kSecondBit) != 0) scale = (typmod & 0xffff) == 0xffff ? 6 : (typmod & 0xffff);
  return scale > 0 ? fields + 1 + scale : fields;
}

}  // namespace

bool SizedFromValues(const PgColumn& column) {
  if (column.table != 0) return false;
  switch (column.type) {
    case kBool:
    case kBytea:
    case kChar:
    case kName:
    case kRefcursor:
    case kInt8:
    case kInt2:
    case kInt4:
    case kOid:
    case kXid:
    case kXml:
    case kCidr:
    case kFloat4:
    case kFloat8:
    case kMoney:
    case kMacaddr:
    case kInet:
    case kDate:
    case kTime:
    case kTimestamp:
    case kTimestamptz:
    case kInterval:
    case kUuid:
      return false;
    default:
      return true;  // numeric, character and unknown types
  }
}

odbc::ColumnDescription DescribeAsPsqlodbc(const PgColumn& c) {
  odbc::ColumnDescription d;
  d.name = c.name;
  d.nullable = c.table != 0 && c.not_null ? SQL_NO_NULLS : SQL_NULLABLE;
  d.auto_increment = c.auto_increment;
  if (c.table != 0) {
    d.base_catalog = c.catalog;
    d.base_schema = c.schema;
    d.base_table = c.table_name;
    d.base_column = c.column_name;
  } else {
    d.base_column = c.name;
  }
  d.is_unsigned = true;
  switch (c.type) {
    case kChar:
      d.sql_type = SQL_CHAR, d.column_size = 1;
      break;
    case kName:
    case kRefcursor:
      d.sql_type = SQL_VARCHAR, d.column_size = 63;
      break;
    case kBpchar:
    case kVarchar: {
      const int64_t size = CharSize(c);
      d.column_size = static_cast<uint64_t>(size);
      d.sql_type = size > kMaxVarchar  ? SQL_LONGVARCHAR
                   : c.type == kBpchar ? SQL_CHAR
                                       : SQL_VARCHAR;
      break;
    }
    case kText: {
      const int64_t size = CharSize(c);
      d.column_size = static_cast<uint64_t>(size);
      d.sql_type = size > 0 && size <= kMaxVarchar ? SQL_VARCHAR : SQL_LONGVARCHAR;
      break;
    }
    case kBytea:
      d.sql_type = SQL_LONGVARBINARY, d.column_size = 0;
      break;
    case kInt2:
      d.sql_type = SQL_SMALLINT, d.column_size = 5, d.is_unsigned = false;
      break;
    case kOid:
    case kXid:
      d.sql_type = SQL_INTEGER, d.column_size = 10;
      break;
    case kInt4:
      d.sql_type = SQL_INTEGER, d.column_size = 10, d.is_unsigned = false;
      break;
    case kInt8:
      d.sql_type = SQL_BIGINT, d.column_size = 19, d.is_unsigned = false;
      break;
    case kNumeric:
      d.sql_type = SQL_NUMERIC, d.is_unsigned = false;
      d.column_size = static_cast<uint64_t>(NumericSize(c));
      d.decimal_digits = NumericScale(c);
      break;
    case kFloat4:
      d.sql_type = SQL_REAL, d.column_size = 9, d.is_unsigned = false;
      break;
    case kFloat8:
      d.sql_type = SQL_FLOAT, d.column_size = 17, d.is_unsigned = false;
      break;
    case kMoney:
      d.sql_type = SQL_FLOAT, d.column_size = 10, d.is_unsigned = false;
      break;
    case kDate:
      d.sql_type = SQL_TYPE_DATE, d.column_size = 10;
      break;
    case kTime:
      d.sql_type = SQL_TYPE_TIME, d.column_size = 8, d.decimal_digits = TimeDigits(c.typmod);
      break;
    case kTimestamp:
    case kTimestamptz: {
      d.sql_type = SQL_TYPE_TIMESTAMP;
      d.decimal_digits = TimeDigits(c.typmod);
      d.column_size = d.decimal_digits > 0 ? 20 + static_cast<uint64_t>(d.decimal_digits) : 19;
      break;
    }
    case kBool:
      d.sql_type = SQL_BIT, d.column_size = 1;
      break;
    case kXml:
      d.sql_type = SQL_LONGVARCHAR, d.column_size = static_cast<uint64_t>(CharSize(c));
      break;
    case kInet:
    case kCidr:
      d.sql_type = SQL_VARCHAR, d.column_size = 50;
      break;
    case kMacaddr:
      d.sql_type = SQL_VARCHAR, d.column_size = 17;
      break;
    case kUuid:
      d.sql_type = SQL_GUID, d.column_size = 37;
      break;
    case kInterval:
      d.sql_type = SQL_VARCHAR, d.column_size = static_cast<uint64_t>(IntervalSize(c.typmod));
      break;
    default:
      d.sql_type = SQL_VARCHAR, d.column_size = static_cast<uint64_t>(CharSize(c));
      break;
  }
  return d;
}

}  // namespace ado::postgres

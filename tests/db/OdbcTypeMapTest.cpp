#include <gtest/gtest.h>

#include <sql.h>
#include <sqlext.h>

#include "db/OdbcTypeMap.h"
#include "values/AdoEnums.h"

namespace ado::odbc {
namespace {

ColumnDescription Column(int16_t sql_type, uint64_t size = 0, int16_t digits = 0,
                         int16_t nullable = SQL_NULLABLE, bool is_unsigned = false) {
  ColumnDescription d;
  d.name = "c";
  d.sql_type = sql_type;
  d.column_size = size;
  d.decimal_digits = digits;
  d.nullable = nullable;
  d.is_unsigned = is_unsigned;
  return d;
}

TEST(OdbcTypeMap, SignednessPicksTheIntegerType) {
  EXPECT_EQ(MapColumn(Column(SQL_TINYINT, 3, 0, SQL_NULLABLE, true)).field.type, adUnsignedTinyInt);
  EXPECT_EQ(MapColumn(Column(SQL_TINYINT, 3)).field.type, adTinyInt);
  ColumnMapping ui = MapColumn(Column(SQL_INTEGER, 10, 0, SQL_NULLABLE, true));
  EXPECT_EQ(ui.field.type, adUnsignedInt);
  EXPECT_EQ(ui.kind, FetchKind::kUnsigned);
  EXPECT_EQ(ui.var_type, VarType::kUI4);
  EXPECT_EQ(MapColumn(Column(SQL_BIGINT, 20, 0, SQL_NULLABLE, true)).field.precision, 20);
}

TEST(OdbcTypeMap, NullabilityAndLengthAttributes) {
  EXPECT_EQ(MapColumn(Column(SQL_INTEGER, 10, 0, SQL_NO_NULLS)).field.attributes,
            adFldFixed | adFldUnknownUpdatable);
  // Unknown nullability counts as nullable.
  EXPECT_EQ(MapColumn(Column(SQL_VARCHAR, 20, 0, SQL_NULLABLE_UNKNOWN)).field.attributes,
            adFldIsNullable | adFldMayBeNull | adFldUnknownUpdatable);
  ColumnMapping longtext = MapColumn(Column(SQL_WLONGVARCHAR, 0));
  EXPECT_EQ(longtext.field.defined_size, 1073741823);
  EXPECT_TRUE(longtext.field.attributes & adFldLong);
  EXPECT_TRUE(longtext.long_data);
  // A varchar without a size is read as long data but keeps its type.
  ColumnMapping unsized = MapColumn(Column(SQL_VARBINARY, 0));
  EXPECT_EQ(unsized.field.type, adVarBinary);
  EXPECT_FALSE(unsized.field.attributes & adFldLong);
  EXPECT_TRUE(unsized.long_data);
}

TEST(OdbcTypeMap, OdbcTwoDateCodesAndUnknownTypes) {
  EXPECT_EQ(MapColumn(Column(SQL_DATE, 10)).field.type, adDBDate);
  EXPECT_EQ(MapColumn(Column(SQL_TIME, 8)).field.type, adDBTime);
  ColumnMapping ts = MapColumn(Column(SQL_TIMESTAMP, 23, 3));
  EXPECT_EQ(ts.field.type, adDBTimeStamp);
  EXPECT_EQ(ts.field.precision, 23);
  EXPECT_EQ(ts.field.numeric_scale, 3);
  // An interval has no ADO type: it comes as text.
  ColumnMapping interval = MapColumn(Column(SQL_INTERVAL_DAY_TO_SECOND, 25));
  EXPECT_EQ(interval.field.type, adVarWChar);
  EXPECT_EQ(interval.kind, FetchKind::kText);
}

TEST(OdbcTypeMap, UnicodeDriverNarrowTypesBecomeWide) {
  EXPECT_EQ(MapColumn(Column(SQL_CHAR, 3), true).field.type, adWChar);
  EXPECT_EQ(MapColumn(Column(SQL_VARCHAR, 3), true).field.type, adVarWChar);
  EXPECT_EQ(MapColumn(Column(SQL_LONGVARCHAR, 8190), true).field.type, adLongVarWChar);
  EXPECT_EQ(MapColumn(Column(SQL_VARCHAR, 3), false).field.type, adVarChar);
  EXPECT_EQ(MapColumn(Column(SQL_LONGVARBINARY, 0), true).field.type, adLongVarBinary);
}

}  // namespace
}  // namespace ado::odbc

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "OdbcTestUtil.h"
#include "ado/Connection.h"
#include "core/Error.h"
#include "db/OdbcConnectionString.h"
#include "support/Postgres.h"

namespace ado {
namespace {

using test::Cell;
using test::ErrorOf;
using test::FieldNamed;
using test::Same;

// Runs against the server named by QV_TEST_PG (see tests/support/pg_test_env.sh);
// every test works in a schema of its own, dropped afterwards.
class PostgresConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    connection_string_ = qv::test::PostgresConnectionString();
    if (connection_string_.empty()) GTEST_SKIP() << "QV_TEST_PG is not set";
    db_.Open(connection_string_);
    schema_ = qv::test::TestSchema("qv_");
    db_.Execute("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE");
    db_.Execute("CREATE SCHEMA " + schema_);
    db_.Execute("SET search_path TO " + schema_);
  }
  void TearDown() override {
    if (db_.State() == adStateOpen) db_.Execute("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE");
  }

  std::string connection_string_;
  std::string schema_;
  Connection db_;
};

constexpr int32_t kNullable = adFldIsNullable | adFldMayBeNull;

TEST_F(PostgresConnection, ColumnTypesMapToAdoSchema) {
  db_.Execute(
      "CREATE TABLE t(i integer PRIMARY KEY, bi bigint, sm smallint, n numeric(38,10), r real, "
      "d double precision, bo boolean, tx text, v varchar(20), c char(3), b bytea, u uuid, "
      "dt date, tm time, ts timestamp, s serial)");
  RecordsetData data = db_.Query("SELECT * FROM t");
  EXPECT_EQ(data.records.RecordCount(), 0u);
  ASSERT_EQ(data.fields.size(), 16u);

  struct Expect {
    const char* name;
    int32_t type;
    int64_t size;
    int precision;
    int scale;
    int32_t attributes;
  };
  const Expect expected[] = {
      {"i", adInteger, 4, 10, 0, adFldFixed},
      {"bi", adBigInt, 8, 19, 0, adFldFixed | kNullable},
      {"sm", adSmallInt, 2, 5, 0, adFldFixed | kNullable},
      {"n", adNumeric, 19, 38, 10, adFldFixed | kNullable},
      {"r", adSingle, 4, 7, 0, adFldFixed | kNullable},
      {"d", adDouble, 8, 15, 0, adFldFixed | kNullable},
      {"bo", adBoolean, 2, 0, 0, adFldFixed | kNullable},
      {"tx", adLongVarWChar, 8190, 0, 0, adFldLong | kNullable},
      {"v", adVarWChar, 20, 0, 0, kNullable},
      {"c", adWChar, 3, 0, 0, adFldFixed | kNullable},
      {"u", adGUID, 16, 0, 0, adFldFixed | kNullable},
      {"dt", adDBDate, 6, 0, 0, adFldFixed | kNullable},
      {"tm", adDBTime, 6, 0, 0, adFldFixed | kNullable},
      {"ts", adDBTimeStamp, 16, 26, 6, adFldFixed | kNullable},
      {"s", adInteger, 4, 10, 0, adFldFixed},
  };
  for (const Expect& e : expected) {
    const FieldDef& f = FieldNamed(data, e.name);
    EXPECT_EQ(f.type, e.type) << e.name;
    EXPECT_EQ(f.defined_size, e.size) << e.name;
    EXPECT_EQ(f.precision, e.precision) << e.name;
    EXPECT_EQ(f.numeric_scale, e.scale) << e.name;
    EXPECT_EQ(f.attributes, e.attributes | adFldUnknownUpdatable) << e.name;
    EXPECT_EQ(f.base_table, "t") << e.name;
    EXPECT_EQ(f.base_column, e.name);
  }
  EXPECT_EQ(FieldNamed(data, "b").type, adLongVarBinary);
  EXPECT_TRUE(FieldNamed(data, "s").autoincrement);
  EXPECT_FALSE(FieldNamed(data, "i").autoincrement);
}

TEST_F(PostgresConnection, ValuesArriveExactAndNullsStayNull) {
  db_.Execute(
      "CREATE TABLE t(i integer, bi bigint, sm smallint, n numeric(38,10), r real, "
      "d double precision, bo boolean, tx text, v varchar(20), c char(3), b bytea, u uuid, "
      "dt date, tm time, ts timestamp)");
  db_.Execute(
      "INSERT INTO t VALUES(-2147483648, 9223372036854775807, -32768, "
      "'1234567890123456789012345678.0123456789', 1.25, 0.1, true, 'Grüße 😀 €', 'Ωmega', 'ab', "
      "'\\x00ff10', 'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11', '2024-02-29', '10:11:12', "
      "'2024-02-29 13:14:15.123456')");
  db_.Execute("INSERT INTO t(i) VALUES(1)");
  RecordsetData data = db_.Query("SELECT * FROM t ORDER BY i");
  ASSERT_EQ(data.records.RecordCount(), 2u);

  EXPECT_TRUE(Same(Cell(data, 0, "i"), Variant::Integer(VarType::kI4, -2147483648LL)));
  EXPECT_TRUE(Same(Cell(data, 0, "bi"), Variant(int64_t{9223372036854775807})));
  EXPECT_TRUE(Same(Cell(data, 0, "sm"), Variant::Integer(VarType::kI2, -32768)));
  Variant n = Cell(data, 0, "n");
  ASSERT_EQ(n.Type(), VarType::kDecimal);
  EXPECT_EQ(n.AsDecimal().ToStringFixed(), "1234567890123456789012345678.0123456789");
  EXPECT_TRUE(Same(Cell(data, 0, "r"), Variant::Single(1.25f)));
  EXPECT_TRUE(Same(Cell(data, 0, "d"), Variant(0.1)));
  EXPECT_TRUE(Same(Cell(data, 0, "bo"), Variant(true)));
  EXPECT_TRUE(Same(Cell(data, 0, "tx"), Variant("Grüße 😀 €")));
  EXPECT_TRUE(Same(Cell(data, 0, "v"), Variant("Ωmega")));
  EXPECT_TRUE(Same(Cell(data, 0, "c"), Variant("ab ")));  // char(n) keeps its padding
  EXPECT_TRUE(Same(Cell(data, 0, "b"), Variant(Bytes{0x00, 0xff, 0x10})));
  EXPECT_TRUE(Same(Cell(data, 0, "u"), Variant("{A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11}")));
  EXPECT_TRUE(Same(Cell(data, 0, "dt"), Variant(Date::FromParts({2024, 2, 29}))));
  Date::Parts tm = Cell(data, 0, "tm").AsDate().ToParts();
  EXPECT_EQ(tm.year, 1899);
  EXPECT_EQ(tm.hour * 3600 + tm.minute * 60 + tm.second, 10 * 3600 + 11 * 60 + 12);
  Variant ts = Cell(data, 0, "ts");
  ASSERT_EQ(ts.Type(), VarType::kDate);
  Date::Parts parts = ts.AsDate().ToParts();
  EXPECT_EQ(parts.year, 2024);
  EXPECT_EQ(parts.second, 15);
  EXPECT_EQ(parts.nanosecond, 123456000);

  for (size_t f = 1; f < data.fields.size(); ++f) {
    EXPECT_TRUE(data.records.Get(1, f).IsNull()) << data.fields[f].name;
  }
}

TEST_F(PostgresConnection, NonAsciiTextTravelsBothWays) {
  db_.Execute("CREATE TABLE t(name varchar(10))");
  db_.Execute("INSERT INTO t VALUES('Müller'), ('Ørsted😀'), ('日本')");
  // The server must see characters, not bytes: lengths and a non-ASCII filter.
  RecordsetData data = db_.Query(
      "SELECT name, char_length(name) AS n FROM t WHERE name LIKE '%ü%' OR name = '日本' "
      "ORDER BY n");
  ASSERT_EQ(data.records.RecordCount(), 2u);
  EXPECT_TRUE(Same(Cell(data, 0, "name"), Variant("日本")));
  EXPECT_TRUE(Same(Cell(data, 0, "n"), Variant::Integer(VarType::kI4, 2)));
  EXPECT_TRUE(Same(Cell(data, 1, "name"), Variant("Müller")));
  RecordsetData names = db_.Query("SELECT 1 AS \"Größe\"");
  EXPECT_EQ(names.fields.at(0).name, "Größe");
}

TEST_F(PostgresConnection, ValuesBeyondTheirBufferAreReadWhole) {
  // Unbounded varchar reports 255, text 8190: longer values are re-read from the block.
  db_.Execute("CREATE TABLE t(id integer, v varchar, tx text, b bytea)");
  db_.Execute(
      "INSERT INTO t SELECT g, CASE WHEN g % 700 = 0 THEN repeat('ä😀', 3000) ELSE 'v' || g END, "
      "CASE WHEN g % 900 = 0 THEN repeat('x', 20000) END, "
      "CASE WHEN g % 1100 = 0 THEN decode(repeat('ab', 9000), 'hex') ELSE '\\x01' END "
      "FROM generate_series(1, 5000) g");
  RecordsetData data = db_.Query("SELECT id, v, tx, b FROM t ORDER BY id");
  ASSERT_EQ(data.records.RecordCount(), 5000u);
  std::string long_v;
  for (int k = 0; k < 3000; ++k) long_v += "ä😀";
  EXPECT_TRUE(Same(data.records.Get(699, 1), Variant(long_v)));
  EXPECT_TRUE(Same(data.records.Get(700, 1), Variant("v701")));
  EXPECT_TRUE(Same(data.records.Get(899, 2), Variant(std::string(20000, 'x'))));
  EXPECT_TRUE(data.records.Get(900, 2).IsNull());
  EXPECT_TRUE(Same(data.records.Get(1099, 3), Variant(Bytes(9000, 0xab))));
  EXPECT_TRUE(Same(data.records.Get(1100, 3), Variant(Bytes{0x01})));
  EXPECT_TRUE(Same(data.records.Get(4999, 0), Variant::Integer(VarType::kI4, 5000)));
}

TEST_F(PostgresConnection, CountsAndPagesWithTheStandardClause) {
  db_.Execute("CREATE TABLE t AS SELECT g AS id FROM generate_series(0, 24999) g");
  EXPECT_EQ(db_.CountRows("SELECT id FROM t"), 25000);
  // The standard clause runs as written on PostgreSQL.
  RecordsetData page =
      db_.Query("SELECT id FROM t ORDER BY  1 OFFSET 24995 ROWS  FETCH NEXT 10 ROWS ONLY");
  ASSERT_EQ(page.records.RecordCount(), 5u);
  EXPECT_TRUE(Same(page.records.Get(0, 0), Variant::Integer(VarType::kI4, 24995)));
  RecordsetData all = db_.Query("SELECT id FROM t ORDER BY id");
  ASSERT_EQ(all.records.RecordCount(), 25000u);
  EXPECT_TRUE(Same(all.records.Get(12345, 0), Variant::Integer(VarType::kI4, 12345)));
}

TEST_F(PostgresConnection, FailuresCarrySqlStateAndTimeoutApplies) {
  core::ErrorRecord e = ErrorOf([&] { db_.Query("SELECT * FROM missing_table"); });
  EXPECT_EQ(e.number, core::kErrProvider);
  EXPECT_EQ(e.source, "ODBC");
  EXPECT_EQ(e.description.rfind("[42P01] ", 0), 0u) << e.description;
  EXPECT_NE(e.description.find("missing_table"), std::string::npos) << e.description;

  db_.SetCommandTimeout(1);
  core::ErrorRecord timeout = ErrorOf([&] { db_.Query("SELECT pg_sleep(5)"); });
  EXPECT_EQ(timeout.number, core::kErrProvider);
  EXPECT_TRUE(timeout.description.rfind("[HYT00] ", 0) == 0 ||
              timeout.description.rfind("[57014] ", 0) == 0)
      << timeout.description;
  db_.SetCommandTimeout(0);
  EXPECT_EQ(db_.Query("SELECT 1 AS one").records.RecordCount(), 1u);
}

TEST_F(PostgresConnection, PasswordNeverShows) {
  std::string password;
  for (const auto& pair : ParseConnectionString(connection_string_)) {
    if (IsPasswordKey(pair.key)) password = pair.value;
  }
  if (password.empty()) GTEST_SKIP() << "QV_TEST_PG has no password";
  EXPECT_EQ(db_.ConnectionString().find(password), std::string::npos);
  EXPECT_NE(db_.ConnectionString().find("UseDeclareFetch=0"), std::string::npos);

  std::string wrong = connection_string_;
  wrong.replace(wrong.find(password), password.size(), "Wr0ngPassw0rd");
  Connection other;
  core::ErrorRecord e = ErrorOf([&] { other.Open(wrong); });
  EXPECT_EQ(e.number, core::kErrProvider);
  EXPECT_EQ(e.description.find("Wr0ngPassw0rd"), std::string::npos) << e.description;
  EXPECT_EQ(other.State(), adStateClosed);
}

// The server's notices reach the caller as warnings naming the connection, those of a
// query with its rows; libpq would print them on standard error.
TEST_F(PostgresConnection, ServerNoticesBecomeWarnings) {
  ::testing::internal::CaptureStderr();
  db_.Execute(
      "CREATE FUNCTION loud(k integer) RETURNS integer AS $$ BEGIN RAISE WARNING 'row %', k; "
      "RETURN k; END $$ LANGUAGE plpgsql");
  db_.Execute("DROP TABLE IF EXISTS nothing_here");
  const std::vector<std::string> executed = db_.TakeWarnings();
  EXPECT_EQ(db_.Query("SELECT loud(g) FROM generate_series(1, 2) g").records.RecordCount(), 2u);
  const std::vector<std::string> queried = db_.TakeWarnings();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

  ASSERT_EQ(executed.size(), 1u);
  EXPECT_EQ(executed[0].rfind("Server ", 0), 0u) << executed[0];
  EXPECT_NE(executed[0].find(", database "), std::string::npos) << executed[0];
  EXPECT_TRUE(
      executed[0].ends_with(": [00000] NOTICE: table \"nothing_here\" does not exist, skipping"))
      << executed[0];
  ASSERT_EQ(queried.size(), 2u);
  EXPECT_TRUE(queried[0].ends_with(": [01000] WARNING: row 1")) << queried[0];
  EXPECT_TRUE(queried[1].ends_with(": [01000] WARNING: row 2")) << queried[1];
}

TEST_F(PostgresConnection, PrepareChecksAStatementWithoutRunningIt) {
  db_.Execute("CREATE TABLE t (id integer)");
  db_.Execute("INSERT INTO t VALUES (1)");
  db_.Prepare("SELECT id FROM t ORDER BY 1");
  // Unquoted names come folded to lower case, as the server names them.
  EXPECT_EQ(db_.PreparedColumns("SELECT id AS tSID, id AS \"Both\" FROM t"),
            (std::vector<std::string>{"tsid", "Both"}));
  EXPECT_EQ(ErrorOf([&] { db_.Prepare("SELECT nosuch FROM t"); }).number, core::kErrProvider);
  EXPECT_EQ(ErrorOf([&] { db_.Prepare("SELECT * FROM missing_table"); }).number,
            core::kErrProvider);
  EXPECT_EQ(ErrorOf([&] { db_.Prepare("SELEC id FROM t"); }).number, core::kErrProvider);
  // Neither a statement without rows nor a query with side effects runs.
  EXPECT_EQ(ErrorOf([&] { db_.Prepare("DELETE FROM t"); }).number, core::kErrObjectClosed);
  db_.Prepare("UPDATE t SET id = 2 RETURNING id");
  EXPECT_TRUE(
      Same(db_.Query("SELECT id FROM t").records.Get(0, 0), Variant::Integer(VarType::kI4, 1)));
}

}  // namespace
}  // namespace ado

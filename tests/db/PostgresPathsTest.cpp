// The native PostgreSQL path against psqlODBC: the same query gives the same file, byte
// for byte, except for the values psqlODBC alters.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "OdbcTestUtil.h"
#include "ado/Connection.h"
#include "ado/Recordset.h"
#include "core/Clock.h"
#include "support/Postgres.h"
#include "xmlformat/XmlReader.h"

namespace ado {
namespace {

using test::ErrorOf;

constexpr int kRows = 2600;

// One column of the type table: its type and the value of row k (nulls are added).
struct TypeCase {
  const char* name;
  const char* type;
  const char* value;
};

// Every column kind, with the values that stretch each: extremes, infinities, NaN,
// non-Latin text, padding, empty values.
const TypeCase kTypes[] = {
    {"sm", "smallint", "(k * 13) % 65536 - 32768"},
    {"i", "integer", "(k::bigint * 858993 % 2147483648 - 1073741824)::integer"},
    {"bi", "bigint",
     "CASE k % 600 WHEN 9 THEN 9223372036854775807 WHEN 10 THEN -9223372036854775808 "
     "ELSE (k % 2500)::bigint * 3689348814741910 * (1 - 2 * (k % 2)) END"},
    {"n", "numeric(38,10)", "k * 1234567890123.0123456789"},
    {"nu", "numeric", "k / 7.0"},
    {"n38", "numeric",
     "(CASE WHEN k % 2 = 0 THEN '-' ELSE '' END || repeat('9', 38 - k % 39) || '.' || "
     "repeat('9', k % 39))::numeric"},
    {"r", "real",
     "CASE k % 600 WHEN 1 THEN 'Infinity' WHEN 2 THEN '-Infinity' WHEN 3 THEN 'NaN' "
     "WHEN 4 THEN '3.4028235e38' WHEN 5 THEN '-3.4028235e38' WHEN 6 THEN '1e-45' "
     "WHEN 7 THEN '-0' WHEN 8 THEN '1.1754944e-38' ELSE (k / 3.0)::text END::real"},
    {"dp", "double precision",
     "CASE k % 600 WHEN 1 THEN 'Infinity' WHEN 2 THEN '-Infinity' WHEN 3 THEN 'NaN' "
     "WHEN 4 THEN '1.7976931348623157e308' WHEN 5 THEN '-1.7976931348623157e308' "
     "WHEN 6 THEN '5e-324' WHEN 7 THEN '-0' WHEN 8 THEN '2.2250738585072014e-308' "
     "ELSE (k * 1.1e-300)::text END::double precision"},
    {"tx", "text", "'Grüße ' || k || ' Ωμέγα 中文 😀'"},
    {"v", "varchar(20)", "CASE WHEN k % 11 = 0 THEN '' ELSE 'Ω' || k END"},
    {"vu", "varchar", "repeat('ä', k % 300)"},
    {"c", "char(5)", "lpad((k % 1000)::text, 3, '0')"},
    {"b", "bytea", "CASE WHEN k % 13 = 0 THEN ''::bytea ELSE convert_to('b' || k, 'UTF8') END"},
    {"bo", "boolean", "k % 2 = 1"},
    {"d", "date", "date '2000-01-01' + k"},
    {"tm", "time", "time '00:00' + (k * 37 % 86400) * interval '1 second'"},
    {"t3", "time(3)", "time '00:00:00.123' + k * interval '1 second'"},
    {"ts", "timestamp",
     "CASE k % 500 WHEN 1 THEN 'infinity'::timestamp "
     "ELSE timestamp '2024-05-01 10:00:00.123456' + k * interval '1 second' END"},
    {"t0", "timestamp(0)", "timestamp '1999-12-31 23:00:00' + k * interval '1 second'"},
    {"tz", "timestamptz", "timestamptz '2024-06-01 12:00:00.5+05' + k * interval '1 minute'"},
    {"iv", "interval", "k * interval '1 day 1 second' - interval '3 months'"},
    {"u", "uuid", "('a0eebc99-9c0b-4ef8-bb6d-' || lpad(to_hex(k), 12, '0'))::uuid"},
    {"j", "json", "json_build_object('k', k, 'name', 'Ωμέγα ' || k)"},
    {"jb", "jsonb", "jsonb_build_object('k', k, 'list', jsonb_build_array(k, 'x'))"},
    {"a", "integer[]", "ARRAY[k, k * 2, NULL]"},
    {"e", "qv_mood", "(ARRAY['sad', 'ok', 'happy'])[k % 3 + 1]::qv_mood"},
    {"m", "money", "k * 12.34 - 20000"},
    {"ip", "inet", "('10.0.' || (k % 256) || '.' || (k % 7))::inet"},
    {"o", "oid", "(k::bigint * 1500000)::oid"},
    {"ch", "\"char\"", "chr(65 + k % 26)"},
};

class PostgresPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    odbc_string_ = qv::test::PostgresConnectionString();
    if (odbc_string_.empty()) GTEST_SKIP() << "QV_TEST_PG is not set";
    native_.Open(odbc_string_);
    odbc_string_ += ";NativePostgres=0";
    odbc_.Open(odbc_string_);
    schema_ = qv::test::TestSchema("qv_paths_");
    native_.Execute("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE");
    native_.Execute("CREATE SCHEMA " + schema_);
    native_.Execute("SET search_path TO " + schema_);
    odbc_.Execute("SET search_path TO " + schema_);
  }
  void TearDown() override {
    if (native_.State() == adStateOpen)
      native_.Execute("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE");
  }

  // Both paths' files for `sql`, and their warnings.
  void ExpectSameFile(Connection& native, Connection& odbc, const std::string& sql) {
    SCOPED_TRACE(sql);
    const std::string a = FileOf(native, sql);
    const std::string b = FileOf(odbc, sql);
    EXPECT_EQ(native.TakeWarnings(), odbc.TakeWarnings());
    // What was written reads back as it was.
    Recordset back;
    back.OpenWith(ReadRecordsetXml(a));
    Stream again;
    back.Save(again);
    EXPECT_EQ(again.Data(), a);
    if (a == b) return;
    size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
    const size_t from = at < 300 ? 0 : at - 300;
    ADD_FAILURE() << "the files differ at byte " << at << "\nnative: " << a.substr(from, 600)
                  << "\npsqlODBC: " << b.substr(from, 600);
  }

  static std::string FileOf(Connection& db, const std::string& sql) {
    Recordset rs;
    rs.OpenWith(db.Query(sql));
    Stream out;
    rs.Save(out);
    return out.Data();
  }

  std::string odbc_string_;
  std::string schema_;
  Connection native_;
  Connection odbc_;
};

TEST_F(PostgresPaths, EveryTypeGivesTheSameFileThroughBothPaths) {
  native_.Execute("CREATE TYPE qv_mood AS ENUM ('sad', 'ok', 'happy')");
  std::string create = "CREATE TABLE t(id serial PRIMARY KEY, k integer NOT NULL";
  std::string select = "SELECT k";
  for (size_t c = 0; c < std::size(kTypes); ++c) {
    create += std::string(", ") + kTypes[c].name + " " + kTypes[c].type;
    select += ", CASE WHEN (k + " + std::to_string(c) + ") % 7 = 0 THEN NULL ELSE " +
              kTypes[c].value + " END";
  }
  native_.Execute(create + ")");
  native_.Execute("INSERT INTO t(k, " +
                  [] {
                    std::string names;
                    for (const TypeCase& t : kTypes)
                      names += std::string(names.empty() ? "" : ", ") + t.name;
                    return names;
                  }() +
                  ") " + select + " FROM generate_series(1, " + std::to_string(kRows) +
                  ") AS g(k)");

  ExpectSameFile(native_, odbc_, "SELECT * FROM t ORDER BY id");
  // Expressions: psqlODBC sizes numeric, array and unknown types from the longest value
  // of its first block, so the longest here come in and after it.
  ExpectSameFile(native_, odbc_,
                 "SELECT id AS key, n * 1 AS nx, a || CASE WHEN k = 2000 THEN "
                 "array_fill(7, ARRAY[300]) ELSE ARRAY[k] END AS ax, j::text::json AS jx, "
                 "tx || '!' AS tx2, 1.5 AS lit, k::numeric / 3 AS third, NULL AS nothing, "
                 "count(*) OVER () AS total FROM t ORDER BY id");
  // A page of a larger result, as paged modes ask for it.
  ExpectSameFile(native_, odbc_,
                 "SELECT * FROM t ORDER BY id OFFSET 1200 ROWS FETCH NEXT 100 ROWS ONLY");
  ExpectSameFile(native_, odbc_, "SELECT * FROM t WHERE false");
}

TEST_F(PostgresPaths, FirstBlockSizesFollowTheFetchOption) {
  Connection native;
  Connection odbc;
  native.Open(qv::test::PostgresConnectionString() + ";Fetch=100");
  odbc.Open(odbc_string_ + ";Fetch=100");
  ExpectSameFile(native, odbc,
                 "SELECT g, CASE WHEN g = 150 THEN ARRAY[1,2,3,4,5,6] ELSE ARRAY[g] END AS a, "
                 "CASE WHEN g = 90 THEN 1.123456789 ELSE g END AS n "
                 "FROM generate_series(1, 300) g");
}

// No recordset holds a date past 9999 or before Christ: the read fails naming the value
// (psqlODBC drops the era of a date before Christ).
TEST_F(PostgresPaths, DatesNoRecordsetHoldsAreRefused) {
  for (const char* sql :
       {"SELECT '0044-03-15 BC'::date AS d", "SELECT '10000-01-01'::date AS d",
        "SELECT '10000-01-01 10:00'::timestamp AS d", "SELECT '-infinity'::timestamp AS d"}) {
    SCOPED_TRACE(sql);
    const core::ErrorRecord e = ErrorOf([&] { native_.Query(sql); });
    EXPECT_NE(e.description.find("Column 'd', row 1: "), std::string::npos) << e.description;
  }
  ExpectSameFile(native_, odbc_, "SELECT 'infinity'::timestamp AS ts");
  // psqlODBC gives today for a date of infinity; libpq's reading gives the last day, as
  // both give 9999-12-31 23:59:59 for a timestamp of infinity.
  const std::string sql = "SELECT 'infinity'::date AS d";
  EXPECT_EQ(odbc_.Query(sql).records.Get(0, 0).AsDate().ToParts().year, core::LocalNow().year);
  const Date::Parts last = native_.Query(sql).records.Get(0, 0).AsDate().ToParts();
  EXPECT_EQ(std::vector<int>({last.year, last.month, last.day}), std::vector<int>({9999, 12, 31}));
}

TEST_F(PostgresPaths, StatementsACursorCannotHoldRunWhole) {
  native_.Execute("CREATE TABLE w(id integer)");
  for (Connection* db : {&native_, &odbc_}) {
    const RecordsetData returned =
        db->Query("WITH ins AS (INSERT INTO w VALUES (1), (2) RETURNING id) SELECT id FROM ins");
    EXPECT_EQ(returned.records.RecordCount(), 2u);
    EXPECT_EQ(db->Query("SHOW DateStyle").records.Get(0, 0).ToText(), "ISO, MDY");
  }
  EXPECT_EQ(native_.CountRows("SELECT * FROM w"), 4);
  EXPECT_EQ(odbc_.CountRows("SELECT * FROM w"), 4);
  EXPECT_EQ(ErrorOf([&] { native_.Query("DELETE FROM w"); }).number, core::kErrObjectClosed);
}

// A long result comes in blocks asked for ahead (libpq) or FETCH by FETCH (psqlODBC); a
// statement run on the same connection meanwhile, or a failure halfway, loses or
// reorders no row and leaves the connection usable.
TEST_F(PostgresPaths, LongResultsReadAheadSafely) {
  const std::string native = qv::test::PostgresConnectionString() + ";Fetch=100";
  for (const std::string& connection_string : {native, native + ";NativePostgres=0"}) {
    SCOPED_TRACE(connection_string.substr(connection_string.rfind(';')));
    Connection db;
    db.Open(connection_string);
    const int rows = 25000;
    std::unique_ptr<QueryCursor> cursor = db.OpenCursor(
        "SELECT g, 'row ' || g AS t FROM generate_series(1, " + std::to_string(rows) + ") g");
    int expected = 1;
    for (int round = 0; expected <= rows; ++round) {
      RecordStore block(2);
      const size_t read = cursor->FetchInto(block, 1500);
      ASSERT_GT(read, 0u) << "at row " << expected;
      for (size_t r = 0; r < read; ++r, ++expected) {
        ASSERT_TRUE(test::Same(block.Get(r, 0), Variant::Integer(VarType::kI4, expected)));
      }
      if (round % 3 == 1) {
        EXPECT_EQ(db.CountRows("SELECT 1 UNION ALL SELECT 2"), 2);
      }
    }
    RecordStore rest(2);
    EXPECT_EQ(cursor->FetchInto(rest, 10), 0u);
    cursor.reset();

    cursor = db.OpenCursor("SELECT 1 / (g - 15000) AS x FROM generate_series(1, 20000) g");
    RecordStore all(1);
    const core::ErrorRecord e = ErrorOf([&] {
      while (cursor->FetchInto(all, 1000) > 0) {
      }
    });
    EXPECT_NE(e.description.find("[22012] "), std::string::npos) << e.description;
    EXPECT_GE(all.RecordCount(), 100u);
    EXPECT_LT(all.RecordCount(), 15000u);
    cursor.reset();
    EXPECT_EQ(db.Query("SELECT 1 AS one").records.RecordCount(), 1u);
  }
}

}  // namespace
}  // namespace ado

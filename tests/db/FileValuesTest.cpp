// Values through the ODBC connection as a recordset file holds them: what the file
// cannot hold as it came is brought to the file's form on the way in and reported;
// SQLite integers as wide as SQLite's; existing SQLite files only.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "OdbcTestUtil.h"
#include "ado/Connection.h"
#include "core/Error.h"
#include "db/odbc/OdbcHandle.h"
#include "db/odbc/OdbcResultReader.h"
#include "support/Postgres.h"
#include "support/TestFolder.h"
#include "xmlformat/XmlReader.h"
#include "xmlformat/XmlWriter.h"

namespace ado {
namespace {

using test::Cell;
using test::ErrorOf;
using test::FieldNamed;
using test::Same;

const std::string kR = "\xEF\xBF\xBD";  // U+FFFD

class SqliteValues : public ::testing::Test {
 protected:
  void SetUp() override { db_.Open("Driver=SQLite3;NoCreat=0;Database=" + Path()); }
  std::string Path() const { return folder_.File("values.db"); }

  qv::test::TestFolder folder_;
  Connection db_;
};

TEST_F(SqliteValues, ValuesReadBackFromTheirFileUnchanged) {
  struct Case {
    const char* text_sql;
    std::string text;  // what the recordset holds
    const char* stamp;
    Date::Parts stamp_parts;
  };
  const Case cases[] = {
      {"'clean'", "clean", "2024-05-01 10:00:00.1234569", {2024, 5, 1, 10, 0, 0, 123456900}},
      {"'a' || char(1) || 'b'",
       "a" + kR + "b",
       "2024-05-01 23:59:59.9999999",
       {2024, 5, 1, 23, 59, 59, 999999900}},
      {"char(31) || char(11) || char(12)",
       kR + kR + kR,
       "2024-05-01 10:00:00.0000001",
       {2024, 5, 1, 10, 0, 0, 100}},
      {"char(65534) || 'x' || char(65535)",
       kR + "x" + kR,
       "1899-12-29 12:00:00.5000008",
       {1899, 12, 29, 12, 0, 0, 500000800}},
      {"'tab' || char(9) || char(10) || char(13) || '<&>'",
       "tab\t\n\r<&>",
       "2024-02-29 13:14:15.123",
       {2024, 2, 29, 13, 14, 15, 123000000}},
      {"'Grüße 😀 €'",
       "Grüße 😀 €",
       "9999-12-31 23:59:59.9999999",
       {9999, 12, 31, 23, 59, 59, 999999900}},
  };
  db_.Execute("CREATE TABLE v(id INTEGER, tx TEXT, ts DATETIME, d DATE, tm TIME)");
  int id = 0;
  for (const Case& c : cases) {
    const std::string stamp = std::string("'") + c.stamp + "'";
    db_.Execute("INSERT INTO v VALUES(" + std::to_string(++id) + ", " + c.text_sql + ", " + stamp +
                ", " + stamp + ", substr(" + stamp + ", 12))");
  }
  db_.Execute("INSERT INTO v(id) VALUES(" + std::to_string(++id) + ")");

  RecordsetData data = db_.Query("SELECT id, tx, ts, d, tm FROM v ORDER BY id");
  ASSERT_EQ(data.records.RecordCount(), std::size(cases) + 1);
  for (size_t r = 0; r < std::size(cases); ++r) {
    EXPECT_TRUE(Same(Cell(data, r, "tx"), Variant(cases[r].text))) << r;
    EXPECT_TRUE(Same(Cell(data, r, "ts"), Variant(Date::FromParts(cases[r].stamp_parts)))) << r;
  }
  const std::vector<std::string> warnings = db_.TakeWarnings();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].rfind("Column 'tx', row 2: 3 value(s) ", 0), 0u) << warnings[0];
  EXPECT_TRUE(db_.TakeWarnings().empty());

  const RecordsetData back = ReadRecordsetXml(RecordsetDataXmlToString(data));
  ASSERT_EQ(back.records.RecordCount(), data.records.RecordCount());
  for (size_t r = 0; r < data.records.RecordCount(); ++r) {
    for (size_t f = 0; f < data.fields.size(); ++f) {
      const Variant held = data.records.Get(r, f);
      const Variant read = back.records.Get(r, f);
      if (held.IsNull()) {
        EXPECT_TRUE(read.IsNull()) << data.fields[f].name << " row " << r;
      } else {
        EXPECT_EQ(Compare(held, read), CompareResult::kEqual)
            << data.fields[f].name << " row " << r << ": " << test::Show(held) << " / "
            << test::Show(read);
      }
    }
  }
}

TEST_F(SqliteValues, TextWithANulArrivesWholeAndIsReported) {
  db_.Execute("CREATE TABLE n(id INTEGER, tx TEXT)");
  db_.Execute("INSERT INTO n VALUES(1, 'ab' || char(0) || 'cd'), (2, 'plain')");
  RecordsetData data = db_.Query("SELECT id, tx FROM n ORDER BY id");
  ASSERT_EQ(data.records.RecordCount(), 2u);
  // The file cannot hold a NUL: it stands as U+FFFD, and the rest of the text stays.
  EXPECT_TRUE(Same(Cell(data, 0, "tx"), Variant("ab\xEF\xBF\xBD"
                                                "cd")));
  EXPECT_TRUE(Same(Cell(data, 1, "tx"), Variant("plain")));
  const std::vector<std::string> warnings = db_.TakeWarnings();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("Column 'tx', row 1: 1 value(s)"), std::string::npos) << warnings[0];

  // The SQLite ODBC driver hands text over as a C string: it ends at the NUL, and
  // nothing tells the reader that more followed. The native path is the default for
  // that reason.
  Connection odbc;
  odbc.Open("Driver=SQLite3;NativeSqlite=0;Database=" + Path());
  EXPECT_TRUE(Same(Cell(odbc.Query("SELECT tx FROM n WHERE id = 1"), 0, "tx"), Variant("ab")));
}

TEST_F(SqliteValues, IntegerColumnsHoldEverySqliteInteger) {
  db_.Execute("CREATE TABLE w(ti TINYINT, sm SMALLINT, i INTEGER, bi BIGINT)");
  db_.Execute(
      "INSERT INTO w VALUES(300, 70000, 2147483648, 9223372036854775807), "
      "(-129, -32769, -9223372036854775808, -1), (1, 2, 3, 4)");
  RecordsetData data = db_.Query("SELECT * FROM w ORDER BY bi DESC");
  for (const char* name : {"ti", "sm", "i", "bi"}) {
    EXPECT_EQ(FieldNamed(data, name).type, adBigInt) << name;
    EXPECT_EQ(FieldNamed(data, name).defined_size, 8) << name;
    EXPECT_EQ(FieldNamed(data, name).precision, 19) << name;
  }
  ASSERT_EQ(data.records.RecordCount(), 3u);
  EXPECT_TRUE(Same(Cell(data, 0, "ti"), Variant(int64_t{300})));
  EXPECT_TRUE(Same(Cell(data, 0, "i"), Variant(int64_t{2147483648})));
  EXPECT_TRUE(Same(Cell(data, 1, "sm"), Variant(int64_t{2})));
  EXPECT_TRUE(Same(Cell(data, 2, "sm"), Variant(int64_t{-32769})));
  EXPECT_TRUE(Same(Cell(data, 2, "i"), Variant(INT64_MIN)));
}

TEST(SqliteOpen, MissingDatabaseFileIsAnErrorNamingItAndStaysMissing) {
  qv::test::TestFolder folder;
  const std::string path = folder.File("missing.db");
  Connection db;
  core::ErrorRecord e = ErrorOf([&] { db.Open("Driver=SQLite3;Database=" + path); });
  EXPECT_EQ(e.number, core::kErrProvider);
  EXPECT_NE(e.description.find(path), std::string::npos) << e.description;
  EXPECT_EQ(db.State(), adStateClosed);
  EXPECT_FALSE(std::filesystem::exists(path));
}

// A value outside its field's range fails the read with the row, the column and the
// value; the statement is left unbound for what follows.
TEST(PostgresValues, ValueOutOfItsFieldNamesRowColumnAndValue) {
  const std::string env = qv::test::PostgresConnectionString();
  if (env.empty()) GTEST_SKIP() << "QV_TEST_PG is not set";
  Connection db;
  db.Open(env);
  db.Execute(
      "CREATE TEMPORARY TABLE wide AS SELECT g AS k, CASE WHEN g = 2001 THEN 1e40 "
      "ELSE g END::numeric AS n FROM generate_series(1, 2500) g");
  core::ErrorRecord e = ErrorOf([&] { db.Query("SELECT k, n FROM wide ORDER BY k"); });
  EXPECT_EQ(e.number, core::kErrDataConversion);
  EXPECT_NE(e.description.find("Column 'n', row 2001: "), std::string::npos) << e.description;
  EXPECT_NE(e.description.find("'10000000000000000000000000000000000000000"), std::string::npos)
      << e.description;
  EXPECT_EQ(db.Query("SELECT k FROM wide WHERE k < 3").records.RecordCount(), 2u);
}

// A value no file can hold fails the read, naming the reader's context, the row's key
// (read after the failed column), the column, the row and the value, on every back end
// and through both Query and a cursor; a row without a key names none.
TEST(RowNamingValues, FailedValueNamesContextKeyColumnRowAndValue) {
  qv::test::TestFolder folder;
  struct Backend {
    const char* name;
    std::string connection;
    std::string create;
  };
  const std::string rows =
      "CASE WHEN g IN (42, 2501) THEN '0050-01-01 00:00:00' ELSE '2024-01-01 10:00:00' END";
  const std::string key =
      "CASE WHEN g < 2500 THEN CONCAT('K', LPAD(CAST(g AS CHAR(4)), 4, '0')) END";
  const Backend backends[] = {
      {"SQLite", "Driver=SQLite3;NoCreat=0;Database=" + folder.File("named.db"),
       "CREATE TABLE named(g INTEGER, d DATETIME, tSID TEXT); INSERT INTO named WITH RECURSIVE "
       "c(g) AS (SELECT 1 UNION ALL SELECT g + 1 FROM c WHERE g < 3000) SELECT g, " +
           rows + ", CASE WHEN g < 2500 THEN 'K' || substr('000' || g, -4) END FROM c"},
      {"PostgreSQL", qv::test::PostgresConnectionString(),
       "CREATE TEMPORARY TABLE named AS SELECT g, (" + rows + ")::timestamp AS d, " + key +
           " AS tSID FROM generate_series(1, 3000) g"},
      {"MariaDB", qv::test::MariadbConnectionString(),
       "CREATE TEMPORARY TABLE named AS SELECT CAST(seq AS SIGNED) AS g, CAST(" +
           [&] {
             std::string r = rows;
             return r.replace(r.find("g IN"), 1, "seq");
           }() +
           " AS DATETIME) AS d, " +
           [&] {
             std::string k = key;
             k.replace(k.find("g <"), 1, "seq");
             return k.replace(k.find("CAST(g"), 6, "CAST(seq");
           }() +
           " AS tSID FROM seq_1_to_3000"},
  };
  for (const Backend& backend : backends) {
    SCOPED_TRACE(backend.name);
    if (backend.connection.empty()) continue;
    Connection db;
    db.Open(backend.connection);
    for (size_t from = 0, to; from < backend.create.size(); from = to + 1) {
      to = std::min(backend.create.find("; ", from), backend.create.size());
      db.Execute(backend.create.substr(from, to - from));
    }
    db.SetRowNaming({"Rule 2 of 5, File: /out/a.xml", "tSID"});
    const std::string named = "Rule 2 of 5, File: /out/a.xml, tSID 'K0042', column 'd', row 42: ";
    const std::string sql = "SELECT d, tSID FROM named ORDER BY g";
    for (const bool cursor : {false, true}) {
      const core::ErrorRecord e = ErrorOf([&] {
        if (!cursor) {
          db.Query(sql);
          return;
        }
        const std::unique_ptr<QueryCursor> rows_read = db.OpenCursor(sql);
        RecordStore store(rows_read->Fields().size());
        while (rows_read->FetchInto(store, kBlockRows) > 0) {
        }
      });
      EXPECT_EQ(e.description.rfind(named, 0), 0u) << e.description;
      EXPECT_NE(e.description.find("0050-01-01"), std::string::npos) << e.description;
    }
    const core::ErrorRecord keyless =
        ErrorOf([&] { db.Query("SELECT d, tSID FROM named WHERE g > 2000 ORDER BY g"); });
    EXPECT_EQ(keyless.description.rfind("Rule 2 of 5, File: /out/a.xml, column 'd', row 501: ", 0),
              0u)
        << keyless.description;
  }
}

// SQLite keeps any value in any column: text in a column declared a number or a date is
// written as the driver reads it, and each such column is named once with its count.
TEST_F(SqliteValues, ValuesOfTheWrongKindAreWarnedAboutPerColumn) {
  db_.Execute("CREATE TABLE kinds(n NUMERIC, d DATETIME, i INTEGER, ok NUMERIC)");
  db_.Execute(
      "INSERT INTO kinds VALUES (1, '2024-01-01 10:00:00', 1, 1), "
      "('abc', 'not a date', '12x', 2), (2.5, '2024-02-30', 'x', ' 3 '), (NULL, NULL, NULL, 4)");
  const RecordsetData data = db_.Query("SELECT n, d, i, ok FROM kinds");
  EXPECT_TRUE(Cell(data, 1, "n").IsNull());
  EXPECT_TRUE(Cell(data, 1, "d").IsNull());
  EXPECT_TRUE(Same(Cell(data, 1, "i"), Variant(int64_t{12})));
  EXPECT_TRUE(Cell(data, 2, "d").IsNull());
  const std::vector<std::string> warnings = db_.TakeWarnings();
  const std::vector<std::string> expected = {
      "Column 'n', row 2: 1 value(s) were not a number, though the column is declared as one; "
      "they are written as null, or as the number the text begins with",
      "Column 'd', row 2: 2 value(s) were not a date or time, though the column is declared as "
      "one; they are written as null",
      "Column 'i', row 2: 2 value(s) were not a number, though the column is declared as one; "
      "they are written as null, or as the number the text begins with"};
  EXPECT_EQ(warnings, expected);
}

}  // namespace
}  // namespace ado

// SQLite databases read with SQLite's own library give the files the ODBC driver gives,
// byte for byte, except for the values the driver alters: those arrive exact.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "ado/Recordset.h"
#include "e2e/ProgramFolder.h"
#include "e2e/TestDatabase.h"

namespace qv::e2e {
namespace {

// Exports SELECT `select` `from` in mode 1 through both paths; returns {native, odbc}.
std::pair<std::string, std::string> ExportBothPaths(const std::string& connection,
                                                    const std::string& select,
                                                    const std::string& from) {
  ProgramFolder folder;
  folder.WriteDataSources({{1, "Native", connection}, {2, "Odbc", connection + ";NativeSqlite=0"}});
  folder.WriteRules({{folder.File("native.xml"), 1, select, from, "", "ORDER BY 1", "N"},
                     {folder.File("odbc.xml"), 2, select, from, "", "ORDER BY 1", "O"}});
  const ExportRun run = folder.Run({"1"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  return {ReadText(folder.File("native.xml")), ReadText(folder.File("odbc.xml"))};
}

// The line of each text where they first differ, for the failure message.
std::string FirstDifference(const std::string& a, const std::string& b) {
  size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  auto line = [&](const std::string& text) {
    const size_t start = text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
    return text.substr(start, text.find('\n', at) - start);
  };
  return "\nnative: " + line(a) + "\n  odbc: " + line(b);
}

// Every declared type, every storage class in each, nulls interleaved, 3000 rows: more
// than one fetch block of the driver.
TEST(SqlitePaths, RandomTableGivesTheSameFileOnBothPaths) {
  test::TestFolder data;
  const std::string columns[] = {
      "i INTEGER",        "n4 INT",     "bi BIGINT",     "sm SMALLINT",     "ti TINYINT",
      "bo BOOLEAN",       "bt BIT",     "r REAL",        "f FLOAT",         "d8 DOUBLE",
      "nm NUMERIC(10,2)", "de DECIMAL", "v VARCHAR(20)", "c CHAR(3)",       "tx TEXT",
      "cl CLOB",          "b BLOB",     "d DATE",        "tm TIME",         "dt DATETIME",
      "ts TIMESTAMP",     "u",          "g GUID",        "lv VARCHAR(300)", "ui INTEGER UNSIGNED",
      "vb VARBINARY(10)"};
  // One value per storage class and format the driver reads in its own way, picked at
  // random. Numbers keep to 15 significant digits, which the driver passes unchanged.
  const std::vector<std::string> values = {
      "NULL",
      "abs(random()) % 100000 - 50000",
      "abs(random()) % 1000000000000 - 500000000000",
      "(abs(random()) % 10000000) / 1000.0",
      "'t' || (k % 97) || ' Grüße <&> \"q\" 😀'",
      "randomblob(1 + k % 5)",
      "strftime('%Y-%m-%d %H:%M:%f', 2451545 + (abs(random()) % 9000000) / 1000.0)",
      "strftime('%Y-%m-%d', 2451545 + abs(random()) % 9000)",
      "strftime('%H:%M:%S', (abs(random()) % 86400) / 86400.0)",
      "2451545 + (abs(random()) % 9000)",
      "'12x'",
      "' 7 '",
      "'yes'",
      "'0x1f'",
      "-1",
      "''",
      "NULL",
      "strftime('%m/%d/%Y', 2451545 + abs(random()) % 9000)",
      "strftime('%Y-%m-%dT%H:%M:%SZ', 2451545 + abs(random()) % 9000)",
      "'2024-02-29T10:11:12+02:30'",
      "'10:11:12 pm'",
      "'202402291314151'",
  };
  std::string create = "CREATE TABLE t(k INTEGER PRIMARY KEY";
  std::string insert =
      "INSERT INTO t WITH RECURSIVE s(k) AS (SELECT 1 UNION ALL SELECT k + 1 "
      "FROM s WHERE k < 3000) SELECT k";
  for (size_t c = 0; c < std::size(columns); ++c) {
    create += ", " + columns[c];
    insert +=
        ", CASE (abs(random()) + " + std::to_string(c) + ") % " + std::to_string(values.size());
    for (size_t v = 0; v < values.size(); ++v) {
      insert += " WHEN " + std::to_string(v) + " THEN " + values[v];
    }
    insert += " END";
  }
  const std::string connection =
      CreateSqliteDatabase(data.File("random.db"), create + ");\n" + insert + " FROM s;\n");

  const auto [native, odbc] =
      ExportBothPaths(connection, "SELECT *, 1.5 * r, k + 1, typeof(tx), 'x' AS \"a.b\"", "FROM t");
  EXPECT_GT(native.size(), 100000u);
  EXPECT_TRUE(native == odbc) << FirstDifference(native, odbc);
}

// Values the driver cuts to 15 digits, infinities, and text with a NUL character arrive
// as SQLite holds them and survive the file.
TEST(SqlitePaths, ValuesTheDriverAltersArriveExact) {
  test::TestFolder data;
  const double kInf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<std::string, double>> reals = {
      {"1.0 / 3", 1.0 / 3},
      {"123456789.12345679", 123456789.12345679},
      {"9007199254740993.0", 9007199254740992.0},
      {"1.7976931348623157e308", 1.7976931348623157e308},
      {"5e-324", 5e-324},
      {"-0.0", 0.0},
      {"9e999", kInf},
      {"-9e999", -kInf},
  };
  std::string sql = "CREATE TABLE t(k INTEGER, r REAL, tx TEXT);\n";
  for (size_t i = 0; i < reals.size(); ++i) {
    sql += "INSERT INTO t VALUES(" + std::to_string(i) + ", " + reals[i].first + ", " +
           (i == 0 ? "'ab' || char(0) || 'cd'" : "NULL") + ");\n";
  }
  const std::string connection = CreateSqliteDatabase(data.File("exact.db"), sql);
  const auto [native, odbc] = ExportBothPaths(connection, "SELECT *", "FROM t");
  EXPECT_NE(native, odbc);  // the driver rounds

  test::TestFolder out;
  const std::string file = out.File("native.xml");
  { std::ofstream(file, std::ios::binary) << native; }
  ado::Recordset rs;
  rs.Open(ado::Variant(file));
  ASSERT_EQ(rs.RecordCount(), static_cast<int64_t>(reals.size()));
  for (size_t i = 0; i < reals.size(); ++i, rs.MoveNext()) {
    const double got = rs.Fields().Item("r").Value().AsDouble();
    EXPECT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(reals[i].second))
        << reals[i].first << " arrived as " << got;
  }
  // A NUL cannot stand in XML: it becomes U+FFFD and the rest of the text stays.
  rs.MoveFirst();
  EXPECT_EQ(rs.Fields().Item("tx").Value().AsString(),
            "ab\xEF\xBF\xBD"
            "cd");
}

}  // namespace
}  // namespace qv::e2e

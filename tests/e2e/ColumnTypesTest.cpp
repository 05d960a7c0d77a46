// Result files of queries over the common column types of SQLite and PostgreSQL: they
// pass `rsfile check` and describe each column the way ADO does for its type.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "e2e/ProgramFolder.h"
#include "e2e/ResultFile.h"
#include "e2e/TestDatabase.h"

namespace qv::e2e {
namespace {

// Whether `text` is `pattern` with each "#" standing for one or more digits.
bool MatchesLayout(const std::string& text, const std::string& pattern) {
  size_t t = 0;
  for (size_t p = 0; p < pattern.size(); ++p) {
    if (pattern[p] == '#') {
      const size_t start = t;
      while (t < text.size() && std::isdigit(static_cast<unsigned char>(text[t]))) ++t;
      if (t == start) return false;
    } else if (t >= text.size() || text[t++] != pattern[p]) {
      return false;
    }
  }
  return t == text.size();
}

using Layouts = std::vector<std::pair<std::string, std::string>>;  // field, s:datatype

// Runs mode 1 for SELECT * `from` on the data source and checks the file it writes.
// With `also_through_driver` (SQLite), the same export through the ODBC driver
// (NativeSqlite=0) must write the same bytes. `text` receives the file's text.
ResultFile ExportAndCheck(const std::string& connection, const std::string& from,
                          const Layouts& layouts, size_t records, bool also_through_driver = false,
                          std::string* text = nullptr) {
  ProgramFolder folder;
  folder.WriteDataSources(
      {{1, "Types", connection}, {2, "Driver", connection + ";NativeSqlite=0"}});
  const std::string target = folder.File("out/types.xml");
  std::vector<ExportRule> rules = {{target, 1, "SELECT *", from, "", "ORDER BY 1", "Types"}};
  const std::string driver_target = folder.File("out/driver.xml");
  if (also_through_driver) {
    rules.push_back({driver_target, 2, "SELECT *", from, "", "ORDER BY 1", "Driver"});
  }
  folder.WriteRules(rules);
  const ExportRun run = folder.Run({"1"});
  EXPECT_EQ(run.exit_code, 0) << run.err;

  const std::string xml = ReadText(target);
  if (text) *text = xml;
  if (also_through_driver) {
    EXPECT_EQ(xml, ReadText(driver_target));
  }
  for (const auto& [field, layout] : layouts) {
    const std::string element = DatatypeElement(xml, field);
    EXPECT_TRUE(MatchesLayout(element, layout))
        << field << "\n   got " << element << "\n  want " << layout;
  }
  if (!std::filesystem::exists(ProgramFolder::RsfilePath())) {
    ADD_FAILURE() << "rsfile is not built: " << ProgramFolder::RsfilePath();
  } else {
    const ChildResult check = RunChild({ProgramFolder::RsfilePath(), "check", target});
    EXPECT_EQ(check.exit_code, 0) << check.err;
    EXPECT_NE(check.out.find(std::to_string(layouts.size()) + " fields, " +
                             std::to_string(records) + " records"),
              std::string::npos)
        << check.out;
  }
  return ResultFile::Read(target);
}

TEST(ColumnTypes, SqliteColumnsGetAdoLayouts) {
  test::TestFolder data;
  const std::string connection = CreateSqliteDatabase(
      data.File("types.db"),
      "CREATE TABLE types(i INTEGER NOT NULL, bi BIGINT, sm SMALLINT, r REAL, bo BOOLEAN, "
      "tx TEXT, v VARCHAR(20), c CHAR(3), b BLOB, d DATE, ts DATETIME, tm TIME);\n"
      "INSERT INTO types VALUES(1, 9000000000, -3, 1.5, 1, 'Grüße <&> \"x\"', 'Ωmega', 'abc', "
      "x'00ff10" +
          std::string(600, '0') +
          "', '2024-02-29', '2024-02-29 13:14:15.123', '10:11:12');\n"
          "INSERT INTO types(i) VALUES(2);");
  const Layouts layouts = {
      // The driver reports every column as nullable, so none says rs:maybenull. SQLite
      // integers are 64-bit whatever the declared type: every integer column is an i8.
      {"i", "<s:datatype dt:type='i8' dt:maxLength='8' rs:precision='19' rs:fixedlength='true'/>"},
      {"bi", "<s:datatype dt:type='i8' dt:maxLength='8' rs:precision='19' rs:fixedlength='true'/>"},
      {"sm", "<s:datatype dt:type='i8' dt:maxLength='8' rs:precision='19' rs:fixedlength='true'/>"},
      {"r",
       "<s:datatype dt:type='float' dt:maxLength='8' rs:precision='15' rs:fixedlength='true'/>"},
      {"bo", "<s:datatype dt:type='boolean' dt:maxLength='2' rs:fixedlength='true'/>"},
      {"tx", "<s:datatype dt:type='string' rs:dbtype='str' dt:maxLength='#' rs:long='true'/>"},
      {"v", "<s:datatype dt:type='string' rs:dbtype='str' dt:maxLength='20'/>"},
      // The driver reports CHAR(n) as VARCHAR(n).
      {"c", "<s:datatype dt:type='string' rs:dbtype='str' dt:maxLength='3'/>"},
      // A BLOB has no size limit: long variable binary.
      {"b", "<s:datatype dt:type='bin.hex' dt:maxLength='#' rs:long='true'/>"},
      {"d", "<s:datatype dt:type='date' dt:maxLength='6' rs:fixedlength='true'/>"},
      {"ts",
       "<s:datatype dt:type='dateTime' rs:dbtype='timestamp' dt:maxLength='16' "
       "rs:scale='#' rs:precision='#' rs:fixedlength='true'/>"},
      {"tm", "<s:datatype dt:type='time' dt:maxLength='6' rs:fixedlength='true'/>"},
  };
  const ResultFile file = ExportAndCheck(connection, "FROM types", layouts, 2, true);
  ASSERT_EQ(file.rows.size(), 2u);
  EXPECT_EQ(file.Column("tx")[0], "Grüße <&> \"x\"");
  EXPECT_EQ(file.Column("v")[0], "Ωmega");
  EXPECT_EQ(file.Column("bi")[0], "9000000000");
  EXPECT_EQ(file.Column("d")[0], "2024-02-29");
  EXPECT_EQ(file.Column("tx")[1], "NULL");
  EXPECT_EQ(file.Column("b")[0], "00ff10" + std::string(600, '0'));
  EXPECT_EQ(file.Column("b")[1], "NULL");
}

TEST(ColumnTypes, PostgresColumnsGetAdoLayouts) {
  const std::string connection = PostgresConnectionString();
  if (connection.empty()) GTEST_SKIP() << "QV_TEST_PG is not set";
  PostgresTables tables(connection);
  const std::string table = tables.Table("types");
  tables.Execute("CREATE TABLE " + table +
                 "(i integer PRIMARY KEY, bi bigint, sm smallint, n numeric(38,10), "
                 "m numeric(10,2), r real, dp double precision, bo boolean, tx text, "
                 "v varchar(20), c char(3), b bytea, u uuid, d date, tm time, ts timestamp)");
  tables.Execute("INSERT INTO " + table +
                 " VALUES(1, 9223372036854775807, -32768, "
                 "'1234567890123456789012345678.0123456789', 2635.23, 1.25, 0.1, true, "
                 "'Grüße <&> \"x\"', 'Ωmega', 'ab', '\\x00ff10', "
                 "'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11', '2024-02-29', '10:11:12', "
                 "'2079-06-18 12:54:26.319858')");
  tables.Execute("INSERT INTO " + table + "(i) VALUES(2)");
  const Layouts layouts = {
      {"i",
       "<s:datatype dt:type='int' dt:maxLength='4' rs:precision='10' rs:fixedlength='true' "
       "rs:maybenull='false'/>"},
      {"bi", "<s:datatype dt:type='i8' dt:maxLength='8' rs:precision='19' rs:fixedlength='true'/>"},
      {"sm", "<s:datatype dt:type='i2' dt:maxLength='2' rs:precision='5' rs:fixedlength='true'/>"},
      {"n",
       "<s:datatype dt:type='number' rs:dbtype='numeric' dt:maxLength='19' rs:scale='10' "
       "rs:precision='38' rs:fixedlength='true'/>"},
      {"m",
       "<s:datatype dt:type='number' rs:dbtype='numeric' dt:maxLength='19' rs:scale='2' "
       "rs:precision='10' rs:fixedlength='true'/>"},
      {"r", "<s:datatype dt:type='r4' dt:maxLength='4' rs:precision='7' rs:fixedlength='true'/>"},
      {"dp",
       "<s:datatype dt:type='float' dt:maxLength='8' rs:precision='15' rs:fixedlength='true'/>"},
      {"bo", "<s:datatype dt:type='boolean' dt:maxLength='2' rs:fixedlength='true'/>"},
      // The Unicode driver gives wide text: no rs:dbtype='str'.
      {"tx", "<s:datatype dt:type='string' dt:maxLength='#' rs:long='true'/>"},
      {"v", "<s:datatype dt:type='string' dt:maxLength='20'/>"},
      {"c", "<s:datatype dt:type='string' dt:maxLength='3' rs:fixedlength='true'/>"},
      {"b", "<s:datatype dt:type='bin.hex' dt:maxLength='#' rs:long='true'/>"},
      {"u", "<s:datatype dt:type='uuid' dt:maxLength='16' rs:fixedlength='true'/>"},
      {"d", "<s:datatype dt:type='date' dt:maxLength='6' rs:fixedlength='true'/>"},
      {"tm", "<s:datatype dt:type='time' dt:maxLength='6' rs:fixedlength='true'/>"},
      {"ts",
       "<s:datatype dt:type='dateTime' rs:dbtype='timestamp' dt:maxLength='16' "
       "rs:scale='6' rs:precision='26' rs:fixedlength='true'/>"},
  };
  std::string xml;
  const ResultFile file = ExportAndCheck(connection, "FROM " + table, layouts, 2, false, &xml);
  ASSERT_EQ(file.rows.size(), 2u);
  EXPECT_EQ(file.Column("n")[0], "1234567890123456789012345678.0123456789");
  EXPECT_EQ(file.Column("m")[0], "2635.23");
  EXPECT_EQ(file.Column("bi")[0], "9223372036854775807");
  EXPECT_EQ(file.Column("tx")[0], "Grüße <&> \"x\"");
  EXPECT_EQ(file.Column("c")[0], "ab ");
  EXPECT_EQ(file.Column("n")[1], "NULL");
  // Every digit of the fraction, where the day value alone would give ...26.31986.
  EXPECT_NE(xml.find("ts='2079-06-18T12:54:26.319858'"), std::string::npos);
}

}  // namespace
}  // namespace qv::e2e

// The built program on MariaDB (QV_TEST_MARIADB) in every mode, over a table of the
// common MariaDB types with nulls interleaved: every run succeeds, every entity is sent,
// mode 1's file passes `rsfile check` and holds the values exact, and a second run over
// the unchanged table sends nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "e2e/DiffExport.h"

namespace qv::e2e {
namespace {

constexpr int kRows = 250;

class MariadbExport : public ::testing::TestWithParam<int> {};

TEST_P(MariadbExport, EveryCommonTypeInEveryMode) {
  const std::string connection = test::MariadbConnectionString();
  if (connection.empty()) GTEST_SKIP() << "QV_TEST_MARIADB is not set";
  if (const std::string missing = test::Receiver::MissingTool(); !missing.empty()) {
    GTEST_SKIP() << missing << " is not installed";
  }
  PostgresTables tables(connection);
  const std::string table = tables.Table("every");
  tables.Execute("CREATE TABLE " + table +
                 "(tSID VARCHAR(10), f FLOAT, dp DOUBLE, bt BIT(1), lt TEXT, tm TIME, d DATE, "
                 "ts DATETIME(6), e ENUM('small','large'), st SET('red','blue'), j JSON, "
                 "n DECIMAL(38,10), ub BIGINT UNSIGNED, bl BLOB, y YEAR)");
  const std::vector<std::string> values = {
      "CASE k % 50 WHEN 3 THEN 3.402823466e38 WHEN 4 THEN -3.402823466e38 "
      "WHEN 6 THEN 1.17549435e-38 ELSE k / 4e0 - 30 END",
      "CASE k % 50 WHEN 3 THEN 1.7976931348623157e308 WHEN 6 THEN 2.2250738585072014e-308 "
      "ELSE k * 1.5e-300 END",
      "k % 2",
      "CONCAT(k, ' ', REPEAT('Ωμέγα 中文字 😀🎉 ', 40))",
      "SEC_TO_TIME((k - 125) * 12345)",
      "CASE k % 50 WHEN 7 THEN '0000-00-00' WHEN 8 THEN '2024-02-00' "
      "ELSE DATE '2000-01-01' + INTERVAL k DAY END",
      "TIMESTAMP '9999-12-31 22:00:00.999999' + INTERVAL k SECOND",
      "ELT(k % 2 + 1, 'small', 'large')",
      "ELT(k % 3 + 1, 'red', 'red,blue', '')",
      "JSON_OBJECT('k', k)",
      "k * 1234567890123.0123456789",
      "18446744073709551615 - k",
      "CONCAT(x'00ff', k)",
      "1901 + k",
  };
  std::string select = "CONCAT('e', LPAD(k, 3, '0'))";
  for (size_t c = 0; c < values.size(); ++c) {
    select +=
        ", CASE WHEN (k + " + std::to_string(c) + ") % 5 = 0 THEN NULL ELSE " + values[c] + " END";
  }
  tables.Execute("INSERT INTO " + table + " SELECT " + select +
                 " FROM (SELECT CAST(seq AS SIGNED) AS k FROM seq_1_to_" + std::to_string(kRows) +
                 ") AS g");

  ProgramFolder folder;
  folder.WriteDataSources({{1, "Every", connection}});
  folder.StartReceiver();
  const std::string target = folder.File("out/every.xml");
  folder.WriteRules({{target, 1, "SELECT *", "FROM " + table, "", "ORDER BY tSID", "Every"}});

  const int mode = GetParam();
  size_t seen = 0;
  const ExportRun first = folder.Run({std::to_string(mode)});
  ASSERT_EQ(first.exit_code, 0) << first.err << first.log;
  // The driver gives 0000-00-00 as null; a zero day is null too, and reported.
  EXPECT_GE(first.LogLines("Column 'd', row 8: "), 1) << first.log;

  if (mode == 1) {
    const ChildResult check = RunChild({ProgramFolder::RsfilePath(), "check", target});
    EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
    const ResultFile file = ResultFile::Read(target);
    ASSERT_EQ(file.rows.size(), static_cast<size_t>(kRows));
    EXPECT_EQ(file.Column("f")[0], "-29.75");
    EXPECT_EQ(file.Column("f")[4], "NULL");
    // The bounds of FLOAT and DOUBLE, which the file reads back.
    const std::string text = ReadText(target);
    for (const char* bound : {"f='3.4028235E+38'", "f='-3.4028235E+38'", "f='1.1754944E-38'",
                              "dp='1.7976931348623157E+308'", "dp='2.2250738585072014E-308'"}) {
      EXPECT_NE(text.find(bound), std::string::npos) << bound;
    }
    EXPECT_EQ(file.Column("tm")[0], "NULL");
    EXPECT_EQ(file.Column("tm")[1], "-421:47:15");
    EXPECT_EQ(file.Column("tm")[249], "428:38:45");
    EXPECT_EQ(file.Column("d")[6], "NULL");
    EXPECT_EQ(file.Column("d")[7], "NULL");
    EXPECT_EQ(file.Column("d")[8], "2000-01-10");
    EXPECT_EQ(file.Column("ub")[0], "18446744073709551614");
    EXPECT_EQ(file.Column("n")[1], "2469135780246.0246913578");
    EXPECT_EQ(file.Column("st")[3], "red,blue");
    EXPECT_EQ(file.Column("bl")[0], "00ff31");
    // Every digit of the fraction, where a day value holds only about 40 us.
    EXPECT_NE(ReadText(target).find("ts='9999-12-31T22:00:01.999999'"), std::string::npos);
    return;
  }
  std::multiset<std::string> keys;
  for (const Delivery& delivery : Accepted(NewDeliveries(folder.receiver(), seen))) {
    ASSERT_TRUE(delivery.file) << delivery.fn;
    const auto sids = ColumnIgnoringCase(*delivery.file, "tSID");
    keys.insert(sids.begin(), sids.end());
  }
  EXPECT_EQ(keys.size(), static_cast<size_t>(kRows));
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), static_cast<size_t>(kRows));

  if (mode >= 4) {
    const ExportRun second = folder.Run({std::to_string(mode)});
    EXPECT_EQ(second.exit_code, 0) << second.err << second.log;
    EXPECT_TRUE(NewDeliveries(folder.receiver(), seen).empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, MariadbExport, ::testing::Range(1, 8),
                         [](const auto& mode) { return "Mode" + std::to_string(mode.param); });

}  // namespace
}  // namespace qv::e2e

// Values the file cannot hold as the database gives them (control characters, time
// fractions finer than a microsecond, integers beyond 32 bits in an INTEGER column) are
// sent once: a second run over the unchanged table sends nothing.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e/DiffExport.h"

namespace qv::e2e {
namespace {

class FileValuesExport : public ::testing::TestWithParam<int> {};

TEST_P(FileValuesExport, UnchangedTableSendsNothingOnTheSecondRun) {
  if (const std::string missing = test::Receiver::MissingTool(); !missing.empty()) {
    GTEST_SKIP() << missing << " is not installed";
  }
  ProgramFolder folder;
  const std::unique_ptr<DiffDatabase> db = DiffDatabase::Open(Backend::kSqlite, folder);
  db->Execute(
      "CREATE TABLE every(tSID TEXT, i INTEGER, bi BIGINT, sm SMALLINT, r REAL, n NUMERIC, "
      "bo BOOLEAN, tx TEXT, v VARCHAR(20), c CHAR(3), b BLOB, d DATE, ts DATETIME, tm TIME)");
  // 250 rows, three pages in mode 7; every fifth value of a column is null.
  const std::vector<std::string> values = {
      "k * 17179869184 - 2147483648",
      "k * 36893488147419103",
      "k",
      "k / 3.0",
      "k / 7.0",
      "k % 2",
      "'text ' || char(k % 32) || ' ' || k",
      "'v' || char(1) || k",
      "printf('%03d', k)",
      "CAST('b' || k AS BLOB)",
      "date('2000-01-01', '+' || k || ' days')",
      "'2024-05-01 10:00:' || printf('%02d', k % 60) || '.12345' || printf('%02d', k % 100)",
      "time(k * 37, 'unixepoch')",
  };
  std::string select = "printf('e%03d', k)";
  for (size_t c = 0; c < values.size(); ++c) {
    select +=
        ", CASE WHEN (k + " + std::to_string(c) + ") % 5 = 0 THEN NULL ELSE " + values[c] + " END";
  }
  db->Execute(
      "INSERT INTO every WITH RECURSIVE g(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM g WHERE k < "
      "250) SELECT " +
      select + " FROM g");
  folder.WriteDataSources({{1, "Every", db->ConnectionString()}});
  folder.StartReceiver();
  folder.WriteRules(
      {{folder.File("out/every.xml"), 1, "SELECT *", "FROM every", "", "ORDER BY tSID", "Every"}});

  const std::string mode = std::to_string(GetParam());
  size_t seen = 0;
  const ExportRun first = folder.Run({mode});
  EXPECT_EQ(first.exit_code, 0) << first.err << first.log;
  const std::vector<Delivery> sent = Accepted(NewDeliveries(folder.receiver(), seen));
  EXPECT_FALSE(sent.empty());
  std::multiset<std::string> keys;
  for (const Delivery& delivery : sent) {
    ASSERT_TRUE(delivery.file) << delivery.fn;
    const auto sids = ColumnIgnoringCase(*delivery.file, "tSID");
    keys.insert(sids.begin(), sids.end());
  }
  EXPECT_EQ(keys.size(), 250u);
  // Each query reports the replaced characters, once per column.
  EXPECT_GE(first.LogLines("Warning\tCQvDataExporter.GetRS, Column 'tx', row 1: "), 1) << first.log;
  EXPECT_EQ(first.LogLines("GetRS, Column 'tx', "), first.LogLines("GetRS, Column 'v', "));

  const ExportRun second = folder.Run({mode});
  EXPECT_EQ(second.exit_code, 0) << second.err << second.log;
  EXPECT_TRUE(NewDeliveries(folder.receiver(), seen).empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, FileValuesExport, ::testing::Values(4, 7),
                         [](const auto& mode) { return "Mode" + std::to_string(mode.param); });

}  // namespace
}  // namespace qv::e2e

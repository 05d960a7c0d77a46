#include "log/LogRetention.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>

#include "support/TestFolder.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

std::set<std::string> Names(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

class LogRetentionTest : public ::testing::Test {
 protected:
  // A file last written `days_ago` days before now_.
  void Make(const std::string& name, int days_ago) {
    fs::last_write_time(folder_.Write(name, "x"), now_ - std::chrono::hours(24) * days_ago);
  }
  test::TestFolder folder_;
  fs::file_time_type now_ = fs::file_time_type::clock::now();
};

TEST_F(LogRetentionTest, RemovesOnlyItsOwnLogsOlderThanTheRetention) {
  Make("RX_2026-01-01_10.log", 15);
  Make("RX_2026-01-14_10.log", 13);
  Make("RX01-01-2026_10.00.00.log", 20);
  Make("RX01-14-2026_10.00.00.log", 1);
  // Names that only look alike, and other files, stay whatever their age.
  Make("RX_2026-01-01_10.log.bak", 30);
  Make("RX_2026-1-01_10.log", 30);
  Make("rx_2026-01-01_10.log", 30);
  Make("QvExportRules.xml", 30);
  fs::create_directory(folder_.Path() / "RX_2026-01-02_10.log");
  fs::last_write_time(folder_.Path() / "RX_2026-01-02_10.log", now_ - std::chrono::hours(24 * 30));

  LogRetention retention;
  retention.days = 14;
  const LogRetention::Outcome outcome = retention.Prune(folder_.Path(), now_);
  EXPECT_EQ(outcome.removed, 2U);
  EXPECT_EQ(outcome.bytes, 2U);
  EXPECT_TRUE(outcome.failures.empty());
  EXPECT_EQ(
      Names(folder_.Path()),
      (std::set<std::string>{"RX_2026-01-14_10.log", "RX01-14-2026_10.00.00.log",
                             "RX_2026-01-01_10.log.bak", "RX_2026-1-01_10.log",
                             "rx_2026-01-01_10.log", "QvExportRules.xml", "RX_2026-01-02_10.log"}));
}

TEST_F(LogRetentionTest, KeepsTheNewestRunLogsByTheTimeInTheirName) {
  // Month first in the name: name order is not time order. The write times say the
  // opposite of the names, so only the names can give this result.
  Make("RX12-31-2025_23.59.59.log", 0);
  Make("RX01-01-2026_00.00.01.log", 1);
  Make("RX01-01-2026_00.00.00.log", 1);
  Make("RX02-01-2025_12.00.00.log", 0);
  Make("RX_2026-01-01_00.log", 0);  // hourly logs are not counted

  LogRetention retention;
  retention.keep_files = 2;
  EXPECT_EQ(retention.Prune(folder_.Path(), now_).removed, 2U);
  EXPECT_EQ(Names(folder_.Path()),
            (std::set<std::string>{"RX01-01-2026_00.00.01.log", "RX01-01-2026_00.00.00.log",
                                   "RX_2026-01-01_00.log"}));
}

TEST_F(LogRetentionTest, AMissingFolderIsAFailureNotAThrow) {
  const LogRetention::Outcome outcome = LogRetention().Prune(folder_.Path() / "gone", now_);
  EXPECT_EQ(outcome.removed, 0U);
  EXPECT_EQ(outcome.failures.size(), 1U);
}

}  // namespace
}  // namespace qv

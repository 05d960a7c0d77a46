#include "platform/AppLog.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/TestFolder.h"

namespace qv::platform {
namespace {

const core::LocalTime kMoment{2024, 3, 5, 14, 2, 9};

TEST(AppLog, AppendsOneStampedLinePerEntry) {
  qv::test::TestFolder folder;
  std::ostringstream errors;
  AppLog log(std::make_shared<core::FixedClock>(kMoment), errors);
  auto target = folder.Path() / "RX_2024-03-05_14.log";
  log.StartLogging(target, 0);

  EXPECT_TRUE(log.LogEvent("first failure", kAppLogError));
  EXPECT_TRUE(log.LogEvent("careful", kAppLogWarning));
  EXPECT_TRUE(log.LogEvent("progress", kAppLogInformation));
  EXPECT_TRUE(log.LogEvent("odd type", 16));

  EXPECT_EQ(qv::test::ReadBytes(target),
            "2024-03-05 14:02:09\tError\tfirst failure\n"
            "2024-03-05 14:02:09\tWarning\tcareful\n"
            "2024-03-05 14:02:09\tInformation\tprogress\n"
            "2024-03-05 14:02:09\tInformation\todd type\n");
  // Only errors and warnings are echoed.
  EXPECT_EQ(errors.str(),
            "2024-03-05 14:02:09\tError\tfirst failure\n"
            "2024-03-05 14:02:09\tWarning\tcareful\n");
}

TEST(AppLog, AnEntryToAnotherTargetLeavesTheStartedOneAlone) {
  qv::test::TestFolder folder;
  std::ostringstream errors;
  AppLog log(std::make_shared<core::FixedClock>(kMoment), errors);
  const auto started = folder.Path() / "started.log";
  const auto other = folder.Path() / "other.log";
  log.StartLogging(started);
  ASSERT_TRUE(log.LogEvent("one", kAppLogInformation));
  ASSERT_TRUE(
      log.LogEventTo(other, core::LocalTime{2031, 1, 2, 3, 4, 5}, "elsewhere", kAppLogInformation));
  ASSERT_TRUE(log.LogEvent("two", kAppLogInformation));

  EXPECT_EQ(qv::test::ReadBytes(started),
            "2024-03-05 14:02:09\tInformation\tone\n"
            "2024-03-05 14:02:09\tInformation\ttwo\n");
  EXPECT_EQ(qv::test::ReadBytes(other), "2031-01-02 03:04:05\tInformation\telsewhere\n");
}

TEST(AppLog, KeepsEachEntryOnOneLine) {
  EXPECT_EQ(AppLog::FormatLine(kMoment, kAppLogInformation, "a\r\nb\nc\rd\te"),
            "2024-03-05 14:02:09\tInformation\ta b c d\te");
}

TEST(AppLog, EntryAfterACutLineStartsOnItsOwnLine) {
  qv::test::TestFolder folder;
  auto target = folder.Write("app.log", "2024-03-05 14:02:08\tError\tcut off mid-li");
  std::ostringstream errors;
  AppLog log(std::make_shared<core::FixedClock>(kMoment), errors);
  log.StartLogging(target);
  ASSERT_TRUE(log.LogEvent("next", kAppLogInformation));
  EXPECT_EQ(qv::test::ReadBytes(target),
            "2024-03-05 14:02:08\tError\tcut off mid-li\n"
            "2024-03-05 14:02:09\tInformation\tnext\n");
}

TEST(AppLog, FollowsTheLatestTargetAndReportsUnwritableOnes) {
  qv::test::TestFolder folder;
  std::ostringstream errors;
  AppLog log(std::make_shared<core::FixedClock>(kMoment), errors);
  EXPECT_FALSE(log.LogEvent("no target yet", kAppLogWarning));
  EXPECT_EQ(errors.str(), "2024-03-05 14:02:09\tWarning\tno target yet\n");

  log.StartLogging(folder.Path() / "missing-folder" / "app.log");
  EXPECT_FALSE(log.LogEvent("cannot write", kAppLogInformation));

  log.StartLogging(folder.Path() / "a.log");
  EXPECT_TRUE(log.LogEvent("to a", kAppLogInformation));
  log.StartLogging(folder.Path() / "b.log");
  EXPECT_TRUE(log.LogEvent("to b", kAppLogInformation));
  EXPECT_EQ(qv::test::ReadBytes(folder.Path() / "a.log"),
            "2024-03-05 14:02:09\tInformation\tto a\n");
  EXPECT_EQ(qv::test::ReadBytes(folder.Path() / "b.log"),
            "2024-03-05 14:02:09\tInformation\tto b\n");
}

TEST(AppLog, FormatsTimesWithLeadingZeros) {
  EXPECT_EQ(core::FormatDateTime(core::LocalTime{2031, 12, 31, 23, 59, 58}), "2031-12-31 23:59:58");
  EXPECT_EQ(core::FormatDateTime(core::LocalTime{999, 1, 2, 3, 4, 5}), "0999-01-02 03:04:05");
}

}  // namespace
}  // namespace qv::platform

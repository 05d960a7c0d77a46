#include "shared/QvSharedErrorLog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/Error.h"
#include "shared/ErrorBoundary.h"
#include "shared/LogCapture.h"
#include "shared/QvSharedRegistry.h"
#include "support/TestFolder.h"

namespace qv {
namespace {

using test::LogCapture;
using test::ReadBytes;
using test::TestFolder;

TEST(QvSharedErrorLog, ApplicationLogSinkWritesOneLinePerEntryIntoTheHourlyFile) {
  TestFolder folder;
  auto clock = std::make_shared<core::FixedClock>(core::LocalTime{2024, 3, 7, 9, 5, 2});
  auto sink = MakeApplicationLogSink(folder.Path().string(), clock);
  sink->Write(LogEntry{"first\r\nreport", core::ErrorRecord{3709, "src", "bad file", "", 0},
                       kEventWarning, kLevelExport});
  sink->Write(LogEntry{"second", {}, kEventInformation, kLevelDetail});

  EXPECT_EQ(ReadBytes(folder.File("RX_2024-03-07_09.log")),
            "2024-03-07 09:05:02\tWarning\tfirst report (Error 3709: bad file)\n"
            "2024-03-07 09:05:02\tInformation\tsecond\n");
}

TEST(QvSharedErrorLog, SetSinkSwapsAndReturnsThePreviousSink) {
  LogCapture capture;
  QvSharedErrorLog::Instance().LogEvent("to capture", {}, kEventWarning, kLevelExport);
  ASSERT_EQ(capture.Entries().size(), 1u);
  EXPECT_EQ(capture.Entries()[0].message, "to capture");

  auto mine = QvSharedErrorLog::Instance().SetSink(nullptr);
  QvSharedErrorLog::Instance().LogEvent("dropped", {}, kEventWarning, kLevelExport);
  QvSharedErrorLog::Instance().SetSink(mine);
  EXPECT_EQ(capture.Entries().size(), 1u);
}

TEST(ErrorBoundary, ReportsTheFailingStepAndReturnsTheNeutralResult) {
  LogCapture capture;
  const int result = Guard(
      ReportToErrorLog, -1,
      [](int& line) -> int {
        line = 1;
        line = 2;
        throw core::Error(core::kErrObjectClosed, "ado", "closed");
      },
      AtLine("CQvThing.Operation, @Line#"));
  EXPECT_EQ(result, -1);
  ASSERT_EQ(capture.Entries().size(), 1u);
  const LogEntry& entry = capture.Entries()[0];
  EXPECT_EQ(entry.message, "CQvThing.Operation, @Line#2");
  EXPECT_EQ(entry.error.number, core::kErrObjectClosed);
  EXPECT_EQ(entry.error.description, "closed");
  EXPECT_EQ(entry.event_type, kEventWarning);
  EXPECT_EQ(entry.caller_level, kLevelExport);
}

TEST(ErrorBoundary, TakesAnyReporterAndANeutralResultByStep) {
  std::vector<std::string> reports;
  const auto report = [&](const std::string& message, const core::ErrorRecord& error, int32_t,
                          int32_t) { reports.push_back(message + " " + error.description); };
  const auto fail_at = [&](int step) {
    return GuardByStep<int>(
        report, [](int line) { return -line; },
        [step](int& line) -> int {
          line = step;
          throw core::Error(core::kErrObjectClosed, "ado", "closed");
        },
        AtLine("Op @"));
  };
  EXPECT_EQ(fail_at(3), -3);
  EXPECT_EQ(fail_at(7), -7);
  EXPECT_EQ(reports, (std::vector<std::string>{"Op @3 closed", "Op @7 closed"}));
}

TEST(ErrorBoundary, OtherExceptionsGetAnErrorRecordAndSuccessPassesThrough) {
  LogCapture capture;
  EXPECT_EQ(Guard(
                ReportToErrorLog, std::string("neutral"),
                [](int&) -> std::string { throw std::runtime_error("broken invariant"); },
                Fixed("CQvThing.Other")),
            "neutral");
  ASSERT_EQ(capture.Entries().size(), 1u);
  EXPECT_EQ(capture.Entries()[0].message, "CQvThing.Other");
  EXPECT_EQ(capture.Entries()[0].error.number, 51);
  EXPECT_EQ(capture.Entries()[0].error.description, "broken invariant");

  EXPECT_EQ(Guard(
                ReportToErrorLog, 0, [](int&) { return 7; }, Fixed("unused")),
            7);
  EXPECT_EQ(capture.Entries().size(), 1u);
}

// Sets TZ for one test and puts the old value back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old, had_ = true;
    ::setenv("TZ", zone, 1);
  }
  ~ScopedTimeZone() {
    if (had_) {
      ::setenv("TZ", old_.c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::string old_;
  bool had_ = false;
};

ado::Variant ReadBias() {
  return QvSharedRegistry::Instance().ReadValue(kHKeyLocalMachine,
                                                "System\\CurrentControlSet\\Control\\",
                                                "TimeZoneInformation", "ActiveTimeBias");
}

TEST(QvSharedRegistry, ActiveTimeBiasFollowsTheSystemTimeZone) {
  {
    ScopedTimeZone zone("XST5");  // five hours west of UTC
    const ado::Variant bias = ReadBias();
    EXPECT_EQ(bias.TypeName(), "Long");
    EXPECT_EQ(bias.ToLong(), 300);
  }
  {
    ScopedTimeZone zone("XST-2");
    EXPECT_EQ(ReadBias().ToLong(), -120);
  }
  {
    ScopedTimeZone zone("UTC0");
    EXPECT_EQ(ReadBias().ToLong(), 0);
  }
}

TEST(QvSharedRegistry, OtherValuesAreEmptyAndTheReaderCanBeReplaced) {
  EXPECT_TRUE(QvSharedRegistry::Instance()
                  .ReadValue(kHKeyLocalMachine, "SOFTWARE\\Tolvane", "", "EventLogLevel")
                  .IsEmpty());
  EXPECT_TRUE(QvSharedRegistry::Instance()
                  .ReadValue(0x80000001u, "System\\CurrentControlSet\\Control\\",
                             "TimeZoneInformation", "ActiveTimeBias")
                  .IsEmpty());
  EXPECT_FALSE(QvSharedRegistry::Instance()
                   .ReadValue(kHKeyLocalMachine, "system\\currentcontrolset\\control",
                              "timezoneinformation", "activetimebias")
                   .IsEmpty());
  auto previous = QvSharedRegistry::Instance().SetReader(
      [](uint32_t, const std::string&, const std::string&, const std::string&) {
        return ado::Variant(int32_t{42});
      });
  EXPECT_EQ(ReadBias().ToLong(), 42);
  QvSharedRegistry::Instance().SetReader(previous);
  EXPECT_NE(ReadBias().TypeName(), "Empty");
}

}  // namespace
}  // namespace qv

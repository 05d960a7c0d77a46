#include "platform/Journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/AppLog.h"

namespace qv::platform {
namespace {

TEST(Journal, EveryLineGetsAPriorityUnlessItHasOne) {
  const struct {
    std::vector<std::string> writes;  // flushed after each
    std::string out;
  } cases[] = {
      {{"one\ntwo\n"}, "<3>one\n<3>two\n"},
      {{"<6>told\n", "<4>warned\n"}, "<6>told\n<4>warned\n"},
      // A line written in pieces and flushed between them gets one prefix.
      {{"Usage: ", "qvdataexporter\n"}, "<3>Usage: qvdataexporter\n"},
      {{"<", "6>in pieces\n"}, "<6>in pieces\n"},
      {{"\n"}, "<3>\n"},
      {{"<9>not a priority\n"}, "<3><9>not a priority\n"},
      {{"no line end"}, "<3>no line end"},
  };
  for (const auto& c : cases) {
    std::ostringstream target;
    {
      PriorityLineBuf buffer(target.rdbuf(), kPriorityError);
      std::ostream stream(&buffer);
      for (const std::string& write : c.writes) stream << write << std::flush;
    }
    EXPECT_EQ(target.str(), c.out) << c.writes.front();
  }
}

TEST(Journal, TheLogsCopiesCarryTheirEntrysPriority) {
  std::ostringstream errors;
  AppLog log(std::make_shared<core::ProcessClock>(), errors);
  log.SetPriorityPrefixes(true);
  log.LogEvent("failed", kAppLogError);
  log.LogEvent("odd", kAppLogWarning);
  log.LogEvent("fine", kAppLogInformation);  // not copied
  log.WriteToErrorStream("summary", kAppLogInformation);
  std::istringstream lines(errors.str());
  std::vector<std::string> starts;
  for (std::string line; std::getline(lines, line);) starts.push_back(line.substr(0, 3));
  EXPECT_EQ(starts, (std::vector<std::string>{"<3>", "<4>", "<6>"})) << errors.str();
}

TEST(Journal, OnlyTheStreamJournalStreamNamesIsTheJournal) {
  ::unsetenv("JOURNAL_STREAM");
  EXPECT_FALSE(StandardErrorIsJournal());
  ::setenv("JOURNAL_STREAM", "0:0", 1);
  EXPECT_FALSE(StandardErrorIsJournal());
  ::setenv("JOURNAL_STREAM", "garbage", 1);
  EXPECT_FALSE(StandardErrorIsJournal());
  struct stat status {};
  ASSERT_EQ(::fstat(STDERR_FILENO, &status), 0);
  const std::string named = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
  ::setenv("JOURNAL_STREAM", named.c_str(), 1);
  EXPECT_TRUE(StandardErrorIsJournal());
  ::unsetenv("JOURNAL_STREAM");
}

}  // namespace
}  // namespace qv::platform

#include "app/Progress.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace qv {
namespace {

TEST(Progress, RedrawsOneLinePerRuleAndClearsItForOtherOutput) {
  std::ostringstream terminal;
  std::streambuf* const original = terminal.rdbuf();
  {
    Progress progress(terminal);
    progress.RuleStarted("/out/a.xml", 0, 2);
    RuleStats rule;
    rule.rows_read = 300;
    rule.pages = 3;
    rule.pages_total = 5;
    rule.files_sent = 2;
    terminal << "a warning\n";
    rule.sends_failed = 1;
    rule.failed = true;
    progress.RuleFinished(rule);
    progress.RuleStarted("/out/b.xml", 1, 2);
  }
  EXPECT_EQ(terminal.rdbuf(), original);
  const std::string clear = "\r\033[K";
  EXPECT_EQ(terminal.str(),
            clear + "[1/2] /out/a.xml: 0 rows, 0 pages, 0 files sent" + clear + "a warning\n" +
                clear + "[1/2] /out/a.xml: 300 rows, 3 of 5 pages, 2 files sent, 1 failures, " +
                "failed\n" + clear + "[2/2] /out/b.xml: 0 rows, 0 pages, 0 files sent\n");
}

}  // namespace
}  // namespace qv

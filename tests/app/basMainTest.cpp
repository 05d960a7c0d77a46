#include "app/basMain.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "shared/LogCapture.h"
#include "support/ExportHome.h"

namespace qv {
namespace {

using Action = CommandLine::Action;
using test::ExportHome;
using test::LogCapture;
using test::Rule;

TEST(basMain, CommandLineSelectsTheMode) {
  EXPECT_EQ(ParseCommandLine({}).mode, 7);
  EXPECT_EQ(ParseCommandLine({}).action, Action::kRun);
  EXPECT_EQ(ParseCommandLine({"0"}).mode, 7);
  EXPECT_EQ(ParseCommandLine({"1"}).mode, 1);
  EXPECT_EQ(ParseCommandLine({"+3"}).mode, 3);
  EXPECT_EQ(ParseCommandLine({"7"}).mode, 7);
  EXPECT_EQ(ParseCommandLine({"--help"}).action, Action::kHelp);
  EXPECT_EQ(ParseCommandLine({"-h"}).action, Action::kHelp);
  EXPECT_EQ(ParseCommandLine({"--version"}).action, Action::kVersion);
}

TEST(basMain, CommandLineReadsTheOperatorsOptions) {
  const CommandLine dry = ParseCommandLine({"--dry-run", "4"});
  EXPECT_EQ(dry.action, Action::kDryRun);
  EXPECT_EQ(dry.mode, 4);
  const CommandLine run = ParseCommandLine({"-q", "--metrics", "/m.prom", "5"});
  EXPECT_EQ(run.action, Action::kRun);
  EXPECT_TRUE(run.quiet);
  EXPECT_EQ(run.metrics_file, "/m.prom");
  EXPECT_EQ(run.mode, 5);
  EXPECT_EQ(ParseCommandLine({"--reset-last", "all"}).reset_rule, "all");
  EXPECT_EQ(ParseCommandLine({"--status"}).action, Action::kStatus);
  EXPECT_EQ(ParseCommandLine({"--check"}).action, Action::kCheck);
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--check", "--status"},
                                             {"--status", "7"},
                                             {"--reset-last"},
                                             {"--metrics"},
                                             {"--dry-run", "--metrics", "m"},
                                             {"--reset-last", "all", "4"}}) {
    EXPECT_EQ(ParseCommandLine(args).action, Action::kError) << args.front();
  }
}

TEST(basMain, CommandLineRefusesWhatIsNotAWholeNumber) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"abc"},
                                             {"1.5"},
                                             {""},
                                             {"&H10"},
                                             {"2x"},
                                             {"--mode"},
                                             {"32768"},
                                             {"8"},
                                             {"-3"},
                                             {"--check", "9"},
                                             {"--dry-run", "-1"},
                                             {"99999999999"},
                                             {"1", "2"}}) {
    const CommandLine command_line = ParseCommandLine(args);
    EXPECT_EQ(command_line.action, Action::kError) << args.front();
    EXPECT_FALSE(command_line.error.empty());
    EXPECT_EQ(command_line.error.find('\n'), std::string::npos);
  }
}

TEST(basMain, ExitStatusTellsSuccessFailureAndNoStart) {
  RunStats stats;
  EXPECT_EQ(ExitStatus(stats), kExitNotStarted);
  stats.started = true;
  EXPECT_EQ(ExitStatus(stats), kExitSuccess);
  using Count = int32_t RunStats::*;
  for (Count field : {Count{&RunStats::rules_failed}, Count{&RunStats::sends_failed},
                      Count{&RunStats::failures}}) {
    RunStats failed = stats;
    failed.*field = 1;
    EXPECT_EQ(ExitStatus(failed), kExitFailure);
  }
  RunStats aborted = stats;
  aborted.aborted = true;
  EXPECT_EQ(ExitStatus(aborted), kExitFailure);
}

TEST(basMain, SummaryNamesEveryCounter) {
  RunStats stats;
  stats.mode = 2;
  stats.rules_run = 3;
  stats.rules_failed = 1;
  stats.files_written = 15;
  stats.files_sent = 14;
  stats.sends_failed = 1;
  stats.seconds = 2.25;
  EXPECT_EQ(RunSummary(stats),
            "qvdataexporter mode 2: rules run 3, rules failed 1, files written 15, files sent 14, "
            "sends failed 1, 2.2 seconds");
}

struct MainResult {
  int status;
  std::string out;
  std::string err;
};

MainResult RunMain(const std::vector<std::string>& args, bool summary_to_err = false) {
  std::ostringstream out;
  std::ostringstream err;
  const int status = Main(args, out, err, summary_to_err);
  return {status, out.str(), err.str()};
}

TEST(basMain, HelpVersionAndBadArgumentsDoNotExport) {
  ExportHome home;
  home.WriteDataSource();
  home.WriteRules({{.target = home.Out("x.xml")}});

  MainResult help = RunMain({"--help"});
  EXPECT_EQ(help.status, kExitSuccess);
  EXPECT_EQ(help.out.rfind("Usage: qvdataexporter [--quiet] [--metrics FILE] [MODE]\n", 0), 0u);
  for (const char* option :
       {"--check", "--dry-run", "--status", "--reset-last", "--quiet", "--metrics"}) {
    EXPECT_NE(help.out.find(std::string("\n") + option), std::string::npos) << option;
  }
  EXPECT_TRUE(help.err.empty());

  MainResult version = RunMain({"--version"});
  EXPECT_EQ(version.status, kExitSuccess);
  EXPECT_EQ(version.out.rfind("qvdataexporter ", 0), 0u);
  for (const char* library : {"\n  libcurl ", "\n  SQLite 3.", "\n  unixODBC "}) {
    EXPECT_NE(version.out.find(library), std::string::npos) << version.out;
  }

  MainResult bad = RunMain({"one"});
  EXPECT_EQ(bad.status, kExitNotStarted);
  EXPECT_TRUE(bad.out.empty());
  EXPECT_EQ(bad.err.rfind("qvdataexporter: 'one' is not an export mode", 0), 0u) << bad.err;
  EXPECT_NE(bad.err.find("      7  changed records, page by page"), std::string::npos) << bad.err;
  EXPECT_EQ(bad.err.find("Usage:"), std::string::npos) << bad.err;
  const MainResult no_value = RunMain({"--metrics"});
  EXPECT_EQ(no_value.status, kExitNotStarted);
  EXPECT_EQ(
      no_value.err,
      "qvdataexporter: --metrics needs a value\nRun 'qvdataexporter --help' for the usage.\n");

  EXPECT_FALSE(std::filesystem::exists(home.Out("x.xml")));
}

TEST(basMain, SuccessfulRunLogsItsSummaryAndExitsZero) {
  ExportHome home;
  home.AddItems(2);
  home.WriteDataSource();
  home.WriteRules({{.target = home.Out("x.xml")}});
  LogCapture log;

  // On a terminal, without the progress line.
  MainResult run = RunMain({"--quiet", "1"}, true);

  EXPECT_EQ(run.status, kExitSuccess);
  EXPECT_EQ(ExportHome::RecordsIn(home.Out("x.xml")), 2);
  ASSERT_EQ(log.OfType(kEventInformation).size(), 1u);
  const std::string summary = log.OfType(kEventInformation).front().message;
  EXPECT_EQ(summary.rfind("qvdataexporter mode 1: rules run 1, rules failed 0, files written 1, "
                          "files sent 0, sends failed 0, ",
                          0),
            0u)
      << summary;
  EXPECT_EQ(run.err, summary + "\n");
}

TEST(basMain, ARunRemovesItsOwnOldLogsAndNothingElse) {
  ExportHome home;
  home.WriteDataSource();
  home.WriteRules({{.target = home.Out("x.xml")}});
  const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 15);
  for (const char* name : {"RX_2020-01-01_00.log", "RX01-01-2020_00.00.00.log", "notes.log"}) {
    std::ofstream(home.File(name)) << "x";
    std::filesystem::last_write_time(home.File(name), old);
  }
  LogCapture log;

  EXPECT_EQ(RunMain({"1"}).status, kExitSuccess);

  EXPECT_FALSE(std::filesystem::exists(home.File("RX_2020-01-01_00.log")));
  EXPECT_FALSE(std::filesystem::exists(home.File("RX01-01-2020_00.00.00.log")));
  EXPECT_TRUE(std::filesystem::exists(home.File("notes.log")));
  ASSERT_FALSE(log.OfType(kEventInformation).empty());
  EXPECT_EQ(log.OfType(kEventInformation).front().message,
            "qvdataexporter: removed 2 old log file(s), 2 bytes");
}

TEST(basMain, FailedRuleOrUploadExitsOne) {
  ExportHome home;
  home.AddItems(2);
  home.WriteDataSource();
  home.WriteUploadUrl("http://127.0.0.1:9/upload");
  home.WriteRules({{.target = home.Out("x.xml")}});
  LogCapture log;
  home.Uploader().SetStatus(7);

  MainResult run = RunMain({"2"});

  EXPECT_EQ(run.status, kExitFailure);
  EXPECT_TRUE(run.err.empty());  // the summary goes to the log only
  // A failed run ends on an Error line, so that the log's level agrees with the status.
  EXPECT_TRUE(log.OfType(kEventInformation).empty());
  ASSERT_FALSE(log.OfType(kEventError).empty());
  EXPECT_NE(log.OfType(kEventError).back().message.find("sends failed 5"), std::string::npos);

  home.WriteRules({{.target = home.Out("y.xml"), .select = "SELECT missing_column"}});
  EXPECT_EQ(RunMain({"1"}).status, kExitFailure);

  // Keyed modes need tSID from the first run on, and a sending rule an import rule:
  // each such rule fails without being run, and writes nothing.
  for (const Rule& rule : {Rule{.target = home.Out("keyless.xml"), .select = "SELECT id, name"},
                           Rule{.target = home.Out("nowhere.xml"),
                           .select = "SELECT id AS tSID, name",
                           .import_rule = ""}}) {
    home.WriteRules({rule});
    LogCapture rule_log;
    EXPECT_EQ(RunMain({"7"}).status, kExitFailure) << rule.target;
    ASSERT_EQ(rule_log.OfType(kEventError).size(), 1u) << rule.target;
    const std::string summary = rule_log.OfType(kEventError).front().message;
    EXPECT_NE(summary.find("rules run 0, rules failed 1, files written 0"), std::string::npos)
        << summary;
    EXPECT_FALSE(std::filesystem::exists(home.Out("last"))) << rule.target;
  }
}

TEST(basMain, RunThatCannotStartExitsTwo) {
  ExportHome home;
  LogCapture log;
  EXPECT_EQ(RunMain({}).status, kExitNotStarted);  // no files at all
  ASSERT_FALSE(log.Warnings().empty());
  EXPECT_NE(log.Warnings().back().find("the run could not start"), std::string::npos);

  home.WriteDataSource();
  EXPECT_EQ(RunMain({"1"}).status, kExitNotStarted);  // no rules file

  home.WriteRules({});
  EXPECT_EQ(RunMain({"1"}).status, kExitSuccess);  // a rules file without rules
}

}  // namespace
}  // namespace qv

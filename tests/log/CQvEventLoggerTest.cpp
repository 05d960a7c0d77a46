#include "log/CQvEventLogger.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <vector>

#include "support/ProgramHome.h"

namespace qv {
namespace {

using test::EventLogLevel;
using test::ProgramHome;

// The texts of the application log entries, without their time stamp and type.
std::vector<std::string> EntryTexts(const std::string& log) {
  std::vector<std::string> texts;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    const size_t first_tab = line.find('\t');
    const size_t second_tab = line.find('\t', first_tab + 1);
    if (second_tab != std::string::npos) texts.push_back(line.substr(second_tab + 1));
  }
  return texts;
}

bool Logged(const ProgramHome& home, const std::string& text) {
  return home.AppLogText().find(text) != std::string::npos;
}

TEST(CQvEventLogger, WithoutALevelInTheRegistryEveryCallerLevelPasses) {
  ProgramHome home;
  CQvEventLogger logger;
  EXPECT_EQ(logger.Level(), -1);
  EXPECT_EQ(logger.LogMode(), kLogModeApplication);
  logger.LogEvent("level 128 message", nullptr, kEventInformation, 128);
  EXPECT_TRUE(Logged(home, "level 128 message"));
}

TEST(CQvEventLogger, CallerLevelsAreFilteredByTheRegistryLevel) {
  ProgramHome home(EventLogLevel(6));
  CQvEventLogger logger;
  EXPECT_EQ(logger.Level(), 6);
  for (int level : {1, 2, 4, 6, 8}) {
    logger.LogEvent("caller level " + std::to_string(level) + ".", nullptr, kEventInformation,
                    level);
  }
  EXPECT_FALSE(Logged(home, "caller level 1."));
  EXPECT_TRUE(Logged(home, "caller level 2."));
  EXPECT_TRUE(Logged(home, "caller level 4."));
  EXPECT_TRUE(Logged(home, "caller level 6."));
  EXPECT_FALSE(Logged(home, "caller level 8."));
}

TEST(CQvEventLogger, TheLevelIsReadOncePerProcessAndZeroMeansEverything) {
  ProgramHome home(EventLogLevel(0));
  CQvEventLogger first;
  EXPECT_EQ(first.Level(), -1);
  test::WriteBytes(home.File("registry.reg"),
                   "Windows Registry Editor Version 5.00\r\n\r\n" + EventLogLevel(4));
  CQvEventLogger second;
  EXPECT_EQ(second.Level(), -1);
  CQvEventLogger::ResetSharedState();
  CQvEventLogger third;
  EXPECT_EQ(third.Level(), 4);
}

TEST(CQvEventLogger, CallerLevelRulesAreWrittenBack) {
  ProgramHome home(EventLogLevel(16));
  CQvEventLogger logger;
  int32_t level = 0;
  logger.LogEvent("zero level", nullptr, kEventInformation, &level);
  EXPECT_EQ(level, 1);
  EXPECT_FALSE(Logged(home, "zero level"));

  core::ErrorRecord carrier{0, "", "", "LogLevel", 16};
  level = 1;
  logger.LogEvent("level from the error", &carrier, kEventWarning, &level);
  EXPECT_EQ(level, 16);
  EXPECT_TRUE(Logged(home, "level from the error"));

  core::ErrorRecord not_exact{0, "", "", "loglevel", 16};
  level = 1;
  logger.LogEvent("help file compared exactly", &not_exact, kEventWarning, &level);
  EXPECT_EQ(level, 1);
  EXPECT_FALSE(Logged(home, "help file compared exactly"));
}

TEST(CQvEventLogger, ErrorsAreAddedToTheMessageAndLeftUnchanged) {
  ProgramHome home;
  CQvEventLogger logger;
  core::ErrorRecord none;
  logger.LogEvent("bare message", &none, kEventWarning, 1);
  core::ErrorRecord error{53, "CQvXMLManip", "File not found", "help.chm", 7};
  const core::ErrorRecord before = error;
  logger.LogEvent("with error", &error, kEventInformation, 1);

  const std::string log = home.AppLogText();
  EXPECT_NE(log.find("\tWarning\tbare message\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\tError\twith error\tError: #53\tSource: CQvXMLManip\t"
                     "Description: File not found\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(error.number, before.number);
  EXPECT_EQ(error.source, before.source);
  EXPECT_EQ(error.description, before.description);
  EXPECT_EQ(error.help_file, before.help_file);
  EXPECT_EQ(error.help_context, before.help_context);
}

TEST(CQvEventLogger, LongTextsAreCutInto908CharacterEntries) {
  ProgramHome home;
  CQvEventLogger logger;
  logger.LogEvent(std::string(2000, 'x'));
  // Characters, not bytes: a two-byte letter counts once.
  std::string umlauts;
  for (int i = 0; i < 1000; ++i) umlauts += "\xC3\xBC";
  logger.LogEvent(umlauts);
  logger.LogEvent("");

  const std::vector<std::string> texts = EntryTexts(home.AppLogText());
  ASSERT_EQ(texts.size(), 5u);
  EXPECT_EQ(texts[0].size(), 908u);
  EXPECT_EQ(texts[1].size(), 908u);
  EXPECT_EQ(texts[2].size(), 184u);
  EXPECT_EQ(texts[3].size(), 2 * 908u);
  EXPECT_EQ(texts[4].size(), 2 * 92u);
}

TEST(CQvEventLogger, EachLoggerNamesTheHourlyFileOfItsStart) {
  ProgramHome home;
  CQvEventLogger::SetClock(
      std::make_shared<core::FixedClock>(core::LocalTime{2024, 3, 5, 13, 59, 59}));
  CQvEventLogger before;
  CQvEventLogger::SetClock(
      std::make_shared<core::FixedClock>(core::LocalTime{2024, 3, 5, 14, 0, 0}));
  before.LogEvent("written before the later logger started");
  CQvEventLogger after;
  after.LogEvent("from the later logger");

  EXPECT_EQ(CQvEventLogger::HourlyLogFileName({2024, 3, 5, 13, 59, 0}), "RX_2024-03-05_13.log");
  // A logger keeps the hour of its start; the application log follows the newest logger.
  EXPECT_NE(test::ReadBytes(home.File("RX_2024-03-05_13.log"))
                .find("written before the later logger started"),
            std::string::npos);
  EXPECT_EQ(test::ReadBytes(home.File("RX_2024-03-05_14.log"))
                .find("written before the later logger started"),
            std::string::npos);
  EXPECT_NE(test::ReadBytes(home.File("RX_2024-03-05_14.log")).find("from the later logger"),
            std::string::npos);
}

TEST(CQvEventLogger, InitializeMovesTheApplicationLogUnlessTheLevelIsMinusOne) {
  {
    ProgramHome home;
    CQvEventLogger logger;
    std::string name;
    std::string path;
    logger.Initialize(name, path, 2);
    EXPECT_EQ(name, "");
    EXPECT_EQ(path, "");
    EXPECT_EQ(logger.LogMode(), 1);
  }
  ProgramHome home(EventLogLevel(1));
  CQvEventLogger::SetClock(
      std::make_shared<core::FixedClock>(core::LocalTime{2024, 3, 5, 14, 22, 10}));
  CQvEventLogger logger;
  std::string name;
  std::string path = home.Path().string();
  logger.Initialize(name, path, 8);
  EXPECT_EQ(name, "RX03-05-2024_14.22.10.log");
  EXPECT_EQ(path, home.Path().string() + "/");
  EXPECT_EQ(logger.LogMode(), 9);
  logger.LogEvent("after initialize");
  EXPECT_NE(test::ReadBytes(path + name).find("after initialize"), std::string::npos);
}

TEST(CQvEventLogger, CustomLogFileIsWrittenElevenLinesAtATime) {
  ProgramHome home;
  // Every new logger resets the log properties; the first type text creates some.
  LoadCommonResString("INFO_TYPE_ID");
  CQvEventLogger logger;
  const std::string file = home.File("custom.log");
  logger.SetProperties(ado::Variant(ado::Array{0, {ado::Variant("%3|%4"), ado::Variant(file)}}),
                       kLogModeCustomFile);
  logger.LogMode(kLogModeCustomFile);
  for (int i = 0; i < 10; ++i) logger.LogEvent("line " + std::to_string(i), nullptr, 4, 1);
  EXPECT_FALSE(std::filesystem::exists(file));
  logger.LogEvent("keeps 100%4 as written", nullptr, kEventWarning, 1);

  const std::string body = test::ReadBytes(file);
  EXPECT_EQ(body.rfind("line 0|Information\r\nline 1|Information\r\n", 0), 0u) << body;
  EXPECT_NE(body.find("\r\nkeeps 100%4 as written|Warning"), std::string::npos) << body;
  EXPECT_EQ(body.substr(body.size() - 2), "ng");  // no line end after the last line
  // Mode 8 alone writes nothing to the application log.
  EXPECT_EQ(home.AppLogText().find("line 0"), std::string::npos);

  for (int i = 0; i < 11; ++i) logger.LogEvent("second block", nullptr, 4, 1);
  const std::string both = test::ReadBytes(file);
  EXPECT_EQ(both.rfind(body + "\r\nsecond block|Information", 0), 0u);
}

TEST(CQvEventLogger, SetPropertiesNeedsAnArrayAndModeEight) {
  ProgramHome home;
  CQvEventLogger logger;
  logger.LogMode(kLogModeCustomFile);
  const std::string file = home.File("ignored.log");
  logger.SetProperties(ado::Variant(ado::Array{0, {ado::Variant("%3"), ado::Variant(file)}}), 1);
  logger.SetProperties(ado::Variant("not an array"), kLogModeCustomFile);
  for (int i = 0; i < 11; ++i) logger.LogEvent("m");
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST(CQvEventLogger, GetBodyFromTextFileCutsAtNulAndNeverFails) {
  ProgramHome home;
  CQvEventLogger logger;
  test::WriteBytes(home.File("nul.txt"), std::string("abc\0def", 7));
  EXPECT_EQ(logger.GetBodyFromTextFile(home.File("nul.txt")), "abc");
  test::WriteBytes(home.File("ansi.txt"), "gr\xFC\xDF");
  EXPECT_EQ(logger.GetBodyFromTextFile(home.File("ansi.txt")), "gr\xC3\xBC\xC3\x9F");
  test::WriteBytes(home.File("utf8.txt"), "\xE2\x82\xAC");
  EXPECT_EQ(logger.GetBodyFromTextFile(home.File("utf8.txt")), "\xE2\x82\xAC");
  EXPECT_EQ(logger.GetBodyFromTextFile(home.File("missing.txt")), "");
  EXPECT_EQ(logger.GetBodyFromTextFile(home.Path().string()), "");
}

}  // namespace
}  // namespace qv

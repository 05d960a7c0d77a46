#include "log/CQvLogFileMgr.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/ProgramHome.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

TEST(CQvLogFileMgr, NamesFoldersAndPaths) {
  test::ProgramHome home;
  CQvLogFileMgr manager;
  const core::LocalTime date{2024, 3, 5, 14, 22, 10};
  EXPECT_EQ(manager.GetLogFileName(3, date), "RX_2024-03-05_3.log");
  EXPECT_EQ(manager.GetLogFileFolder(), home.File("Logs"));
  EXPECT_EQ(manager.GetLogFileByDate(12, date), home.File("Logs/RX_2024-03-05_12.log"));
  EXPECT_FALSE(fs::exists(home.File("Logs")));
  CQvEventLogger::SetClock(std::make_shared<core::FixedClock>(date));
  EXPECT_EQ(manager.GetLogFilePath(1), home.File("Logs/RX_2024-03-05_1.log"));
  EXPECT_TRUE(fs::is_directory(home.File("Logs")));
  EXPECT_EQ(CQvLogFileMgr::FormatDate(date, "dd.mm.yyyy hh:nn:ss"), "05.03.2024 14:22:10");
}

TEST(CQvLogFileMgr, ListsDeletesAndBacksUpLogFiles) {
  test::ProgramHome home;
  CQvLogFileMgr manager;
  fs::create_directories(home.File("Logs"));
  test::WriteBytes(home.File("Logs/RX_2024-03-05_1.log"), "one");
  test::WriteBytes(home.File("Logs/RX_2024-03-05_2.log"), "two");
  test::WriteBytes(home.File("Logs/notes.txt"), "not a log");
  std::map<std::string, std::string> files;
  manager.GetAllLogFiles(files);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files["RX_2024-03-05_1.log"], home.File("Logs/RX_2024-03-05_1.log"));

  EXPECT_TRUE(manager.BackupLogFiles());
  size_t copies = 0;
  for (const auto& entry : fs::directory_iterator(home.File("Logs"))) {
    if (test::ReadBytes(entry.path().string()) == "one") ++copies;
  }
  EXPECT_EQ(copies, 2u);

  EXPECT_TRUE(manager.DeleteLogFile("RX_2024-03-05_2.log"));
  EXPECT_FALSE(fs::exists(home.File("Logs/RX_2024-03-05_2.log")));
  EXPECT_FALSE(manager.DeleteLogFile("RX_2024-03-05_2.log"));
}

TEST(CQvLogFileMgr, SaveLogLineAppendsElevenLinesAtATimeOrOnFlush) {
  test::ProgramHome home;
  CQvLogFileMgr manager;
  const std::string file = home.File("lines.log");
  test::WriteBytes(file, "present");
  for (int i = 0; i < 10; ++i) manager.SaveLogLine(file, "l" + std::to_string(i), false, false);
  EXPECT_EQ(test::ReadBytes(file), "present");
  manager.SaveLogLine(file, "l10", false, false);
  EXPECT_EQ(test::ReadBytes(file),
            "present\r\nl0\r\nl1\r\nl2\r\nl3\r\nl4\r\nl5\r\nl6\r\nl7\r\nl8\r\nl9\r\nl10");

  CQvEventLogger::SetClock(
      std::make_shared<core::FixedClock>(core::LocalTime{2024, 3, 5, 14, 2, 9}));
  manager.SaveLogLine(file, "timed", false, true);
  manager.WriteBlankLineToLogFile(file);
  manager.SaveLogLine(file, "flushed", true, false);
  const std::string body = test::ReadBytes(file);
  const std::string tail = body.substr(body.find("l10") + 3);
  EXPECT_NE(tail.find("14:02:09   -   timed\r\n\r\nflushed"), std::string::npos) << tail;
}

}  // namespace
}  // namespace qv

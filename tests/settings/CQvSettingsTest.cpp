#include "settings/CQvSettings.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "shared/LogCapture.h"
#include "support/ExportSettingsFile.h"
#include "support/ProgramHome.h"

namespace qv {
namespace {

constexpr char kSettingsFile[] = "QvExportSettings.xml";

size_t CountMessages(const test::LogCapture& log, const std::string& message) {
  size_t count = 0;
  for (const LogEntry& entry : log.Entries()) count += entry.message == message ? 1u : 0u;
  return count;
}

TEST(CQvSettings, ReturnsTheDecodedValueOfTheFirstMatchingRecord) {
  test::ProgramHome home;
  test::WriteExportSettings(
      home.File(kSettingsFile),
      {{2, "other"}, {1, "http%3A%2F%2F127.0.0.1%3A8080%2Fin%20box"}, {1, "http%3A%2F%2Fsecond"}});
  test::LogCapture log;

  CQvSettings settings;
  EXPECT_EQ(settings.GetSettingValue(1), "http://127.0.0.1:8080/in box");
  EXPECT_EQ(settings.GetSettingValue(2), "other");
  EXPECT_TRUE(log.Entries().empty());
}

TEST(CQvSettings, AbsentOrNullSettingGivesEmptyTextWithoutALogEntry) {
  test::ProgramHome home;
  test::LogCapture log;
  CQvSettings settings;

  test::WriteExportSettings(home.File(kSettingsFile), {{2, "x"}, {3, std::nullopt}});
  EXPECT_EQ(settings.GetSettingValue(1), "");
  EXPECT_EQ(settings.GetSettingValue(3), "");

  test::WriteExportSettings(home.File(kSettingsFile), {});
  EXPECT_EQ(settings.GetSettingValue(1), "");
  EXPECT_TRUE(log.Entries().empty());
}

// Values are kept only while the file is unchanged: rewritten in place with the same
// size, at once or with its modification time set back to what it was, it is read again.
TEST(CQvSettings, FileIsReadAnewOnceItChanged) {
  test::ProgramHome home;
  CQvSettings settings;
  const std::string path = home.File(kSettingsFile);
  const auto set_back = [&] {
    const timespec long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), long_ago, 0), 0);
  };
  test::WriteExportSettings(path, {{1, "first"}});
  ASSERT_EQ(settings.GetSettingValue(1), "first");
  test::WriteExportSettings(path, {{1, "again"}});
  EXPECT_EQ(settings.GetSettingValue(1), "again");

  set_back();
  ASSERT_EQ(settings.GetSettingValue(1), "again");
  ASSERT_EQ(settings.GetSettingValue(1), "again");
  test::WriteExportSettings(path, {{1, "third"}});
  set_back();
  EXPECT_EQ(settings.GetSettingValue(1), "third");
  test::WriteExportSettings(path, {{1, "changed"}});
  EXPECT_EQ(settings.GetSettingValue(1), "changed");
}

TEST(CQvSettings, MissingFileGivesEmptyTextAndOneLogEntry) {
  test::ProgramHome home;
  test::LogCapture log;

  EXPECT_EQ(CQvSettings().GetSettingValue(1), "");
  ASSERT_EQ(log.Entries().size(), 1u);
  EXPECT_EQ(log.Entries()[0].message, "CQvSettings.GetSettingValue");
  EXPECT_EQ(log.Entries()[0].event_type, kEventWarning);
  EXPECT_EQ(log.Entries()[0].caller_level, 1);
}

TEST(CQvSettings, UnreadableFileIsLoggedAndUndecodableValueStaysAsStored) {
  test::ProgramHome home;
  test::LogCapture log;
  CQvSettings settings;

  test::WriteBytes(home.File(kSettingsFile), "this is not a recordset");
  EXPECT_EQ(settings.GetSettingValue(1), "");
  EXPECT_EQ(CountMessages(log, "CQvSettings.GetSettingValue"), 1u);

  // A value that is not valid encoding 1 cannot be decoded: the field keeps its stored
  // text, which is what the caller gets.
  log.Clear();
  test::WriteExportSettings(home.File(kSettingsFile), {{1, "%zz"}});
  EXPECT_EQ(settings.GetSettingValue(1), "%zz");
}

}  // namespace
}  // namespace qv

#include "settings/basCommonRes.h"

#include <gtest/gtest.h>

#include "settings/CQvGlobalSettings.h"
#include "support/ProgramHome.h"

namespace qv {
namespace {

void WriteIni(const test::ProgramHome& home, const std::string& body) {
  test::WriteBytes(home.File("rxglobal.ini"), body);
}

TEST(basCommonRes, CultureDefaultsToEnUsWithoutLogging) {
  test::ProgramHome home;
  EXPECT_EQ(GetCulture(), "en-US");
  WriteIni(home, "[Localization]\r\nCulture=\r\n");
  EXPECT_EQ(GetCulture(), "en-US");
  WriteIni(home, "[Other]\r\nCulture=de-DE\r\n");
  EXPECT_EQ(GetCulture(), "en-US");
  EXPECT_EQ(home.AppLogText().find("GetCulture"), std::string::npos);
  EXPECT_EQ(home.AppLogText().find("GetGlobalSetting"), std::string::npos);
}

TEST(basCommonRes, CultureComesFromTheIniFileOnEveryCall) {
  test::ProgramHome home;
  WriteIni(home, "; display language\r\n[localization]\r\n  culture = de-DE  \r\n");
  EXPECT_EQ(GetCulture(), "de-DE");
  WriteIni(home, "[Localization]\r\nCulture=en-GB\r\n");
  EXPECT_EQ(GetCulture(), "en-GB");
}

TEST(basCommonRes, TheFirstResourceStringFixesTheCulture) {
  test::ProgramHome home;
  WriteIni(home, "[Localization]\r\nCulture=de-DE\r\n");
  EXPECT_EQ(LoadCommonResString("ERROR_TYPE_ID"), "Fehler");
  WriteIni(home, "[Localization]\r\nCulture=en-US\r\n");
  EXPECT_EQ(LoadCommonResString("WARNING_TYPE_ID"), "Warnung");
  ReleaseCommonResStrings();
  EXPECT_EQ(LoadCommonResString("WARNING_TYPE_ID"), "Warning");
  EXPECT_EQ(LoadCommonResString("orbFileNotFoundError3"), "The file '%1' was not found.");
}

TEST(CQvGlobalSettings, GetGlobalSettingReadsAnyEntry) {
  test::ProgramHome home;
  CQvGlobalSettings settings;
  EXPECT_EQ(settings.GetGlobalSetting("Paths", "Upload"), "");
  WriteIni(home, "[Paths]\r\nUpload=\"/srv/up load\"\r\nLong=" + std::string(5000, 'v') + "\r\n");
  EXPECT_EQ(settings.GetGlobalSetting("PATHS", "upload"), "/srv/up load");
  EXPECT_EQ(settings.GetGlobalSetting("Paths", "Missing"), "");
  EXPECT_EQ(settings.GetGlobalSetting("Paths", "Long").size(), 4095u);
}

}  // namespace
}  // namespace qv

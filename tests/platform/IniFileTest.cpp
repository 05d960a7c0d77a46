#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include "support/TestFolder.h"

namespace qv::platform {
namespace {

constexpr size_t kBuffer = 4096;

IniFile Sample() {
  return IniFile::Parse(
      "; global settings\r\n"
      "[Localization]\r\n"
      "  Culture  =   de-DE   \r\n"
      "Quoted=\"  spaced  \"\r\n"
      "Single='x'\r\n"
      "Half=\"open\r\n"
      "Inline=value ; not a comment\r\n"
      "Empty=\r\n"
      "Culture=fr-FR\r\n"
      "[ Other ]\r\n"
      "Culture=it-IT\r\n"
      "[localization]\r\n"
      "Late=ignored\r\n");
}

TEST(IniFile, LooksUpSectionsAndKeysIgnoringCase) {
  IniFile ini = Sample();
  EXPECT_EQ(ini.GetString("Localization", "Culture", "en-US", kBuffer), "de-DE");
  EXPECT_EQ(ini.GetString("LOCALIZATION", "culture", "en-US", kBuffer), "de-DE");
  EXPECT_EQ(ini.GetString("other", "CULTURE", "en-US", kBuffer), "it-IT");
  // The first of repeated keys and sections wins.
  EXPECT_EQ(ini.GetString("Localization", "Late", "none", kBuffer), "none");
}

TEST(IniFile, TrimsValuesAndRemovesMatchingQuotes) {
  IniFile ini = Sample();
  EXPECT_EQ(ini.GetString("Localization", "Quoted", "", kBuffer), "  spaced  ");
  EXPECT_EQ(ini.GetString("Localization", "Single", "", kBuffer), "x");
  EXPECT_EQ(ini.GetString("Localization", "Half", "", kBuffer), "\"open");
  EXPECT_EQ(ini.GetString("Localization", "Inline", "", kBuffer), "value ; not a comment");
  EXPECT_EQ(ini.GetString("Localization", "Empty", "default", kBuffer), "");
}

TEST(IniFile, MissingSectionOrKeyGivesTheDefault) {
  IniFile ini = Sample();
  EXPECT_EQ(ini.GetString("Nowhere", "Culture", "en-US", kBuffer), "en-US");
  EXPECT_EQ(ini.GetString("Localization", "Nothing", "en-US  ", kBuffer), "en-US");
  EXPECT_EQ(ini.GetString("Localization", "; global settings", "d", kBuffer), "d");
  EXPECT_EQ(IniFile().GetString("Localization", "Culture", "", kBuffer), "");
}

TEST(IniFile, CutsResultsToTheBufferSize) {
  IniFile ini = IniFile::Parse("[s]\nk=Grüße\n");
  EXPECT_EQ(ini.GetString("s", "k", "", 4), "Grü");  // size - 1 characters
  EXPECT_EQ(ini.GetString("s", "k", "", 6), "Grüße");
  EXPECT_EQ(ini.GetString("s", "k", "", 1), "");
  EXPECT_EQ(ini.GetString("s", "k", "", 0), "");
  EXPECT_EQ(ini.GetString("s", "missing", "default", 4), "def");
}

TEST(IniFile, ReadsFilesInEachEncodingAndToleratesMissingOnes) {
  qv::test::TestFolder folder;
  auto ansi = folder.Write("ansi.ini",
                           "[Localization]\nName=Gr\xFC\xDF"
                           "e\n");
  auto bom = folder.Write("bom.ini", "\xEF\xBB\xBF[Localization]\nCulture=sv-SE\n");
  EXPECT_EQ(GetPrivateProfileString("Localization", "Name", "", kBuffer, ansi), "Grüße");
  EXPECT_EQ(GetPrivateProfileString("Localization", "Culture", "", kBuffer, bom), "sv-SE");
  EXPECT_EQ(GetPrivateProfileString("Localization", "Culture", "en-US", kBuffer,
                                    folder.Path() / "rxglobal.ini"),
            "en-US");
}

}  // namespace
}  // namespace qv::platform

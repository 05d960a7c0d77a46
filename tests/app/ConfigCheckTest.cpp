// The pieces --check judges the configuration files with: names that are likely
// misspellings, program files' fields and encodings, and registry values.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/NearestName.h"
#include "app/ProgramFileCheck.h"
#include "app/RegistryCheck.h"
#include "support/RecordsetFactory.h"

namespace qv {
namespace {

using test::MakeRecordset;

TEST(ConfigCheck, NearestNameSuggestsOnlyLikelyMisspellings) {
  const std::vector<std::string> fields = {"tSQLOrderBy", "tImportRuleFolder", "nDSID"};
  const struct {
    const char* name;
    const char* nearest;
  } cases[] = {
      {"tOrderBy", "tSQLOrderBy"},
      {"TSQLORDERBY", "tSQLOrderBy"},
      {"tImportFolder", "tImportRuleFolder"},
      {"nDSI", "nDSID"},
      {"nID", ""},
      {"tComment", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(NearestName(c.name, fields), c.nearest) << c.name;
  EXPECT_EQ(NearestName("bultin", {"builtin", "upload.exe"}), "builtin");
}

TEST(ConfigCheck, FieldProblemsNameMissingAndUnknownFields) {
  const auto rs = MakeRecordset({{"nID", ado::adInteger, 4}, {"tOrderBy"}, {"tExtra"}}, {});
  const std::vector<std::string> problems =
      FieldProblems(*rs, {{"nID", "tConnectionString"}, {"tSQLOrderBy"}, 1});
  EXPECT_EQ(problems,
            (std::vector<std::string>{"no field tConnectionString",
                                      "unknown field tOrderBy (did you mean tSQLOrderBy?)",
                                      "unknown field tExtra, which the program does not read"}));
}

TEST(ConfigCheck, EncodingProblemTellsWhichEncodingTheTextsHave) {
  const auto file = [](std::vector<std::vector<ado::Variant>> rows) {
    return MakeRecordset({{"nID", ado::adInteger, 4}, {"tValue", ado::adVarWChar, 200}}, rows);
  };
  const struct {
    const char* text;
    int32_t read_as;
    const char* problem;  // the start of it; "" for none
  } cases[] = {
      {"Driver%3DSQLite3%3BDatabase%3D%2Fx.db", 1, ""},
      {"RHJpdmVyPVNRTGl0ZTM7RGF0YWJhc2U9L3guZGI=", 6, ""},
      {"Driver=SQLite3;Database=/x.db", 1, ""},  // percent-decoding takes it as it is
      // Written with the other encoding.
      {"RHJpdmVyPVNRTGl0ZTM7RGF0YWJhc2U9L3guZGI=", 1, "its texts are encoded with type 6, not 1"},
      {"Driver%3DSQLite3", 6, "its texts are encoded with type 1 (or not at all), not 6"},
      // Neither.
      {"50%_off", 1, "field tValue of record 1 does not decode as type 1: "},
  };
  for (const auto& c : cases) {
    const auto rs = file({{int32_t{1}, ado::Variant(c.text)}});
    const std::string problem = EncodingProblem(*rs, c.read_as);
    if (*c.problem == '\0') {
      EXPECT_EQ(problem, "") << c.text;
    } else {
      EXPECT_EQ(problem.rfind(c.problem, 0), 0U) << c.text << ": " << problem;
    }
  }
}

TEST(ConfigCheck, RegistryProblemsCheckNamesKindsAndRanges) {
  const struct {
    const char* line;
    const char* problem;  // "" when the value is fine
  } cases[] = {
      {"\"EventLogLevel\"=dword:00000001", ""},
      {"\"EventLogLevel\"=dword:00000000", ""},
      {"\"EventLogLevel\"=dword:ffffffff", ""},
      {"\"EventLogLevel\"=dword:00000091", ""},
      {"\"EventLogLevel\"=dword:00000007", "\"EventLogLevel\" is 7, which holds levels"},
      {"\"EventLogLevel\"=\"1\"", "\"EventLogLevel\" must be a dword"},
      {"\"uploader\"=\"BuiltIn\"", ""},
      {"\"Uploader\"=\"bultin\"", "\"Uploader\" is \"bultin\" (did you mean \"builtin\"?)"},
      {"\"UploaderConnections\"=dword:00000010", ""},
      {"\"UploaderConnections\"=dword:00000000",
       "\"UploaderConnections\" is 0; it must be a "
       "dword from 1 to 16"},
      {"\"UploaderRetries\"=dword:00000000", ""},
      {"\"UploaderGiveUpAfter\"=dword:00000000", "\"UploaderGiveUpAfter\" is 0"},
      {"\"LogRetentionDays\"=dword:ffffffff", "\"LogRetentionDays\" is -1"},
      {"\"LogKeepFiles\"=dword:00000001", ""},
      {"\"MetricsFile\"=dword:00000001", "\"MetricsFile\" must be a text"},
      {"\"SendDeletions\"=dword:00000001", ""},
      {"\"SendDeletions\"=dword:00000002",
       "\"SendDeletions\" is 2; it must be a dword from 0 to 1"},
      {"\"DeleteAtMostPercent\"=dword:00000064", ""},
      {"\"DeleteAtMostPercent\"=dword:00000065", "\"DeleteAtMostPercent\" is 101"},
      {"\"LogKeepFile\"=dword:00000001",
       "unknown value \"LogKeepFile\" (did you mean "
       "\"LogKeepFiles\"?)"},
      {"\"Colour\"=\"blue\"", "unknown value \"Colour\", which the program does not read"},
  };
  for (const auto& c : cases) {
    const platform::RegistryFile registry = platform::RegistryFile::Parse(
        std::string("Windows Registry Editor Version 5.00\r\n\r\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\r\n") +
            c.line + "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n\"Anything\"=\"x\"\r\n",
        "test.reg");
    const std::vector<std::string> problems = RegistryProblems(registry);
    if (*c.problem == '\0') {
      EXPECT_TRUE(problems.empty()) << c.line << ": " << problems.front();
    } else {
      ASSERT_EQ(problems.size(), 1U) << c.line;
      EXPECT_EQ(problems.front().rfind(c.problem, 0), 0U) << problems.front();
    }
  }
}

}  // namespace
}  // namespace qv

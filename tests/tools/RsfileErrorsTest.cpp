#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "RsfileRunner.h"

namespace rsfile_test {
namespace {

// A failed command: exit status 1, nothing on standard output, and one line on
// standard error that starts with "rsfile: " and holds every one of `parts`.
void ExpectFailure(const RunResult& result, std::initializer_list<std::string> parts) {
  EXPECT_EQ(result.exit_code, 1) << result.err;
  EXPECT_EQ(result.out, "");
  ASSERT_EQ(result.ErrLines().size(), 1u) << result.err;
  EXPECT_TRUE(result.err.starts_with("rsfile: ")) << result.err;
  for (const std::string& part : parts) {
    EXPECT_NE(result.err.find(part), std::string::npos) << "'" << part << "' not in " << result.err;
  }
}

// A wrong command line: exit status 2, the error line, then usage.
void ExpectUsageError(const RunResult& result, const std::string& part) {
  EXPECT_EQ(result.exit_code, 2) << result.err;
  EXPECT_EQ(result.out, "");
  auto lines = result.ErrLines();
  ASSERT_GE(lines.size(), 2u) << result.err;
  EXPECT_TRUE(lines[0].starts_with("rsfile: ")) << lines[0];
  EXPECT_NE(lines[0].find(part), std::string::npos) << lines[0];
  EXPECT_TRUE(lines[1].starts_with("Usage: rsfile")) << result.err;
}

TEST(Rsfile, MissingFilesFailNamingThePath) {
  TempFolder folder;
  std::string missing = folder.File("missing.xml");
  for (const char* command : {"show", "check", "to-json"}) {
    SCOPED_TRACE(command);
    ExpectFailure(folder.Run({command, missing}), {missing, "no such file"});
  }
  ExpectFailure(folder.Run({"copy", missing, folder.File("out.xml")}), {missing});
  ExpectFailure(folder.Run({"from-json", folder.File("missing.json"), folder.File("out.xml")}),
                {"missing.json", "no such file"});
  EXPECT_FALSE(std::filesystem::exists(folder.File("out.xml")));
}

TEST(Rsfile, FilesThatAreNotRecordsetsFailWithTheReadersReason) {
  TempFolder folder;
  WriteFile(folder.File("broken.xml"), "<xml xmlns:s='uuid:BDC6E3F0'><s:Schema id='RowsetSchema'>");
  WriteFile(folder.File("other.xml"), "<html><body>hello</body></html>");
  WriteFile(folder.File("empty.xml"), "");
  for (const char* name : {"broken.xml", "other.xml", "empty.xml"}) {
    SCOPED_TRACE(name);
    RunResult result = folder.Run({"check", folder.File(name)});
    ExpectFailure(result, {folder.File(name) + ": "});
    // A reason follows the path.
    EXPECT_GT(result.err.size(), ("rsfile: " + folder.File(name) + ": ").size() + 5);
  }
  ExpectFailure(folder.Run({"check", folder.Path().string()}), {"folder"});
}

TEST(Rsfile, FromJsonNamesWhatIsWrongInTheInput) {
  TempFolder folder;
  struct Case {
    const char* json;
    std::initializer_list<std::string> parts;
  };
  const Case cases[] = {
      {R"({"fields": [{"name": "a"}], "rows": [["x"],)", {"not valid JSON", "line 1"}},
      {R"([1, 2])", {"\"fields\""}},
      {R"({"fields": []})", {"\"fields\" is empty"}},
      {R"({"fields": [{"name": "a", "size": 3}]})", {"field 1", "\"size\""}},
      {R"({"fields": [{"name": "a"}, {"name": "A"}]})", {"field 2", "used twice"}},
      {R"({"fields": [{"name": "a", "type": 136}]})", {"field 1", "136 adChapter"}},
      {R"({"fields": [{"name": "a"}, {"name": "b"}], "rows": [["x", "y"], ["x"]]})",
       {"row 2 has 1 value", "2 fields"}},
      {R"({"fields": [{"name": "n", "type": 3}], "rows": [[1], ["abc"]]})",
       {"row 2", "field 'n'", "3 adInteger", "\"abc\""}},
      {R"({"fields": [{"name": "n", "type": 16}], "rows": [[128]]})",
       {"row 1", "field 'n'", "-128 to 127"}},
      {R"({"fields": [{"name": "n", "type": 3}], "rows": [[1.5]]})", {"row 1", "whole number"}},
      {R"({"fields": [{"name": "t", "definedSize": 3}], "rows": [["abcd"]]})",
       {"row 1", "field 't'", "4 characters", "size 3"}},
      {R"({"fields": [{"name": "d", "type": 7}], "rows": [["2023-02-29T00:00:00"]]})",
       {"row 1", "field 'd'", "2023-02-29"}},
      {R"({"fields": [{"name": "m", "type": 6}], "rows": [["1e30"]]})", {"field 'm'", "currency"}},
      {R"({"fields": [{"name": "x", "type": 131, "precision": 5, "numericScale": 2}],
           "rows": [["1234.5"]]})",
       {"field 'x'", "precision 5"}},
      {R"({"fields": [{"name": "b", "type": 204, "definedSize": 2}], "rows": [["0a0b0"]]})",
       {"field 'b'", "hex"}},
      {R"({"fields": [{"name": "g", "type": 72}], "rows": [["not-a-guid"]]})",
       {"field 'g'", "GUID"}},
      {R"({"fields": [{"name": "f", "type": 11}], "rows": [["yes"]]})",
       {"field 'f'", "true or false"}},
      {R"({"fields": [{"name": "t"}], "rows": [["a\u0001"]]})", {"field 't'", "U+0001"}},
      {R"({"fields": [{"name": "t"}, {"name": "u", "attributes": 36}], "rows": [[null, null]]})",
       {"row 1", "field 't'", "not nullable"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    WriteFile(folder.File("in.json"), c.json);
    RunResult result = folder.Run({"from-json", folder.File("in.json"), folder.File("out.xml")});
    ExpectFailure(result, c.parts);
    EXPECT_TRUE(result.err.starts_with("rsfile: " + folder.File("in.json") + ": ")) << result.err;
    EXPECT_FALSE(std::filesystem::exists(folder.File("out.xml")));
  }
}

TEST(Rsfile, FailedSaveLeavesTheTargetAndNoTemporaryFile) {
  TempFolder folder;
  std::string sample = QV_TEST_DATA_DIR "/ado-samples/F02-jet40-winmss-TAG.xml";
  std::string target = folder.File("target.xml");
  WriteFile(target, "old content");
  // The input cannot be read: the target keeps its content.
  WriteFile(folder.File("bad.json"), "{");
  ExpectFailure(folder.Run({"from-json", folder.File("bad.json"), target}), {"bad.json"});
  EXPECT_EQ(ReadFile(target), "old content");
  // The target's folder does not exist, or the target is a folder.
  ExpectFailure(folder.Run({"copy", sample, folder.File("no/such/folder/out.xml")}), {"out.xml"});
  std::filesystem::create_directory(folder.File("dir.xml"));
  ExpectFailure(folder.Run({"copy", sample, folder.File("dir.xml")}), {"dir.xml", "folder"});

  size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
    EXPECT_FALSE(entry.path().filename().string().starts_with(".target"))
        << entry.path() << " left behind";
    ++entries;
  }
  EXPECT_EQ(entries, 3u);  // target.xml, bad.json, dir.xml

  // A successful copy replaces the whole old content.
  ASSERT_EQ(folder.Run({"copy", sample, target}).exit_code, 0);
  EXPECT_EQ(folder.Run({"check", target}).exit_code, 0);
  EXPECT_EQ(ReadFile(target).find("old content"), std::string::npos);
}

TEST(Rsfile, WrongCommandLinesGiveUsageAndStatusTwo) {
  TempFolder folder;
  std::string file = folder.File("x.xml");
  ExpectUsageError(folder.Run({}), "no command");
  ExpectUsageError(folder.Run({"convert", file}), "unknown command 'convert'");
  ExpectUsageError(folder.Run({"--verbose"}), "unknown option '--verbose'");
  ExpectUsageError(folder.Run({"check", file, "--decode", "6"}), "unknown option '--decode'");
  ExpectUsageError(folder.Run({"show", file, "--decode", "2"}), "1 or 6");
  ExpectUsageError(folder.Run({"show", file, "--decode"}), "--decode");
  ExpectUsageError(folder.Run({"show", file, "--decode=6", "--decode=6"}), "twice");
  ExpectUsageError(folder.Run({"copy", file}), "missing arguments");
  ExpectUsageError(folder.Run({"check", file, file}), "too many arguments");
  // A command's usage follows its errors.
  EXPECT_NE(folder.Run({"copy", file}).err.find("Usage: rsfile copy IN OUT"), std::string::npos);
}

TEST(Rsfile, HelpDescribesEveryCommandWithAnExample) {
  TempFolder folder;
  RunResult general = folder.Run({"--help"});
  EXPECT_EQ(general.exit_code, 0);
  EXPECT_EQ(general.err, "");
  for (const char* command : {"show", "check", "copy", "to-json", "from-json"}) {
    SCOPED_TRACE(command);
    EXPECT_NE(general.out.find(std::string("  ") + command + " "), std::string::npos);
    RunResult help = folder.Run({command, "--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_TRUE(help.out.starts_with(std::string("Usage: rsfile ") + command)) << help.out;
    EXPECT_NE(help.out.find("Example"), std::string::npos) << help.out;
  }
}

}  // namespace
}  // namespace rsfile_test

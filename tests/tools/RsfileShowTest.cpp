#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "RsfileRunner.h"

namespace rsfile_test {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(Rsfile, ShowPrintsFieldsAndAnAlignedTableOfReadableValues) {
  TempFolder folder;
  std::string long_text(60, 'x');
  WriteFile(folder.File("in.json"),
            R"({"fields": [{"name": "tName", "definedSize": 100, "attributes": 36},
                           {"name": "nCount", "type": 3, "attributes": 36},
                           {"name": "nPrice", "type": 131, "precision": 10, "numericScale": 2,
                            "attributes": 36}],
                "rows": [["a\tb\nc\r", 7, "12.5"], [null, -1234, null], [")" +
                long_text + R"(", null, "0.05"]]})");
  ASSERT_EQ(folder.Run({"from-json", folder.File("in.json"), folder.File("t.xml")}).exit_code, 0);
  RunResult result = folder.Run({"show", folder.File("t.xml")});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  std::vector<std::string> lines = Lines(result.out);
  ASSERT_EQ(lines.size(), 14u) << result.out;

  // Columns are as wide as their widest cell and two blanks apart.
  EXPECT_EQ(lines[0], "3 fields");
  EXPECT_EQ(lines[1], "  #  Name    Type            Size  Precision  Scale  Attributes");
  EXPECT_EQ(lines[2],
            "  -  ------  --------------  ----  ---------  -----  " + std::string(31, '-'));
  EXPECT_EQ(lines[3],
            "  1  tName   202 adVarWChar   100          0      0  36 (Updatable IsNullable)");
  EXPECT_EQ(lines[4],
            "  2  nCount  3 adInteger        4         10      0  52 (Updatable Fixed IsNullable)");
  EXPECT_EQ(lines[5],
            "  3  nPrice  131 adNumeric     19         10      2  52 (Updatable Fixed IsNullable)");
  EXPECT_EQ(lines[6], "");

  // Text left-aligned, numbers right-aligned; NULL for null; controls escaped; a long
  // value cut to 40 characters.
  auto pad = [](size_t count) { return std::string(count, ' '); };
  EXPECT_EQ(lines[7], "tName" + pad(35) + "  nCount  nPrice");
  EXPECT_EQ(lines[8], std::string(40, '-') + "  ------  ------");
  EXPECT_EQ(lines[9], "a\\tb\\nc\\r" + pad(31) + "  " + pad(5) + "7  " + pad(2) + "12.5");
  EXPECT_EQ(lines[10], "NULL" + pad(36) + "  " + pad(1) + "-1234  " + pad(2) + "NULL");
  EXPECT_EQ(lines[11], std::string(37, 'x') + "...  " + pad(2) + "NULL  " + pad(2) + "0.05");
  EXPECT_EQ(lines[12], "");
  EXPECT_EQ(lines[13], "3 records");
}

TEST(Rsfile, ShowOfAnEmptyRecordsetPrintsTheHeaderAndZeroRecords) {
  TempFolder folder;
  std::string sample = QV_TEST_DATA_DIR "/ado-samples/F03-jet40-winmss-CLASSIFY-empty.xml";
  RunResult result = folder.Run({"show", sample});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(result.out.starts_with("5 fields\n")) << result.out;
  EXPECT_NE(result.out.find("17 adUnsignedTinyInt"), std::string::npos) << result.out;
  EXPECT_TRUE(result.out.ends_with("\n0 records\n")) << result.out;
}

// A change file carrying a deletion: its row is pending deletion (rs:delete), which a
// walk of the rows does not show; show and to-json mark it, from-json refuses to make one.
TEST(Rsfile, RowsPendingDeletionAreShownMarked) {
  TempFolder folder;
  WriteFile(folder.File("in.json"),
            R"({"fields": [{"name": "tSID", "definedSize": 10, "attributes": 36}],
                "rows": [["kept"], ["gone"]]})");
  ASSERT_EQ(folder.Run({"from-json", folder.File("in.json"), folder.File("t.xml")}).exit_code, 0);
  std::string xml = ReadFile(folder.File("t.xml"));
  const size_t gone = xml.find("<z:row tSID='gone'/>");
  ASSERT_NE(gone, std::string::npos) << xml;
  xml.replace(gone, std::string("<z:row tSID='gone'/>").size(),
              "<rs:delete><z:row tSID='gone'/></rs:delete>");
  WriteFile(folder.File("t.xml"), xml);

  const RunResult shown = folder.Run({"show", folder.File("t.xml")});
  ASSERT_EQ(shown.exit_code, 0) << shown.err;
  EXPECT_TRUE(shown.out.find("\n1 record\n") != std::string::npos) << shown.out;
  EXPECT_TRUE(
      shown.out.ends_with("(pending)  tSID\n---------  ----\ndeleted    gone\n\n"
                          "1 record pending deletion\n"))
      << shown.out;

  const RunResult json = folder.Run({"to-json", folder.File("t.xml")});
  ASSERT_EQ(json.exit_code, 0) << json.err;
  EXPECT_TRUE(
      json.out.ends_with("\"rows\": [\n    [\"kept\"]\n  ],\n  \"deleted\": [\n"
                         "    [\"gone\"]\n  ]\n}\n"))
      << json.out;
  WriteFile(folder.File("back.json"), json.out);
  const RunResult back = folder.Run({"from-json", folder.File("back.json"), folder.File("b.xml")});
  EXPECT_NE(back.exit_code, 0);
  EXPECT_NE(back.err.find("rows pending deletion (\"deleted\") cannot be made from JSON"),
            std::string::npos)
      << back.err;
}

}  // namespace
}  // namespace rsfile_test

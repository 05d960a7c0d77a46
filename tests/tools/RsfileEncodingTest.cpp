#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "RsfileRunner.h"

namespace rsfile_test {
namespace {

using nlohmann::json;

// Texts that are encoded, beside values that are never text-like (numbers, Booleans,
// dates, numeric text, empty text, null).
const char* const kRules = R"({
  "fields": [{"name": "nID", "type": 3}, {"name": "tSQL", "definedSize": 200},
             {"name": "tNote", "definedSize": 200, "attributes": 36}, {"name": "bOn", "type": 11}],
  "rows": [[1, "SELECT * FROM t WHERE a = 'x'", "Soße & 100%", true],
           [2, "123", "", false],
           [3, "2024-01-02", null, true]]
})";

json ToJson(const TempFolder& folder, const std::vector<std::string>& args) {
  RunResult result = folder.Run(args);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  return json::parse(result.out)["rows"];
}

TEST(Rsfile, EncodedTextsDecodeToTheOriginalsAndStayEncodedWithoutDecoding) {
  TempFolder folder;
  WriteFile(folder.File("rules.json"), kRules);
  std::string xml = folder.File("rules.xml");
  RunResult written = folder.Run({"from-json", folder.File("rules.json"), xml, "--encode", "6"});
  ASSERT_EQ(written.exit_code, 0) << written.err;

  json plain = json::parse(kRules)["rows"];
  EXPECT_EQ(ToJson(folder, {"to-json", xml, "--decode", "6"}), plain);

  json encoded = ToJson(folder, {"to-json", xml});
  EXPECT_EQ(encoded[0][1], "U0VMRUNUICogRlJPTSB0IFdIRVJFIGEgPSAneCc=");
  EXPECT_EQ(encoded[0][2], "U2/Dn2UgJiAxMDAl");
  // Values that are not text-like are left as they were.
  for (size_t row : {1u, 2u}) {
    EXPECT_EQ(encoded[row], plain[row]) << row;
  }
  EXPECT_EQ(encoded[0][0], 1);
  EXPECT_EQ(encoded[0][3], true);
}

TEST(Rsfile, CopyRecodesFromOneEncodeTypeToTheOther) {
  TempFolder folder;
  WriteFile(folder.File("rules.json"), kRules);
  std::string base64 = folder.File("b64.xml");
  std::string percent = folder.File("pct.xml");
  ASSERT_EQ(folder.Run({"from-json", folder.File("rules.json"), base64, "--encode=6"}).exit_code,
            0);
  RunResult copied = folder.Run({"copy", base64, percent, "--decode", "6", "--encode", "1"});
  ASSERT_EQ(copied.exit_code, 0) << copied.err;

  json encoded = ToJson(folder, {"to-json", percent});
  EXPECT_EQ(encoded[0][2], "So%C3%9Fe%20%26%20100%25");
  EXPECT_EQ(ToJson(folder, {"to-json", percent, "--decode", "1"}), json::parse(kRules)["rows"]);
  // Shown decoded as well.
  RunResult shown = folder.Run({"show", percent, "--decode", "1"});
  ASSERT_EQ(shown.exit_code, 0) << shown.err;
  EXPECT_NE(shown.out.find("Soße & 100%"), std::string::npos) << shown.out;
}

TEST(Rsfile, CopyEncodesAFileSavedReadOnlyAndSavesItUpdatable) {
  TempFolder folder;
  std::string sample = QV_TEST_DATA_DIR "/ado-samples/01-jet-debtors-dom-reserialized.xml";
  ASSERT_EQ(ReadFile(sample).find("rs:updatable"), std::string::npos);
  std::string encoded = folder.File("encoded.xml");
  RunResult copied = folder.Run({"copy", sample, encoded, "--encode", "6"});
  ASSERT_EQ(copied.exit_code, 0) << copied.err;

  EXPECT_NE(ReadFile(encoded).find("rs:updatable='true'"), std::string::npos);
  json original = ToJson(folder, {"to-json", sample});
  EXPECT_NE(ToJson(folder, {"to-json", encoded}), original);
  EXPECT_EQ(ToJson(folder, {"to-json", encoded, "--decode", "6"}), original);
}

TEST(Rsfile, DecodingTextThatIsNotEncodedFailsWithoutOutput) {
  TempFolder folder;
  WriteFile(folder.File("rules.json"), kRules);
  std::string xml = folder.File("plain.xml");
  ASSERT_EQ(folder.Run({"from-json", folder.File("rules.json"), xml}).exit_code, 0);

  RunResult result = folder.Run({"to-json", xml, "--decode", "6"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  ASSERT_EQ(result.ErrLines().size(), 1u) << result.err;
  EXPECT_TRUE(result.err.starts_with("rsfile: " + xml + ": cannot decode")) << result.err;

  // The message names the field and record in plain words, not the program's classes.
  EXPECT_EQ(result.err.find("CQv"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("@Line"), std::string::npos) << result.err;

  // Base64 texts pass percent-decoding unchanged: decoding them as type 1 is refused.
  const std::string base64 = folder.File("base64.xml");
  ASSERT_EQ(folder.Run({"from-json", folder.File("rules.json"), base64, "--encode", "6"}).exit_code,
            0);
  RunResult wrong = folder.Run({"to-json", base64, "--decode", "1"});
  EXPECT_EQ(wrong.exit_code, 1);
  EXPECT_EQ(wrong.out, "");
  EXPECT_EQ(wrong.err,
            "rsfile: " + base64 + ": cannot decode: its texts are encoded with type 6, not 1\n");

  // copy refuses too and writes nothing.
  RunResult copied = folder.Run({"copy", xml, folder.File("copy.xml"), "--decode", "1"});
  EXPECT_EQ(copied.exit_code, 1) << copied.err;
  EXPECT_FALSE(std::filesystem::exists(folder.File("copy.xml")));
}

TEST(Rsfile, EncodingThatNoLongerFitsTheFieldFails) {
  TempFolder folder;
  // Base64 makes the 6 characters 8: more than the field's size.
  WriteFile(folder.File("in.json"),
            R"({"fields": [{"name": "t", "definedSize": 6}], "rows": [["abcdef"]]})");
  RunResult result =
      folder.Run({"from-json", folder.File("in.json"), folder.File("out.xml"), "--encode", "6"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.ErrLines().size(), 1u) << result.err;
  EXPECT_FALSE(std::filesystem::exists(folder.File("out.xml")));
}

}  // namespace
}  // namespace rsfile_test

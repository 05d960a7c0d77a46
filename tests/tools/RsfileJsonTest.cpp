#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "RsfileRunner.h"

namespace rsfile_test {
namespace {

using nlohmann::json;

// One field of every type from-json takes, with extreme, null and empty values. The
// fields are nullable (36: Updatable, IsNullable).
const char* const kEveryType = R"({
  "fields": [
    {"name": "i1", "type": 16, "attributes": 36}, {"name": "ui1", "type": 17, "attributes": 36},
    {"name": "i2", "type": 2, "attributes": 36}, {"name": "ui2", "type": 18, "attributes": 36},
    {"name": "i4", "type": 3, "attributes": 36}, {"name": "ui4", "type": 19, "attributes": 36},
    {"name": "i8", "type": 20, "attributes": 36}, {"name": "ui8", "type": 21, "attributes": 36},
    {"name": "single", "type": 4, "attributes": 36}, {"name": "double", "type": 5, "attributes": 36},
    {"name": "dec", "type": 14, "precision": 38, "numericScale": 10, "attributes": 36},
    {"name": "num", "type": 131, "precision": 38, "numericScale": 0, "attributes": 36},
    {"name": "money", "type": 6, "attributes": 36}, {"name": "flag", "type": 11, "attributes": 36},
    {"name": "day", "type": 7, "attributes": 36}, {"name": "stamp", "type": 135, "attributes": 36},
    {"name": "id", "type": 72, "attributes": 36},
    {"name": "bin", "type": 128, "definedSize": 4, "attributes": 36},
    {"name": "varbin", "type": 204, "definedSize": 16, "attributes": 36},
    {"name": "longbin", "type": 205, "attributes": 36},
    {"name": "ch", "type": 129, "definedSize": 5, "attributes": 36},
    {"name": "vch", "type": 200, "definedSize": 40, "attributes": 36},
    {"name": "longch", "type": 201, "attributes": 36},
    {"name": "wch", "type": 130, "definedSize": 3, "attributes": 36},
    {"name": "vwch", "type": 202, "definedSize": 40, "attributes": 36},
    {"name": "longwch", "type": 203, "attributes": 36}
  ],
  "rows": [
    [127, 255, 32767, 65535, 2147483647, 4294967295, 9223372036854775807,
     18446744073709551615, 0.1, 1.7976931348623157e+308,
     "1234567890123456789012345678.1234567891", "99999999999999999999999999999999999999",
     "922337203685477.5807", true, "2024-02-29T13:45:10", "2023-12-31T23:59:59.123",
     "{6F9619FF-8B86-D011-B42D-00C04FC964FF}", "0001feff", "00112233445566778899aabbccddeeff",
     "ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00",
     "abcde", "quote ' \" & < > done", "long \t text", "äöü",
     "tab\tnew\nline\r\nend", "emoji 😀 and Soße"],
    [-128, 0, -32768, 0, -2147483648, 0, -9223372036854775808,
     0, -3.5, -2.5e-300,
     "-9999999999999999999999999999.9999999999", "-1", "-922337203685477.5808", false,
     "1850-06-15T06:30:00", "2001-01-01T00:00:00.5",
     "{00000000-0000-0000-0000-000000000000}", "00000000", "", "",
     "     ", "", "", "   ", "", ""],
    [null, null, null, null, null, null, null, null, null, null, null, null, null, null,
     null, null, null, null, null, null, null, null, null, null, null, null]
  ]
})";

// from-json IN, then to-json of the written file, parsed.
json RoundTrip(const TempFolder& folder, const std::string& input) {
  WriteFile(folder.File("in.json"), input);
  RunResult written = folder.Run({"from-json", folder.File("in.json"), folder.File("out.xml")});
  EXPECT_EQ(written.exit_code, 0) << written.err;
  EXPECT_EQ(written.out, "");
  RunResult read = folder.Run({"to-json", folder.File("out.xml")});
  EXPECT_EQ(read.exit_code, 0) << read.err;
  return json::parse(read.out);
}

TEST(Rsfile, JsonRoundTripKeepsEveryTypeWithNullAndEmptyValues) {
  TempFolder folder;
  json input = json::parse(kEveryType);
  json output = RoundTrip(folder, kEveryType);

  ASSERT_EQ(output["fields"].size(), input["fields"].size());
  for (size_t i = 0; i < input["fields"].size(); ++i) {
    const json& given = input["fields"][i];
    const json& got = output["fields"][i];
    SCOPED_TRACE(given.dump());
    EXPECT_EQ(got["name"], given["name"]);
    EXPECT_EQ(got["type"], given["type"]);
    for (const char* key : {"definedSize", "precision", "numericScale"}) {
      if (given.contains(key)) {
        EXPECT_EQ(got[key], given[key]) << key;
      }
    }
  }
  ASSERT_EQ(output["rows"].size(), input["rows"].size());
  for (size_t r = 0; r < input["rows"].size(); ++r) {
    for (size_t f = 0; f < input["fields"].size(); ++f) {
      EXPECT_EQ(output["rows"][r][f], input["rows"][r][f])
          << "row " << r + 1 << ", field " << input["fields"][f]["name"];
    }
  }
}

TEST(Rsfile, FromJsonFillsMissingPropertiesAsFieldsAppendDoes) {
  TempFolder folder;
  json output = RoundTrip(folder, R"({"fields": [{"name": "tName"}, {"name": "nID", "type": 3},
      {"name": "tNote", "definedSize": 10}], "rows": [["x", 1, "y"]]})");
  ASSERT_EQ(output["fields"].size(), 3u);
  EXPECT_EQ(output["fields"][0]["type"], 202);
  EXPECT_EQ(output["fields"][0]["definedSize"], 255);
  EXPECT_EQ(output["fields"][1]["type"], 3);
  EXPECT_EQ(output["fields"][1]["definedSize"], 4);
  EXPECT_EQ(output["fields"][2]["type"], 202);
  EXPECT_EQ(output["fields"][2]["definedSize"], 10);
  EXPECT_EQ(output["rows"], json::parse(R"([["x", 1, "y"]])"));
}

TEST(Rsfile, FromJsonAcceptsAByteOrderMark) {
  TempFolder folder;
  json output =
      RoundTrip(folder, "\xEF\xBB\xBF{\"fields\": [{\"name\": \"a\"}], \"rows\": [[\"b\"]]}");
  EXPECT_EQ(output["rows"], json::parse(R"([["b"]])"));
}

TEST(Rsfile, ToJsonWritesOneFieldAndOneRowPerLineInUtf8) {
  TempFolder folder;
  WriteFile(folder.File("in.json"),
            R"({"fields": [{"name": "a", "type": 3}, {"name": "b", "attributes": 36}],
                "rows": [[1, "Soße"], [2, null], [3, "x"]]})");
  ASSERT_EQ(folder.Run({"from-json", folder.File("in.json"), folder.File("out.xml")}).exit_code, 0);
  RunResult result = folder.Run({"to-json", folder.File("out.xml")});
  ASSERT_EQ(result.exit_code, 0) << result.err;

  std::istringstream in(result.out);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 11u) << result.out;
  EXPECT_EQ(lines[0], "{");
  EXPECT_EQ(lines[1], "  \"fields\": [");
  EXPECT_TRUE(lines[2].starts_with("    {\"name\":\"a\",\"type\":3,\"definedSize\":4,"))
      << lines[2];
  EXPECT_EQ(lines[5], "  \"rows\": [");
  EXPECT_EQ(lines[6], "    [1,\"Soße\"],");
  EXPECT_EQ(lines[7], "    [2,null],");
  EXPECT_EQ(lines[8], "    [3,\"x\"]");
  EXPECT_EQ(lines[10], "}");
}

// The s:datatype of the field named `name`, continuation lines joined.
std::string DatatypeOf(const std::string& xml, const std::string& name) {
  size_t field = xml.find("<s:AttributeType name='" + name + "'");
  if (field == std::string::npos) return "";
  size_t begin = xml.find("<s:datatype ", field);
  size_t end = xml.find("/>", begin);
  std::string tag = xml.substr(begin, end + 2 - begin);
  for (size_t wrap; (wrap = tag.find("\n\t\t\t ")) != std::string::npos;) tag.replace(wrap, 5, " ");
  return tag;
}

TEST(Rsfile, FromJsonWritesEachTypeWithAdosSchemaAttributes) {
  struct TypeCase {
    int type;
    int size;  // 0: the type's own
    const char* prefix;
    bool fixed;
    bool is_long;
  };
  const TypeCase cases[] = {
      {16, 0, "dt:type='i1' dt:maxLength='1'", true, false},
      {17, 0, "dt:type='ui1' dt:maxLength='1'", true, false},
      {2, 0, "dt:type='i2' dt:maxLength='2'", true, false},
      {18, 0, "dt:type='ui2' dt:maxLength='2'", true, false},
      {3, 0, "dt:type='int' dt:maxLength='4'", true, false},
      {19, 0, "dt:type='ui4' dt:maxLength='4'", true, false},
      {20, 0, "dt:type='i8' dt:maxLength='8'", true, false},
      {21, 0, "dt:type='ui8' dt:maxLength='8'", true, false},
      {4, 0, "dt:type='r4' dt:maxLength='4'", true, false},
      {5, 0, "dt:type='float' dt:maxLength='8'", true, false},
      {6, 0, "dt:type='number' rs:dbtype='currency' dt:maxLength='8'", true, false},
      {131, 0, "dt:type='number' rs:dbtype='numeric' dt:maxLength='19'", true, false},
      {11, 0, "dt:type='boolean' dt:maxLength='2'", true, false},
      {7, 0, "dt:type='dateTime' rs:dbtype='variantdate' dt:maxLength='16'", true, false},
      {135, 0, "dt:type='dateTime' rs:dbtype='timestamp' dt:maxLength='16'", true, false},
      {72, 0, "dt:type='uuid' dt:maxLength='16'", true, false},
      {128, 8, "dt:type='bin.hex' dt:maxLength='8'", true, false},
      {204, 8, "dt:type='bin.hex' dt:maxLength='8'", false, false},
      {205, -1, "dt:type='bin.hex' dt:maxLength='4294967295'", false, true},
      {129, 10, "dt:type='string' rs:dbtype='str' dt:maxLength='10'", true, false},
      {200, 10, "dt:type='string' rs:dbtype='str' dt:maxLength='10'", false, false},
      {201, -1, "dt:type='string' rs:dbtype='str' dt:maxLength='4294967295'", false, true},
      {130, 10, "dt:type='string' dt:maxLength='10'", true, false},
      {202, 10, "dt:type='string' dt:maxLength='10'", false, false},
      {203, -1, "dt:type='string' dt:maxLength='4294967295'", false, true},
  };
  json document = {{"fields", json::array()}, {"rows", json::array()}};
  for (const TypeCase& c : cases) {
    json field = {{"name", "f" + std::to_string(c.type)}, {"type", c.type}};
    if (c.size != 0) field["definedSize"] = c.size;
    document["fields"].push_back(field);
  }
  TempFolder folder;
  WriteFile(folder.File("in.json"), document.dump());
  RunResult result = folder.Run({"from-json", folder.File("in.json"), folder.File("out.xml")});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  std::string xml = ReadFile(folder.File("out.xml"));

  EXPECT_TRUE(xml.starts_with("<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882'")) << xml;
  EXPECT_NE(xml.find("\t<s:ElementType name='row' content='eltOnly' rs:updatable='true'>"),
            std::string::npos);
  // A fabricated field is writable and nothing else.
  EXPECT_NE(xml.find("\t\t<s:AttributeType name='f16' rs:number='1' rs:write='true'>"),
            std::string::npos);
  for (const TypeCase& c : cases) {
    std::string tag = DatatypeOf(xml, "f" + std::to_string(c.type));
    SCOPED_TRACE(tag);
    EXPECT_TRUE(tag.starts_with(std::string("<s:datatype ") + c.prefix)) << c.type;
    EXPECT_EQ(tag.find("rs:fixedlength='true'") != std::string::npos, c.fixed) << c.type;
    EXPECT_EQ(tag.find("rs:long='true'") != std::string::npos, c.is_long) << c.type;
    EXPECT_TRUE(tag.ends_with(" rs:maybenull='false'/>")) << c.type;
  }
}

TEST(Rsfile, FromJsonWritesPlainRowsWithNullsLeftOut) {
  TempFolder folder;
  WriteFile(folder.File("in.json"),
            R"({"fields": [{"name": "nID", "type": 3}, {"name": "tName", "definedSize": 50},
                {"name": "tNote", "attributes": 36}],
                "rows": [[1, "abc", null], [2, "", "x"]]})");
  RunResult result = folder.Run({"from-json", folder.File("in.json"), folder.File("out.xml")});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  std::string xml = ReadFile(folder.File("out.xml"));
  EXPECT_NE(xml.find("<rs:data>\n\t<z:row nID='1' tName='abc'/>\n\t<z:row nID='2' tName='' "
                     "tNote='x'/>\n</rs:data>\n"),
            std::string::npos)
      << xml;
  EXPECT_EQ(xml.find("rs:insert"), std::string::npos) << xml;
}

}  // namespace
}  // namespace rsfile_test

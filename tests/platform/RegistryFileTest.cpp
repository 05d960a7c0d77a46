#include "platform/RegistryFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/TestFolder.h"

namespace qv::platform {
namespace {

constexpr const char* kTolvane = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane";

struct Loaded {
  RegistryFile registry;
  std::vector<std::string> warnings;
};

Loaded ParseText(const std::string& text, const std::string& file_name = "test.reg") {
  Loaded loaded;
  loaded.registry = RegistryFile::Parse(text, file_name, [&loaded](const std::string& warning) {
    loaded.warnings.push_back(warning);
  });
  return loaded;
}

TEST(RegistryFile, ReadsEveryValueKind) {
  Loaded loaded = ParseText(
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\r\n"
      "@=\"default text\"\r\n"
      "\"EventLogLevel\"=dword:0000000a\r\n"
      "\"Negative\"=dword:ffffffff\r\n"
      "\"Path\"=\"C:\\\\Data \\\"quoted\\\"\"\r\n"
      "\"Blob\"=hex:01,ff,00\r\n"
      "\"Expand\"=hex(2):25,00,54,00,4d,00,50,00,25,00,00,00\r\n"
      "\"Multi\"=hex(7):61,00,00,00,e9,00,62,00,00,00,00,00\r\n"
      "\"Big\"=hex(b):00,00,00,00,01,00,00,00\r\n"
      "\"Empty\"=hex:\r\n");
  EXPECT_TRUE(loaded.warnings.empty()) << loaded.warnings.front();
  const RegistryFile& registry = loaded.registry;

  EXPECT_EQ(registry.GetValue(kTolvane, "@"), ado::Variant("default text"));
  EXPECT_EQ(registry.GetValue(kTolvane, ""), ado::Variant("default text"));
  EXPECT_EQ(registry.GetValue(kTolvane, "EventLogLevel"), ado::Variant(int32_t{10}));
  EXPECT_EQ(registry.GetValue(kTolvane, "Negative"), ado::Variant(int32_t{-1}));
  EXPECT_EQ(registry.GetValue(kTolvane, "Path"), ado::Variant("C:\\Data \"quoted\""));
  EXPECT_EQ(registry.GetValue(kTolvane, "Blob"), ado::Variant(ado::Bytes{0x01, 0xFF, 0x00}));
  EXPECT_EQ(registry.GetValue(kTolvane, "Expand"), ado::Variant("%TMP%"));
  EXPECT_EQ(registry.GetValue(kTolvane, "Big"), ado::Variant(int64_t{1} << 32));
  EXPECT_EQ(registry.GetValue(kTolvane, "Empty"), ado::Variant(ado::Bytes{}));

  std::optional<ado::Variant> multi = registry.GetValue(kTolvane, "Multi");
  ASSERT_TRUE(multi && multi->Type() == ado::VarType::kArray);
  ASSERT_EQ(multi->AsArray().items.size(), 2u);
  EXPECT_EQ(multi->AsArray().items[0], ado::Variant("a"));
  EXPECT_EQ(multi->AsArray().items[1], ado::Variant("éb"));

  // The ANSI bytes: texts in Windows-1252 with their NUL, numbers little-endian.
  EXPECT_EQ(registry.Find(kTolvane, "EventLogLevel")->data, (ado::Bytes{10, 0, 0, 0}));
  EXPECT_EQ(registry.Find(kTolvane, "EventLogLevel")->type, kRegDword);
  EXPECT_EQ(registry.Find(kTolvane, "Expand")->type, kRegExpandSz);
  EXPECT_EQ(registry.Find(kTolvane, "Expand")->data, ado::Bytes({'%', 'T', 'M', 'P', '%', 0}));
  EXPECT_EQ(registry.Find(kTolvane, "Multi")->data, ado::Bytes({'a', 0, 0xE9, 'b', 0, 0}));

  // Listed under the names as the file spells them.
  std::vector<std::string> names;
  for (const RegistryValue* value : registry.Values(kTolvane)) names.push_back(value->name);
  EXPECT_EQ(names, (std::vector<std::string>{"", "Big", "Blob", "Empty", "EventLogLevel", "Expand",
                                             "Multi", "Negative", "Path"}));
  EXPECT_TRUE(registry.Values("HKEY_LOCAL_MACHINE\\SOFTWARE\\Other").empty());
}

TEST(RegistryFile, KeysAndNamesIgnoreCase) {
  Loaded loaded = ParseText(
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane\\Sub]\n"
      "\"EventLogLevel\"=dword:00000006\n");
  const RegistryFile& registry = loaded.registry;
  EXPECT_EQ(registry.GetValue("hkey_local_machine\\software\\TOLVANE\\sub", "eventloglevel"),
            ado::Variant(int32_t{6}));
  EXPECT_EQ(registry.GetValue("HKLM\\\\Software\\Tolvane\\Sub\\", "EVENTLOGLEVEL"),
            ado::Variant(int32_t{6}));
  // A parent key exists when a key below it does; its values do not.
  EXPECT_TRUE(registry.KeyExists("HKLM\\Software\\Tolvane"));
  EXPECT_FALSE(registry.KeyExists("HKLM\\Software\\Tol"));
  EXPECT_FALSE(registry.GetValue("HKLM\\Software\\Tolvane", "EventLogLevel").has_value());
  EXPECT_FALSE(registry.GetValue(kTolvane, "Missing").has_value());
}

TEST(RegistryFile, JoinsContinuedLinesAndSkipsComments) {
  Loaded loaded = ParseText(
      "Windows Registry Editor Version 5.00\n"
      "; exported for the test\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\n"
      "\"Long\"=hex:01,02,\\\n"
      "  03,04,\\\n"
      "  05\n"
      "  ; \"Hidden\"=dword:00000001\n"
      "\"EndsInBackslash\"=\"C:\\\\\"\n"
      "\"After\"=dword:00000002\n");
  EXPECT_TRUE(loaded.warnings.empty());
  EXPECT_EQ(loaded.registry.GetValue(kTolvane, "Long"), ado::Variant(ado::Bytes{1, 2, 3, 4, 5}));
  EXPECT_FALSE(loaded.registry.GetValue(kTolvane, "Hidden").has_value());
  EXPECT_EQ(loaded.registry.GetValue(kTolvane, "EndsInBackslash"), ado::Variant("C:\\"));
  EXPECT_EQ(loaded.registry.GetValue(kTolvane, "After"), ado::Variant(int32_t{2}));
}

TEST(RegistryFile, SkipsMalformedLinesWithAWarningNamingFileAndLine) {
  Loaded loaded = ParseText(
      "Windows Registry Editor Version 5.00\n"
      "\"Orphan\"=dword:00000001\n"  // line 2: before any key
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\n"
      "\"Good\"=dword:00000003\n"
      "\"TooLong\"=dword:123456789\n"  // line 5
      "\"Unclosed\"=\"abc\n"           // line 6
      "\"BadHex\"=hex:01,zz\n"         // line 7
      "\"BadEscape\"=\"C:\\Data\"\n"   // line 8
      "NoQuotes=dword:00000001\n"      // line 9
      "\"Word\"=hex(4):01,02\n"        // line 10
      "[HKEY_LOCAL_MACHINE\\Broken\n"  // line 11
      "\"Later\"=\"not read\"\n",      // line 12: no key after a broken one
      "/etc/qv/registry.reg");
  const int expected_lines[] = {2, 5, 6, 7, 8, 9, 10, 11, 12};
  ASSERT_EQ(loaded.warnings.size(), std::size(expected_lines));
  for (size_t i = 0; i < loaded.warnings.size(); ++i) {
    std::string prefix = "/etc/qv/registry.reg:" + std::to_string(expected_lines[i]) + ": ";
    EXPECT_EQ(loaded.warnings[i].rfind(prefix, 0), 0u) << loaded.warnings[i];
    EXPECT_NE(loaded.warnings[i].find("skipped"), std::string::npos);
  }
  EXPECT_EQ(loaded.registry.GetValue(kTolvane, "Good"), ado::Variant(int32_t{3}));
  EXPECT_FALSE(loaded.registry.GetValue(kTolvane, "TooLong").has_value());
  EXPECT_FALSE(loaded.registry.GetValue(kTolvane, "Later").has_value());
}

TEST(RegistryFile, ContinuedLinesReportTheirFirstLine) {
  Loaded loaded = ParseText(
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\n"
      "\"Bad\"=hex:01,\\\n"
      "  0x\n"
      "\"Next\"=dword:00000001\n");
  ASSERT_EQ(loaded.warnings.size(), 1u);
  EXPECT_EQ(loaded.warnings[0].rfind("test.reg:3: ", 0), 0u) << loaded.warnings[0];
  EXPECT_TRUE(loaded.registry.GetValue(kTolvane, "Next").has_value());
}

TEST(RegistryFile, RemovalLinesDeleteKeysAndValues) {
  Loaded loaded = ParseText(
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\n"
      "\"Keep\"=dword:00000001\n"
      "\"Drop\"=dword:00000002\n"
      "\"Drop\"=-\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane\\Old]\n"
      "\"X\"=dword:00000001\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane\\Old]\n");
  EXPECT_TRUE(loaded.warnings.empty());
  EXPECT_TRUE(loaded.registry.GetValue(kTolvane, "Keep").has_value());
  EXPECT_FALSE(loaded.registry.GetValue(kTolvane, "Drop").has_value());
  EXPECT_FALSE(loaded.registry.KeyExists(std::string(kTolvane) + "\\Old"));
  EXPECT_TRUE(loaded.registry.KeyExists(kTolvane));
}

TEST(RegistryFile, ReadsUtf16FilesAndRegedit4Files) {
  std::string utf8 =
      "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\r\n"
      "\"Name\"=\"Grüße €\"\r\n";
  std::string utf16("\xFF\xFE", 2);
  for (char c : std::string("Windows Registry Editor Version 5.00\r\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\r\n\"Name\"=\"Gr")) {
    utf16 += c;
    utf16 += '\0';
  }
  utf16 += std::string("\xFC\0\xDF\0e\0 \0\xAC\x20\"\0\r\0\n\0", 16);
  Loaded wide = ParseText(utf16);
  EXPECT_TRUE(wide.warnings.empty());
  EXPECT_EQ(wide.registry.GetValue(kTolvane, "Name"), ado::Variant("Grüße €"));

  // REGEDIT4 files are Windows-1252, and their hex(2) texts single-byte.
  Loaded old = ParseText(
      "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\r\n\"Name\"=\"Gr\xFC\xDF"
      "e\"\r\n\"Expand\"=hex(2):25,54,4d,50,25,00\r\n");
  EXPECT_TRUE(old.warnings.empty());
  EXPECT_EQ(old.registry.GetValue(kTolvane, "Name"), ado::Variant("Grüße"));
  EXPECT_EQ(old.registry.GetValue(kTolvane, "Expand"), ado::Variant("%TMP%"));
}

TEST(RegistryFile, FileWithoutHeaderIsEmptyWithAWarning) {
  Loaded loaded = ParseText("\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\n\"A\"=dword:00000001\n");
  EXPECT_TRUE(loaded.registry.Empty());
  ASSERT_EQ(loaded.warnings.size(), 1u);
  EXPECT_EQ(loaded.warnings[0].rfind("test.reg:2: ", 0), 0u) << loaded.warnings[0];
}

TEST(RegistryFile, MissingFileIsAnEmptyRegistry) {
  qv::test::TestFolder folder;
  std::vector<std::string> warnings;
  RegistryFile registry = RegistryFile::Load(folder.Path() / "none.reg",
                                             [&](const std::string& w) { warnings.push_back(w); });
  EXPECT_TRUE(registry.Empty());
  EXPECT_TRUE(warnings.empty());
  EXPECT_FALSE(registry.KeyExists(kTolvane));
}

TEST(RegistryFile, LoadsFromDiskAndNamesThePathInWarnings) {
  qv::test::TestFolder folder;
  auto path = folder.Write("registry.reg",
                           "Windows Registry Editor Version 5.00\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\n"
                           "\"EventLogLevel\"=dword:00000006\n"
                           "garbage\n");
  std::vector<std::string> warnings;
  RegistryFile registry =
      RegistryFile::Load(path, [&](const std::string& w) { warnings.push_back(w); });
  EXPECT_EQ(registry.GetValue(kTolvane, "EventLogLevel"), ado::Variant(int32_t{6}));
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].rfind(path.string() + ":4: ", 0), 0u) << warnings[0];
}

TEST(RegistryFile, DefaultPathPrefersTheEnvironment) {
  const char* saved = std::getenv(kRegistryPathVariable);
  std::string saved_value = saved ? saved : "";

  ::unsetenv(kRegistryPathVariable);
  EXPECT_EQ(RegistryFile::DefaultPath("/opt/qv"), std::filesystem::path("/opt/qv/registry.reg"));
  ::setenv(kRegistryPathVariable, "", 1);
  EXPECT_EQ(RegistryFile::DefaultPath("/opt/qv"), std::filesystem::path("/opt/qv/registry.reg"));
  ::setenv(kRegistryPathVariable, "/etc/qv.reg", 1);
  EXPECT_EQ(RegistryFile::DefaultPath("/opt/qv"), std::filesystem::path("/etc/qv.reg"));

  if (saved) {
    ::setenv(kRegistryPathVariable, saved_value.c_str(), 1);
  } else {
    ::unsetenv(kRegistryPathVariable);
  }
}

}  // namespace
}  // namespace qv::platform

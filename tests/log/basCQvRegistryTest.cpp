#include "util/basCQvRegistry.h"

#include <gtest/gtest.h>

#include "support/ProgramHome.h"
#include "util/basErrorHandling.h"

namespace qv {
namespace {

TEST(basCQvRegistry, ReadRegistryValueByKind) {
  test::ProgramHome home(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]\r\n"
      "\"ProgramFilesDir\"=\"/opt/programs\"\r\n"
      "\"Count\"=dword:0000002a\r\n"
      "\"Blob\"=hex:01,02,03\r\n"
      "\"Many\"=hex(7):61,00,00,00,00,00\r\n"
      "\"Expand\"=hex(2):25,00,58,00,25,00,00,00\r\n");
  const std::string key = "SOFTWARE\\Microsoft\\Windows";
  const ado::Variant text =
      ReadRegistryValue(kHKeyLocalMachine, key, "CurrentVersion", "ProgramFilesDir");
  ASSERT_TRUE(text.IsString());
  EXPECT_EQ(text.AsString(), "/opt/programs");
  EXPECT_EQ(ReadRegistryValue(kHKeyLocalMachine, key, "CurrentVersion", "Expand").AsString(),
            "%X%");
  const ado::Variant number = ReadRegistryValue(kHKeyLocalMachine, key, "CurrentVersion", "count");
  ASSERT_EQ(number.Type(), ado::VarType::kI4);
  EXPECT_EQ(number.AsInt64(), 42);
  EXPECT_EQ(ReadRegistryValue(kHKeyLocalMachine, key, "CurrentVersion", "Blob").AsString(),
            "<Binary Data>");
  EXPECT_TRUE(ReadRegistryValue(kHKeyLocalMachine, key, "CurrentVersion", "Many").IsEmpty());
  EXPECT_TRUE(ReadRegistryValue(kHKeyLocalMachine, key, "CurrentVersion", "Missing").IsEmpty());
  EXPECT_TRUE(ReadRegistryValue(kHKeyLocalMachine, key, "Elsewhere", "Count").IsEmpty());
  EXPECT_TRUE(ReadRegistryValue(kHKeyCurrentUser, key, "CurrentVersion", "Count").IsEmpty());
}

TEST(basCQvRegistry, AMissingRegistryFileReadsEmpty) {
  test::ProgramHome home;
  EXPECT_TRUE(
      ReadRegistryValue(kHKeyLocalMachine, "SOFTWARE", "Tolvane", "EventLogLevel").IsEmpty());
}

TEST(basErrorHandling, RaiseProgramErrorAddsTheBaseAndFillsTheText) {
  test::ProgramHome home;
  try {
    RaiseProgramError(kErrPathNotFound9005, "orbPathNotFoundError3", "src", {"/data/out"}, "help",
                      3);
    FAIL() << "nothing raised";
  } catch (const core::Error& e) {
    EXPECT_EQ(e.number(), -2147212499);
    EXPECT_EQ(e.record().source, "src");
    EXPECT_EQ(e.record().description, "The folder '/data/out' was not found.");
    EXPECT_EQ(e.record().help_file, "help");
    EXPECT_EQ(e.record().help_context, 3);
  }
  try {
    RaiseProgramError(-2147483000, "orbPathNotFoundError3", "", {});
    FAIL() << "nothing raised";
  } catch (const core::Error& e) {
    EXPECT_EQ(e.number(), core::kErrOverflow);
  }
}

TEST(basErrorHandling, FormatResourceTextKeepsPrefixAndUnfilledPlaceholders) {
  test::ProgramHome home;
  EXPECT_EQ(FormatResourceText("WARNING_TYPE_ID", "Type: "), "Type: Warning");
  EXPECT_EQ(FormatResourceText("orbCopyingFileError", "> ", {"/a", "/b"}),
            "> The file '/a' could not be copied to '/b': %3");
  EXPECT_EQ(FormatResourceText("noSuchText", ""), "noSuchText");
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

TEST(QvSharedRegistry, ValuesOtherThanTheBiasComeFromTheRegistryFile) {
  test::ProgramHome home(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\r\n\"EventLogLevel\"=dword:00000006\r\n"
      "\"Name\"=\"Tolvane\"\r\n\"Blob\"=hex:01\r\n");
  QvSharedRegistry& registry = QvSharedRegistry::Instance();
  EXPECT_EQ(
      registry.ReadValue(kHKeyLocalMachine, "SOFTWARE\\", "Tolvane", "EventLogLevel").ToLong(), 6);
  EXPECT_EQ(registry.ReadValue(kHKeyLocalMachine, "software", "tolvane", "name").ToText(),
            "Tolvane");
  EXPECT_TRUE(registry.ReadValue(kHKeyLocalMachine, "SOFTWARE", "Tolvane", "Blob").IsEmpty());
  EXPECT_TRUE(registry.ReadValue(kHKeyCurrentUser, "SOFTWARE", "Tolvane", "Name").IsEmpty());
}

}  // namespace
}  // namespace qv

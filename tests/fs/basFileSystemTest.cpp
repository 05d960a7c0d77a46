#include "fs/basFileSystem.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/TestFolder.h"

namespace qv {
namespace {

using test::ReadBytes;
using test::TestFolder;
using test::WriteBytes;

const std::string kBomAs1252 = "\xC3\xAF\xC2\xBB\xC2\xBF";  // "ï»¿"

std::string AsText(const ado::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(basFileSystem, GetFSOTxtFileFormatMapsTheCallersCodes) {
  EXPECT_EQ(GetFSOTxtFileFormat(0), 0);
  EXPECT_EQ(GetFSOTxtFileFormat(1), -1);
  EXPECT_EQ(GetFSOTxtFileFormat(2), -2);
  EXPECT_EQ(GetFSOTxtFileFormat(3), 0);
  EXPECT_EQ(GetFSOTxtFileFormat(-1), 0);
}

TEST(basFileSystem, GetBodyFromTextFileStopsAtTheFirstNul) {
  TestFolder folder;
  WriteBytes(folder.File("nul.txt"), std::string("abc\0def", 7));
  EXPECT_EQ(GetBodyFromTextFile(folder.File("nul.txt"), 0), "abc");
  WriteBytes(folder.File("nul16.txt"), std::string("\xFF\xFE"
                                                   "a\0b\0\0\0c\0",
                                                   10));
  EXPECT_EQ(GetBodyFromTextFile(folder.File("nul16.txt"), 1), "ab");
}

TEST(basFileSystem, GetBodyFromTextFileDecodesEachFormat) {
  TestFolder folder;
  WriteBytes(folder.File("ansi.txt"), "caf\xE9 \x80\r\n");
  EXPECT_EQ(GetBodyFromTextFile(folder.File("ansi.txt"), 0), "café €\r\n");
  EXPECT_EQ(GetBodyFromTextFile(folder.File("ansi.txt"), 2), "café €\r\n");
  // A UTF-8 file read as single-byte text shows its byte order mark as three characters.
  WriteBytes(folder.File("utf8.txt"), "\xEF\xBB\xBFok");
  EXPECT_EQ(GetBodyFromTextFile(folder.File("utf8.txt"), 0), kBomAs1252 + "ok");
  WriteBytes(folder.File("wide.txt"), std::string("\xFF\xFE\xE5\x65\x2C\x67", 6));
  EXPECT_EQ(GetBodyFromTextFile(folder.File("wide.txt"), 1), "日本");
}

TEST(basFileSystem, GetBodyFromTextFileOfAMissingFileOrAFolderIsEmpty) {
  TestFolder folder;
  EXPECT_EQ(GetBodyFromTextFile(folder.File("missing.txt"), 0), "");
  EXPECT_FALSE(std::filesystem::exists(folder.File("missing.txt")));
  EXPECT_EQ(GetBodyFromTextFile(folder.Path().string(), 1), "");
}

TEST(basFileSystem, WriteBodyToTextFileWritesEachFormatAndReplacesContent) {
  TestFolder folder;
  const std::string file = folder.File("out.txt");
  WriteBytes(file, "a much longer old content that must not survive");
  WriteBodyToTextFile(file, "café €", 0);
  EXPECT_EQ(ReadBytes(file), "caf\xE9 \x80");
  WriteBodyToTextFile(file, "é", 1);
  EXPECT_EQ(ReadBytes(file), std::string("\xFF\xFE\xE9\x00", 4));
  EXPECT_EQ(GetBodyFromTextFile(file, 1), "é");
  WriteBodyToTextFile(file, "x\r\n", 2);
  EXPECT_EQ(ReadBytes(file), "x\r\n");
}

TEST(basFileSystem, WriteBodyToTextFileFallsBackToUtf8WhenSingleByteCannotHoldTheBody) {
  TestFolder folder;
  const std::string file = folder.File("out.txt");
  WriteBodyToTextFile(file, "Zoë 日本", 0);
  EXPECT_EQ(ReadBytes(file), "Zoë 日本");  // UTF-8, no byte order mark
}

TEST(basFileSystem, WriteUTF8TextFileStripsBlanksAndOneMisreadByteOrderMark) {
  TestFolder folder;
  const std::string file = folder.File("out.xml");
  EXPECT_TRUE(WriteUTF8TextFile(file, "  " + kBomAs1252 + "<x/>  "));
  EXPECT_EQ(ReadBytes(file), "<x/>");
  EXPECT_TRUE(WriteUTF8TextFile(file, kBomAs1252 + kBomAs1252 + "<y/>"));
  EXPECT_EQ(ReadBytes(file), kBomAs1252 + "<y/>");
  EXPECT_TRUE(WriteUTF8TextFile(file, "\xC3\x8F\xC2\xBB\xC2\xBFz"));  // "Ï»¿": case ignored
  EXPECT_EQ(ReadBytes(file), "z");
  EXPECT_TRUE(WriteUTF8TextFile(file, ""));
  EXPECT_EQ(ReadBytes(file), "");
}

TEST(basFileSystem, WriteUTF8TextFileReportsAFailedWriteAsFalse) {
  TestFolder folder;
  EXPECT_FALSE(WriteUTF8TextFile(folder.Path().string(), "body"));
  EXPECT_TRUE(std::filesystem::is_directory(folder.Path()));
  EXPECT_FALSE(WriteUTF8TextFile(folder.File("no/such/folder/f.txt"), "body"));
}

TEST(basFileSystem, UnicodeToMultiByteConvertsToEachCodePage) {
  for (int32_t code_page : {65001, 1252, 0, 1200, 437}) {
    EXPECT_TRUE(UnicodeToMultiByte("", code_page).empty()) << code_page;
  }
  EXPECT_EQ(AsText(UnicodeToMultiByte("é€", 65001)), "\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(AsText(UnicodeToMultiByte("é€", 1252)), "\xE9\x80");
  EXPECT_EQ(AsText(UnicodeToMultiByte("a日", 1252)), "a?");
  EXPECT_EQ(AsText(UnicodeToMultiByte("é€", 1200)), std::string("\xE9\x00\xAC\x20", 4));
  // A code page without a conversion gives the UTF-16LE bytes.
  EXPECT_EQ(AsText(UnicodeToMultiByte("é", 437)), std::string("\xE9\x00", 2));
}

}  // namespace
}  // namespace qv

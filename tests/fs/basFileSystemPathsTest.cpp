#include "fs/basFileSystemPaths.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/ProgramHome.h"
#include "support/TestFolder.h"
#include "util/basErrorHandling.h"

namespace qv {
namespace {

using test::ReadBytes;
using test::WriteBytes;

TEST(basFileSystemPaths, ConcatenatePathTrimsAndWritesBack) {
  std::string first = "/out//";
  std::string second = "//file.xml";
  EXPECT_EQ(ConcatenatePath(first, second), "/out/file.xml");
  EXPECT_EQ(first, "/out");
  EXPECT_EQ(second, "file.xml");

  EXPECT_EQ(ConcatenatePath(std::string(), std::string("b")), "/b");
  EXPECT_EQ(ConcatenatePath(std::string("/a"), std::string()), "/a/");
  EXPECT_EQ(ConcatenatePath(std::string("/a/"), std::string("b/c")), "/a/b/c");
}

class CopyFileFSOTest : public ::testing::Test {
 protected:
  test::ProgramHome home_;
  test::TestFolder folder_;
};

TEST_F(CopyFileFSOTest, CopiesIntoNewFolderAndReplacesExistingDestination) {
  const std::string source = folder_.File("src.xml");
  WriteBytes(source, "new content");
  const std::string fresh = folder_.File("a/b/copy.xml");
  EXPECT_TRUE(CopyFileFSO(source, fresh));
  EXPECT_EQ(ReadBytes(fresh), "new content");

  const std::string existing = folder_.File("existing.xml");
  WriteBytes(existing, "old content that is longer");
  EXPECT_TRUE(CopyFileFSO(source, existing));
  EXPECT_EQ(ReadBytes(existing), "new content");
  // No temporary file is left beside the destination.
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder_.Path())) {
    ++entries;
  }
  EXPECT_EQ(entries, 3u);  // src.xml, a, existing.xml
}

TEST_F(CopyFileFSOTest, OntoItselfCopiesNothingAndKeepsTheFile) {
  const std::string source = folder_.File("same.xml");
  WriteBytes(source, "keep me");
  EXPECT_FALSE(CopyFileFSO(source, source));
  EXPECT_FALSE(CopyFileFSO(source, folder_.File("./same.xml")));
  // A hard link is the same file under another name.
  std::filesystem::create_hard_link(source, folder_.File("link.xml"));
  EXPECT_FALSE(CopyFileFSO(source, folder_.File("link.xml")));
  EXPECT_EQ(ReadBytes(source), "keep me");
}

TEST_F(CopyFileFSOTest, NamesDifferingOnlyInCaseAreDifferentFiles) {
  const std::string source = folder_.File("Data.xml");
  WriteBytes(source, "payload");
  EXPECT_TRUE(CopyFileFSO(source, folder_.File("data.xml")));
  EXPECT_EQ(ReadBytes(folder_.File("data.xml")), "payload");
  EXPECT_EQ(ReadBytes(source), "payload");
}

TEST_F(CopyFileFSOTest, WildcardsCopyEveryMatchIntoTheDestinationFolder) {
  WriteBytes(folder_.File("a1.xml"), "1");
  WriteBytes(folder_.File("a2.xml"), "2");
  WriteBytes(folder_.File("b1.txt"), "3");
  const std::string target = folder_.File("out");
  EXPECT_TRUE(CopyFileFSO(folder_.File("a?.xml"), target));
  EXPECT_EQ(ReadBytes(folder_.File("out/a1.xml")), "1");
  EXPECT_EQ(ReadBytes(folder_.File("out/a2.xml")), "2");
  EXPECT_FALSE(std::filesystem::exists(folder_.File("out/b1.txt")));

  EXPECT_TRUE(CopyFileFSO(folder_.File("*.txt"), target));
  EXPECT_EQ(ReadBytes(folder_.File("out/b1.txt")), "3");
  EXPECT_FALSE(CopyFileFSO(folder_.File("*.csv"), target));
}

TEST_F(CopyFileFSOTest, AnExistingFileWithAWildcardCharacterIsCopiedAsItself) {
  const std::string odd = folder_.File("what?.xml");
  WriteBytes(odd, "odd");
  WriteBytes(folder_.File("whatX.xml"), "other");
  EXPECT_TRUE(CopyFileFSO(odd, folder_.File("copy.xml")));
  EXPECT_EQ(ReadBytes(folder_.File("copy.xml")), "odd");
}

TEST_F(CopyFileFSOTest, SpecialNamesAreCopiedAsGiven) {
  for (const std::string name : {"with space.xml", "quote'\"s.xml", "-dash.xml",
                                 "\xC3\xBC"
                                 "ber \xE2\x82\xAC.xml",
                                 "semi;colon $HOME.xml"}) {
    const std::string source = folder_.File(name);
    WriteBytes(source, name);
    const std::string target = folder_.File("copies/" + name);
    EXPECT_TRUE(CopyFileFSO(source, target)) << name;
    EXPECT_EQ(ReadBytes(target), name);
  }
}

TEST_F(CopyFileFSOTest, EmptySourceGivesFalseAndAMissingSourceRaises9013) {
  EXPECT_FALSE(CopyFileFSO("", folder_.File("x.xml")));
  try {
    CopyFileFSO(folder_.File("missing.xml"), folder_.File("x.xml"));
    FAIL() << "no error raised";
  } catch (const core::Error& e) {
    EXPECT_EQ(e.number(), kErrCopyingFile + kObjectErrorBase);
    EXPECT_NE(e.record().description.find("missing.xml"), std::string::npos);
  }
  EXPECT_FALSE(std::filesystem::exists(folder_.File("x.xml")));
}

}  // namespace
}  // namespace qv

#include "shared/QvSharedFileSystem.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "core/Clock.h"
#include "core/Error.h"
#include "support/TestFolder.h"

namespace qv {
namespace {

using test::ReadBytes;
using test::TestFolder;
using test::WriteBytes;

struct Split {
  std::string path, name, ext;
};

Split SplitOf(const std::string& full) {
  Split s{"<unset>", "<unset>", "<unset>"};
  QvSharedFileSystem::SplitFilePath(full, s.path, s.name, s.ext);
  return s;
}

TEST(QvSharedFileSystem, SplitFilePathKeepsTheFolderSeparatorAndTheExtension) {
  Split s = SplitOf("/data/rules.xml");
  EXPECT_EQ(s.path, "/data/");
  EXPECT_EQ(s.name, "rules.xml");
  EXPECT_EQ(s.ext, "xml");

  s = SplitOf("readme");
  EXPECT_EQ(s.path, "");
  EXPECT_EQ(s.name, "readme");
  EXPECT_EQ(s.ext, "<unset>");

  s = SplitOf("/a/");
  EXPECT_EQ(s.path, "/a/");
  EXPECT_EQ(s.name, "");
  EXPECT_EQ(s.ext, "<unset>");

  s = SplitOf("/a.b/c");
  EXPECT_EQ(s.path, "/a.b/");
  EXPECT_EQ(s.name, "c");
  EXPECT_EQ(s.ext, "<unset>");

  s = SplitOf("   ");
  EXPECT_EQ(s.path, "<unset>");
  EXPECT_EQ(s.name, "<unset>");
}

TEST(QvSharedFileSystem, FolderAndFileChecksTellThemApart) {
  TestFolder folder;
  WriteBytes(folder.File("f.txt"), "x");
  EXPECT_TRUE(QvSharedFileSystem::CheckFolderExists(folder.Path().string(), true));
  EXPECT_FALSE(QvSharedFileSystem::CheckFolderExists(folder.File("f.txt"), true));
  EXPECT_TRUE(QvSharedFileSystem::CheckFileExists(folder.File("f.txt"), true));
  EXPECT_FALSE(QvSharedFileSystem::CheckFileExists(folder.Path().string(), true));
  EXPECT_FALSE(QvSharedFileSystem::CheckFileExists(folder.File("missing"), true));
  EXPECT_FALSE(QvSharedFileSystem::CheckFileExists("", true));
}

TEST(QvSharedFileSystem, CreateFolderMakesEveryLevel) {
  TestFolder folder;
  const std::string deep = folder.File("a/b/c");
  EXPECT_TRUE(QvSharedFileSystem::CreateFolder(deep));
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  EXPECT_TRUE(QvSharedFileSystem::CreateFolder(deep));  // already there
  WriteBytes(folder.File("file"), "x");
  EXPECT_FALSE(QvSharedFileSystem::CreateFolder(folder.File("file/sub")));
}

TEST(QvSharedFileSystem, BackupFileChoosesAFreshNameBesideTheFile) {
  TestFolder folder;
  const std::string file = folder.File("rules.xml");
  WriteBytes(file, "old content");
  core::SetProcessClock(std::make_shared<core::FixedClock>(core::LocalTime{2024, 3, 5, 14, 2, 9}));
  struct RestoreClock {
    ~RestoreClock() { core::SetProcessClock(nullptr); }
  } restore_clock;
  std::set<std::string> names;
  for (int i = 0; i < 3; ++i) {
    std::string backup;
    ASSERT_TRUE(QvSharedFileSystem::BackupFile(file, backup));
    EXPECT_EQ(std::filesystem::path(backup).parent_path(), folder.Path());
    EXPECT_EQ(std::filesystem::path(backup).extension(), ".xml");
    EXPECT_EQ(std::filesystem::path(backup).filename().string().rfind("rules_", 0), 0u);
    EXPECT_EQ(ReadBytes(backup), "old content");
    names.insert(backup);
  }
  EXPECT_EQ(names.size(), 3u);  // backups within one second do not overwrite each other
  EXPECT_TRUE(names.contains(folder.File("rules_20240305_140209.xml")));
  EXPECT_EQ(ReadBytes(file), "old content");
}

TEST(QvSharedFileSystem, BackupFileOfAMissingFileIsFalseAndAGivenNameIsReplaced) {
  TestFolder folder;
  std::string backup;
  EXPECT_FALSE(QvSharedFileSystem::BackupFile(folder.File("missing"), backup));
  EXPECT_EQ(backup, "");
  WriteBytes(folder.File("a"), "new");
  WriteBytes(folder.File("b"), "stale");
  backup = folder.File("b");
  EXPECT_TRUE(QvSharedFileSystem::BackupFile(folder.File("a"), backup));
  EXPECT_EQ(ReadBytes(folder.File("b")), "new");
}

TEST(QvSharedFileSystem, DeleteFileReportsWhetherAFileWent) {
  TestFolder folder;
  WriteBytes(folder.File("f"), "x");
  EXPECT_TRUE(QvSharedFileSystem::DeleteFile(folder.File("f"), false));
  EXPECT_FALSE(std::filesystem::exists(folder.File("f")));
  EXPECT_FALSE(QvSharedFileSystem::DeleteFile(folder.File("f"), false));
}

TEST(QvSharedFileSystem, GetFilesListsOnlyFilesSortedByName) {
  TestFolder folder;
  WriteBytes(folder.File("b.log"), "");
  WriteBytes(folder.File("a.log"), "");
  std::filesystem::create_directory(folder.File("sub"));
  std::vector<std::string> files{"untouched"};
  EXPECT_FALSE(QvSharedFileSystem::GetFiles(folder.File("none"), files));
  EXPECT_EQ(files, std::vector<std::string>{"untouched"});
  ASSERT_TRUE(QvSharedFileSystem::GetFiles(folder.Path().string(), files));
  EXPECT_EQ(files, (std::vector<std::string>{folder.File("a.log"), folder.File("b.log")}));
}

TEST(QvSharedFileSystem, EscapeFileNameEncodesTheDefaultInvalidCharacters) {
  std::string set;
  std::string found;
  EXPECT_EQ(QvSharedFileSystem::EscapeFileName(" a:b?.xml ", set, found, " "), "a%3Ab%3F.xml");
  EXPECT_EQ(set, "\\ / : * ? \" < > |");
  EXPECT_EQ(QvSharedFileSystem::EscapeFileName("x/y\\z|w", set, found, " "), "x%2Fy%5Cz%7Cw");
  std::string own = "#";
  EXPECT_EQ(QvSharedFileSystem::EscapeFileName("a#b:c", own, found, " "), "a%23b:c");
}

}  // namespace
}  // namespace qv

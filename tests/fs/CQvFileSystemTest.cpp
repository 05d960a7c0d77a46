#include "fs/CQvFileSystem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/ProgramHome.h"
#include "support/TestFolder.h"
#include "util/basErrorHandling.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::WriteBytes;

class CQvFileSystemTest : public ::testing::Test {
 protected:
  test::ProgramHome home_;
  test::TestFolder folder_;
  CQvFileSystem fso_;
};

TEST_F(CQvFileSystemTest, SplitFilePathFillsOnlyWhatTheNameHas) {
  std::string path = "x", name = "x", ext = "x";
  fso_.SplitFilePath("/data/rules.xml", path, name, ext);
  EXPECT_EQ(path, "/data/");
  EXPECT_EQ(name, "rules.xml");
  EXPECT_EQ(ext, "xml");

  path = "keep", name = "keep", ext = "keep";
  fso_.SplitFilePath("readme", path, name, ext);
  EXPECT_EQ(path, "");
  EXPECT_EQ(name, "readme");
  EXPECT_EQ(ext, "keep");

  path = "keep", name = "keep", ext = "keep";
  fso_.SplitFilePath("/a/", path, name, ext);
  EXPECT_EQ(path, "/a/");
  EXPECT_EQ(name, "");
  EXPECT_EQ(ext, "keep");

  path = "keep", name = "keep", ext = "keep";
  fso_.SplitFilePath("/a.b/c", path, name, ext);
  EXPECT_EQ(path, "/a.b/");
  EXPECT_EQ(name, "c");
  EXPECT_EQ(ext, "keep");

  path = "keep", name = "keep", ext = "keep";
  fso_.SplitFilePath("   ", path, name, ext);
  EXPECT_EQ(path + name + ext, "keepkeepkeep");
}

TEST_F(CQvFileSystemTest, PathTextHelpers) {
  EXPECT_EQ(fso_.AddPathToDir(""), "/");
  EXPECT_EQ(fso_.AddPathToDir("/a"), "/a/");
  EXPECT_EQ(fso_.AddPathToDir("/a/"), "/a/");
  EXPECT_EQ(fso_.GetFileName("/a/b/c.txt"), "c.txt");
  EXPECT_EQ(fso_.GetFileName("c.txt"), "c.txt");
  EXPECT_TRUE(fso_.IsUNCPath("//srv/share"));
  EXPECT_FALSE(fso_.IsUNCPath("/srv/share"));
  EXPECT_EQ(fso_.GetMachineNameFromUNC("//srv/share/x"), "srv");
  EXPECT_EQ(fso_.GetShareNameFromUNC("//srv/share/x"), "share");
  EXPECT_EQ(fso_.GetMachineNameFromUNC("/data"), "");
  EXPECT_EQ(fso_.GetShareNameFromUNC("//srv"), "");
  EXPECT_EQ(fso_.GetMappedNetDrive("X:"), "");
}

TEST_F(CQvFileSystemTest, CheckFolderExistsRaises9005OnlyWhenNotSilent) {
  const std::string missing = folder_.File("nope");
  EXPECT_FALSE(fso_.CheckFolderExists(missing, true));
  try {
    fso_.CheckFolderExists(missing);
    FAIL() << "no error raised";
  } catch (const core::Error& e) {
    EXPECT_EQ(e.number(), -2147212499);
    EXPECT_NE(e.record().description.find(missing), std::string::npos);
  }
  EXPECT_TRUE(fso_.CheckFolderExists(folder_.Path().string()));
}

TEST_F(CQvFileSystemTest, CheckFileExistsNeverRaisesForAMissingFile) {
  EXPECT_FALSE(fso_.CheckFileExists(folder_.File("missing.txt")));
  EXPECT_FALSE(fso_.CheckFileExists(folder_.Path().string()));  // a folder is not a file
  WriteBytes(folder_.File("there.txt"), "x");
  EXPECT_TRUE(fso_.CheckFileExists(folder_.File("there.txt")));
}

TEST_F(CQvFileSystemTest, CreateFolderMakesEveryLevelAndRefusesTheRoot) {
  const std::string deep = folder_.File("x/y/z");
  EXPECT_TRUE(fso_.CreateFolder(deep));
  EXPECT_TRUE(fs::is_directory(deep));
  EXPECT_TRUE(fso_.CreateFolder(deep + "/"));  // already there
  EXPECT_FALSE(fso_.CreateFolder("/"));
  EXPECT_FALSE(fso_.CreateFolder(""));
  // A level blocked by a file: the folder cannot exist, so the answer is false.
  WriteBytes(folder_.File("file"), "x");
  EXPECT_FALSE(fso_.CreateFolder(folder_.File("file/sub")));
}

TEST_F(CQvFileSystemTest, IsValidFileNameAndEscapeFileName) {
  std::string set;
  std::string found;
  EXPECT_FALSE(fso_.IsValidFileName("my file.txt", set, found, ""));
  EXPECT_EQ(found, " ");
  EXPECT_EQ(set, "\\ / : * ? \" < > |");
  EXPECT_TRUE(fso_.IsValidFileName("my file.txt", " "));
  EXPECT_FALSE(fso_.IsValidFileName("a:b", " "));

  EXPECT_EQ(fso_.EscapeFileName("a:b?.xml"), "a%3Ab%3F.xml");
  EXPECT_EQ(fso_.EscapeFileName("  x/y  "), "x%2Fy");
}

TEST_F(CQvFileSystemTest, BackupFileGoesToTheBackupFolderWithADatedName) {
  std::string missing = folder_.File("missing.xml");
  std::string unused;
  EXPECT_FALSE(fso_.BackupFile(missing, unused));
  EXPECT_FALSE(fs::exists(folder_.File("Backup")));

  std::string file = folder_.File("data.xml");
  WriteBytes(file, "rows");
  std::string backup;
  CQvEventLogger::SetClock(
      std::make_shared<core::FixedClock>(core::LocalTime{2024, 3, 5, 14, 2, 9}));
  ASSERT_TRUE(fso_.BackupFile(file, backup));
  EXPECT_EQ(backup, folder_.File("Backup/data.xml_2024-03-05_14.02.09.bak"));
  EXPECT_EQ(ReadBytes(backup), "rows");

  std::string chosen = folder_.File("elsewhere/mine.bak");
  ASSERT_TRUE(fso_.BackupFile(file, chosen));
  EXPECT_EQ(chosen, folder_.File("elsewhere/mine.bak"));
  EXPECT_EQ(ReadBytes(chosen), "rows");
}

TEST_F(CQvFileSystemTest, BackupFolderCopiesTheTreeToASibling) {
  WriteBytes(folder_.File("out/a.txt"), "");
  fs::create_directories(folder_.File("out/sub"));
  WriteBytes(folder_.File("out/sub/b.txt"), "b");
  std::string backup;
  ASSERT_TRUE(fso_.BackupFolder(folder_.File("out/"), backup));
  EXPECT_EQ(backup.rfind(folder_.File("out_"), 0), 0u) << backup;
  EXPECT_EQ(ReadBytes(backup + "/sub/b.txt"), "b");
}

TEST_F(CQvFileSystemTest, AreFilesTheSameInBothModes) {
  WriteBytes(folder_.File("a"), "abcdef");
  WriteBytes(folder_.File("b"), "abcdeX");
  WriteBytes(folder_.File("c"), "abcdef");
  WriteBytes(folder_.File("short"), "abc");
  WriteBytes(folder_.File("e1"), "");
  WriteBytes(folder_.File("e2"), "");
  EXPECT_TRUE(fso_.AreFilesTheSame(folder_.File("a"), folder_.File("b")));
  EXPECT_FALSE(fso_.AreFilesTheSame(folder_.File("a"), folder_.File("b"), true));
  EXPECT_TRUE(fso_.AreFilesTheSame(folder_.File("a"), folder_.File("c"), true));
  EXPECT_FALSE(fso_.AreFilesTheSame(folder_.File("a"), folder_.File("short")));
  EXPECT_TRUE(fso_.AreFilesTheSame(folder_.File("e1"), folder_.File("e2")));
  EXPECT_TRUE(fso_.AreFilesTheSame(folder_.File("e1"), folder_.File("e2"), true));
  EXPECT_FALSE(fso_.AreFilesTheSame(folder_.File("a"), folder_.File("missing"), true));
  EXPECT_FALSE(fso_.AreFilesTheSame(folder_.Path().string(), folder_.Path().string()));

  // A difference beyond the first block is still found.
  std::string big(3 * 1024 * 1024 + 17, 'q');
  WriteBytes(folder_.File("big1"), big);
  big[big.size() - 1] = 'r';
  WriteBytes(folder_.File("big2"), big);
  EXPECT_FALSE(fso_.AreFilesTheSame(folder_.File("big1"), folder_.File("big2"), true));
}

TEST_F(CQvFileSystemTest, DeleteFolderRemovesEverythingAndAnswersTrueText) {
  fs::create_directories(folder_.File("gone/sub"));
  WriteBytes(folder_.File("gone/sub/f.txt"), "x");
  fs::permissions(folder_.File("gone/sub/f.txt"), fs::perms::owner_read);
  fs::permissions(folder_.File("gone/sub"), fs::perms::owner_read | fs::perms::owner_exec);
  std::string folder = folder_.File("gone/");
  EXPECT_EQ(fso_.DeleteFolder(folder), "True");
  EXPECT_EQ(folder, folder_.File("gone"));
  EXPECT_FALSE(fs::exists(folder_.File("gone")));
  EXPECT_EQ(fso_.DeleteFolder(folder_.File("never")), "True");
  EXPECT_THROW(fso_.DeleteFolder(std::string("/")), core::Error);
}

TEST_F(CQvFileSystemTest, DeleteFileRemovesFilesOnly) {
  EXPECT_FALSE(fso_.DeleteFile(""));
  WriteBytes(folder_.File("-f x.txt"), "x");
  EXPECT_TRUE(fso_.DeleteFile(folder_.File("-f x.txt")));
  EXPECT_FALSE(fs::exists(folder_.File("-f x.txt")));
  EXPECT_FALSE(fso_.DeleteFile(folder_.File("-f x.txt")));
  fs::create_directories(folder_.File("dir"));
  EXPECT_FALSE(fso_.DeleteFile(folder_.File("dir")));
  EXPECT_TRUE(fs::exists(folder_.File("dir")));
}

TEST_F(CQvFileSystemTest, RenameMovesButNeverReplaces) {
  WriteBytes(folder_.File("old name.txt"), "1");
  EXPECT_TRUE(fso_.Rename(folder_.File("old name.txt"), folder_.File("n\xC3\xA9w.txt")));
  EXPECT_EQ(ReadBytes(folder_.File("n\xC3\xA9w.txt")), "1");
  WriteBytes(folder_.File("other.txt"), "2");
  EXPECT_THROW(fso_.Rename(folder_.File("other.txt"), folder_.File("n\xC3\xA9w.txt")), core::Error);
  EXPECT_EQ(ReadBytes(folder_.File("n\xC3\xA9w.txt")), "1");
  EXPECT_FALSE(fso_.Rename("", folder_.File("x")));

  WriteBytes(folder_.File("ro.txt"), "r");
  ::chmod(folder_.File("ro.txt").c_str(), 0444);
  try {
    fso_.Rename(folder_.File("ro.txt"), folder_.File("ro2.txt"));
    FAIL() << "no error raised";
  } catch (const core::Error& e) {
    EXPECT_EQ(e.number(), kErrFileReadOnly + kObjectErrorBase);
  }
}

TEST_F(CQvFileSystemTest, IsSamePathByTextAndByDisk) {
  EXPECT_TRUE(fso_.IsSamePath("/nowhere/Data", "/nowhere/data/"));
  EXPECT_FALSE(fso_.IsSamePath("", "/a"));
  EXPECT_TRUE(fso_.IsSamePath("//srv/share/a", "//SRV/Share/A"));
  EXPECT_FALSE(fso_.IsSamePath("/nowhere/a", "/nowhere/b"));

  WriteBytes(folder_.File("f.txt"), "x");
  fs::create_symlink(folder_.File("f.txt"), folder_.File("link.txt"));
  EXPECT_TRUE(fso_.IsSamePath(folder_.File("f.txt"), folder_.File("link.txt")));
  EXPECT_TRUE(fso_.IsSamePath(folder_.File("f.txt"), folder_.File("./f.txt")));
  EXPECT_FALSE(fso_.IsSamePath(folder_.File("f.txt"), folder_.File("F.TXT")));
}

TEST_F(CQvFileSystemTest, NetworkPathConversions) {
  EXPECT_EQ(fso_.GetLocalPath("//srv/share/f.xml", "/in"), "/in/f.xml");
  EXPECT_EQ(fso_.GetLocalPath("//srv/share/f.xml", ""), "");
  EXPECT_EQ(fso_.GetLocalPath("/local/f.xml", "/in"), "/local/f.xml");
  EXPECT_EQ(fso_.ConvertToUNC("/nowhere/f.xml"), "/nowhere/f.xml");
  EXPECT_EQ(fso_.ConvertToUNC("/nowhere/folder"), "/nowhere/folder/");
  EXPECT_EQ(fso_.ConvertToUNC("//srv/share/x"), "//srv/share/x");
  EXPECT_EQ(fso_.ConvertToUNC("//srv"), "");
  EXPECT_TRUE(fso_.IsSameComputer("//Host1/share", "HOST1"));
}

TEST_F(CQvFileSystemTest, FilesListsAndFreeSpace) {
  WriteBytes(folder_.File("b.txt"), "bb");
  WriteBytes(folder_.File("a.txt"), "a");
  fs::create_directories(folder_.File("sub"));
  std::vector<FsoFile> files;
  ASSERT_TRUE(fso_.GetFiles(folder_.Path().string(), files));
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].Name, "a.txt");
  EXPECT_EQ(files[1].Size, 2u);
  std::vector<FsoFile> untouched(1);
  EXPECT_FALSE(fso_.GetFiles(folder_.File("missing"), untouched));
  EXPECT_EQ(untouched.size(), 1u);

  EXPECT_GT(fso_.GetDiskFreeSpace(folder_.Path().string()), 0.0);
  try {
    fso_.GetDiskFreeSpace(folder_.File("missing/deeper"));
    FAIL() << "no error raised";
  } catch (const core::Error& e) {
    EXPECT_EQ(e.number(), kErrCouldNotGetDiskSpace + kObjectErrorBase);
  }
  EXPECT_FALSE(fso_.IsFileOpen(folder_.File("missing")));
  EXPECT_FALSE(fso_.IsFileOpen(folder_.File("a.txt")));
}

TEST_F(CQvFileSystemTest, SystemFoldersHaveLinuxDefaultsAndRegistryOverrides) {
  EXPECT_EQ(fso_.GetSysDrive(), "/");
  EXPECT_EQ(fso_.GetTolvaneCommonFolder(), "/usr/local/share/Tolvane");
  test::WriteBytes(home_.File("registry.reg"),
                   "Windows Registry Editor Version 5.00\r\n\r\n"
                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]\r\n"
                   "\"CommonFilesDir\"=\"/srv/common/\"\r\n");
  EXPECT_EQ(fso_.GetTolvaneCommonFolder(), "/srv/common/Tolvane");
  EXPECT_EQ(fso_.GetProgramFilesFolder(), "/opt");
}

}  // namespace
}  // namespace qv

#include "core/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include <gtest/gtest.h>

#include "core/File.h"
#include "core/PosixError.h"
#include "support/TestFolder.h"

namespace core {
namespace {

using qv::test::ReadBytes;
using qv::test::TestFolder;

size_t EntriesIn(const std::filesystem::path& folder) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
  return count;
}

TEST(AtomicFile, CommitReplacesTheTargetWholeAndKeepsItsMode) {
  TestFolder folder;
  const std::string target = folder.Write("data.xml", "old").string();
  ::chmod(target.c_str(), 0640);
  {
    AtomicFile file(target, "Test");
    file.KeepModeOfTarget();
    file.Write(std::string(300000, 'x'));
    EXPECT_EQ(ReadBytes(target), "old");  // untouched until Commit
    file.Commit(AtomicFile::Durability::kFlushed);
  }
  EXPECT_EQ(ReadBytes(target), std::string(300000, 'x'));
  struct stat info {};
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(EntriesIn(folder.Path()), 1u);
}

TEST(AtomicFile, AnUncommittedFileLeavesTheTargetAndNoTemporary) {
  TestFolder folder;
  const std::string target = folder.Write("data.xml", "old").string();
  {
    AtomicFile file(target, "Test");
    file.Write("new");
    EXPECT_TRUE(std::filesystem::exists(file.TemporaryPath()));
  }
  EXPECT_EQ(ReadBytes(target), "old");
  EXPECT_EQ(EntriesIn(folder.Path()), 1u);
}

TEST(AtomicFile, FailuresNameTheFileAndTheReason) {
  TestFolder folder;
  try {
    AtomicFile file(folder.File("missing/data.xml"), "Test");
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kErrPathNotFound);
    EXPECT_EQ(e.record().source, "Test");
    EXPECT_NE(e.record().description.find("missing"), std::string::npos);
    EXPECT_NE(e.record().description.find("No such file or directory"), std::string::npos);
  }
  // A target that is a folder: everything is written, the rename fails, nothing is left.
  std::filesystem::create_directory(folder.File("dir"));
  std::filesystem::create_directory(folder.File("dir/inner"));
  AtomicFile file(folder.File("dir"), "Test");
  file.Write("bytes");
  EXPECT_THROW(file.Commit(AtomicFile::Durability::kRenameOnly), Error);
  EXPECT_TRUE(std::filesystem::is_directory(folder.File("dir")));
}

// Neither a link at the target nor another name of the file it replaces is written to;
// a name that must be new is never taken from a file that got it meanwhile.
TEST(AtomicFile, LinksAndOtherNamesOfTheTargetKeepTheirBytes) {
  TestFolder folder;
  const std::string outside = folder.Write("outside.xml", "not ours").string();
  const std::string link = folder.File("link.xml");
  std::filesystem::create_symlink(outside, link);
  const std::string target = folder.Write("data.xml", "old").string();
  const std::string backup = folder.File("backup.xml");
  std::filesystem::create_hard_link(target, backup);
  for (const std::string& name : {link, target}) {
    AtomicFile file(name, "Test");
    file.Write("new");
    if (name == link) {
      EXPECT_THROW(file.Commit(AtomicFile::Durability::kRenameOnly), Error);
    } else {
      EXPECT_THROW(file.CommitNew(AtomicFile::Durability::kRenameOnly), Error);
      file.Commit(AtomicFile::Durability::kRenameOnly);
    }
  }
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadBytes(outside), "not ours");
  EXPECT_EQ(ReadBytes(backup), "old");
  EXPECT_EQ(ReadBytes(target), "new");
  EXPECT_EQ(EntriesIn(folder.Path()), 4u);  // no temporary left
}

TEST(File, ReadsWritesAndReportsAsTheOneErrnoTable) {
  TestFolder folder;
  const std::string path = folder.File("text.txt");
  File out = File::Open(path, O_WRONLY | O_CREAT | O_TRUNC, "Test");
  out.WriteAll(std::string(200000, 'a'));
  out.Close();
  out.Close();  // a closed file ignores a second close
  EXPECT_EQ(File::Open(path, O_RDONLY, "Test").ReadAll(), std::string(200000, 'a'));

  struct Case {
    int errnum;
    FileAccess access;
    int32_t number;
  };
  for (const Case& c : {Case{ENOENT, FileAccess::kExisting, kErrFileNotFound},
                        Case{ENOENT, FileAccess::kCreate, kErrPathNotFound},
                        Case{ENOTDIR, FileAccess::kExisting, kErrPathNotFound},
                        Case{EACCES, FileAccess::kExisting, kErrPermissionDenied},
                        Case{ENOSPC, FileAccess::kCreate, kErrDiskFull},
                        Case{EIO, FileAccess::kExisting, kErrPathFileAccess}}) {
    EXPECT_EQ(ErrorNumberFromErrno(c.errnum, c.access), c.number) << c.errnum;
  }
  try {
    File::Open(folder.File("absent.txt"), O_RDONLY, "Test");
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kErrFileNotFound);
    EXPECT_EQ(e.record().description,
              "Cannot open " + folder.File("absent.txt") + ": No such file or directory");
  }
}

}  // namespace
}  // namespace core

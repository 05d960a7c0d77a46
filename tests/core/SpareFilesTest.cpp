#include "core/SpareFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>

#include "support/TestFolder.h"

namespace core {
namespace {

namespace fs = std::filesystem;
using qv::test::ReadBytes;

ino_t InodeOf(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

std::set<std::string> NamesIn(const fs::path& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// A cleared folder's files are rewritten into new files, whole, longer or shorter than
// they were; once they are used up new files are made. What is left is emptied and
// kept up to the limit, and the next object for the folder rewrites those.
TEST(SpareFiles, RewritesTheFilesTakenAndKeepsTheRestEmptiedForTheNext) {
  qv::test::TestFolder folder;
  const fs::path spare_folder = folder.Path() / ".spare";
  std::set<ino_t> taken;
  for (int i = 0; i < 5; ++i) {
    taken.insert(InodeOf(folder.Write("LastTx/old" + std::to_string(i), std::string(50, 'o'))));
  }
  std::set<ino_t> kept;
  {
    SpareFiles spares(spare_folder.string(), "test", 2);
    ASSERT_TRUE(spares.TakeFolder(folder.File("LastTx")));
    EXPECT_FALSE(fs::exists(folder.Path() / "LastTx"));
    EXPECT_EQ(spares.Count(), 5u);
    spares.Write(folder.File("short.xml"), "abc");
    spares.Write(folder.File("long.xml"), std::string(120, 'n'));
    EXPECT_EQ(ReadBytes(folder.Path() / "short.xml"), "abc");
    EXPECT_EQ(ReadBytes(folder.Path() / "long.xml"), std::string(120, 'n'));
    EXPECT_TRUE(taken.contains(InodeOf(folder.Path() / "short.xml")));
    EXPECT_TRUE(taken.contains(InodeOf(folder.Path() / "long.xml")));
    // A file given back later is a spare too.
    ASSERT_TRUE(spares.Take(folder.Write("Unsent/dropped", "d").string()));
    EXPECT_FALSE(spares.Take(folder.File("Unsent/missing")));
    EXPECT_EQ(spares.Count(), 4u);
  }
  ASSERT_EQ(NamesIn(spare_folder).size(), 2u);
  for (const std::string& name : NamesIn(spare_folder)) {
    EXPECT_EQ(fs::file_size(spare_folder / name), 0u) << name;
    kept.insert(InodeOf(spare_folder / name));
  }
  {
    SpareFiles spares(spare_folder.string(), "test", 0);
    EXPECT_EQ(spares.Count(), 2u);
    for (int i = 0; i < 3; ++i) spares.Write(folder.File("new" + std::to_string(i)), "x");
    EXPECT_TRUE(kept.contains(InodeOf(folder.Path() / "new0")));
    EXPECT_TRUE(kept.contains(InodeOf(folder.Path() / "new1")));
    EXPECT_FALSE(kept.contains(InodeOf(folder.Path() / "new2")));  // made anew
    EXPECT_EQ(ReadBytes(folder.Path() / "new2"), "x");
  }
  EXPECT_FALSE(fs::exists(spare_folder));
  EXPECT_EQ(NamesIn(folder.Path()),
            (std::set<std::string>{"short.xml", "long.xml", "Unsent", "new0", "new1", "new2"}));
}

// With a spare folder already there, a folder's files come one by one and the folder
// stays, empty, for the caller; a link to a folder is not followed.
TEST(SpareFiles, TakesFilesIntoAFolderLeftBeforeAndNotThroughALink) {
  qv::test::TestFolder folder;
  const fs::path spare_folder = folder.Path() / ".spare";
  folder.Write(".spare/left", "from a killed run");
  folder.Write("LastTx/a", "a");
  folder.Write("LastTx/b", "b");
  folder.Write("elsewhere/c", "c");
  fs::create_directory_symlink(folder.Path() / "elsewhere", folder.Path() / "linked");
  SpareFiles spares(spare_folder.string(), "test", 10);
  EXPECT_FALSE(spares.TakeFolder(folder.File("LastTx")));
  EXPECT_TRUE(NamesIn(folder.Path() / "LastTx").empty());
  EXPECT_EQ(spares.Count(), 3u);
  EXPECT_FALSE(spares.TakeFolder(folder.File("linked")));
  EXPECT_EQ(ReadBytes(folder.Path() / "elsewhere" / "c"), "c");
  EXPECT_EQ(spares.Count(), 3u);
}

}  // namespace
}  // namespace core

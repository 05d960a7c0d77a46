#include "export/KeyedRecordFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "core/Error.h"
#include "core/File.h"
#include "support/TestFolder.h"

namespace qv {
namespace {

constexpr std::string_view kMagic = "TestKeys\n";

// Keys of every length from empty to past a block of the reader, many repeated, some
// alike but for a byte, over more records than the index's parts hold in a block.
class KeyedRecordFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (uint32_t i = 0; i < 150000; ++i) {
      std::string key = "{" + std::to_string(i % 120000) + "-GUID}";
      if (i % 9973 == 0) key.assign(70000 + (i % 5), static_cast<char>('a' + (i % 26)));
      if (i == 77) key.clear();
      keys.push_back(key);
      const RowFingerprint print{i * 0x9E3779B97F4A7C15ULL, ~uint64_t{i}};
      prints.push_back(print);
      by_key[key].push_back(i);
    }
    core::File out = core::File::Open(path, O_WRONLY | O_CREAT | O_TRUNC, "test");
    KeyedRecordWriter writer([&](std::string_view bytes) { out.WriteAll(bytes); }, folder.Path(),
                             kMagic);
    for (size_t i = 0; i < keys.size(); ++i) {
      EXPECT_EQ(writer.Add(keys[i], prints[i]), i);
    }
    writer.Finish("the owner's own");
    out.Close();
  }

  std::unique_ptr<KeyedRecordFile> Open(std::string_view magic = kMagic) {
    return KeyedRecordFile::Open(core::File::Open(path, O_RDONLY, "test"), magic);
  }

  test::TestFolder folder;
  std::string path = folder.File("records");
  std::vector<std::string> keys;
  std::vector<RowFingerprint> prints;
  std::map<std::string, std::vector<uint32_t>> by_key;
};

TEST_F(KeyedRecordFileTest, EveryRecordIsFoundInOrderAndByItsKey) {
  const auto file = Open();
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Count(), keys.size());
  EXPECT_EQ(file->KeyCount(), by_key.size());
  EXPECT_EQ(file->Meta(), "the owner's own");

  uint64_t at = KeyedRecordFile::kFirst;
  for (uint32_t i = 0; i < keys.size(); ++i) {
    const KeyedRecordFile::Record record = file->At(at);
    ASSERT_EQ(record.number, i);
    ASSERT_EQ(record.key, keys[i]);
    ASSERT_EQ(record.fingerprint, prints[i]);
    ASSERT_EQ(file->Repeated(i), by_key[keys[i]].size() > 1) << i;
    at = record.next;
  }
  EXPECT_EQ(at, file->RecordsEnd());

  for (const auto& [key, numbers] : by_key) {
    std::vector<uint32_t> found;
    for (const KeyedRecordFile::Record& record : file->Find(key)) {
      EXPECT_EQ(record.key, key);
      EXPECT_EQ(record.fingerprint, prints[record.number]);
      found.push_back(record.number);
    }
    ASSERT_EQ(found, numbers) << key.substr(0, 40);
  }
  EXPECT_TRUE(file->Find("{120000-GUID}").empty());
  EXPECT_TRUE(file->Find("{1-GUID").empty());
}

TEST_F(KeyedRecordFileTest, AFileNotWholeOrOfAnotherKindIsNotTaken) {
  const std::string bytes = test::ReadBytes(path);
  EXPECT_EQ(Open("OtherKeys\n"), nullptr);
  for (const size_t at : {size_t{5}, bytes.size() / 2, bytes.size() - 40, bytes.size() - 1}) {
    std::string damaged = bytes;
    damaged[at] ^= 4;
    test::WriteBytes(path, damaged);
    EXPECT_EQ(Open(), nullptr) << "a byte changed at " << at;
  }
  test::WriteBytes(path, std::string_view(bytes).substr(0, bytes.size() - 100));
  EXPECT_EQ(Open(), nullptr) << "cut short";
  test::WriteBytes(path, "");
  EXPECT_EQ(Open(), nullptr) << "empty";
}

// Scratch files leave no name behind, and never go through a link in the folder's place.
TEST_F(KeyedRecordFileTest, ScratchFilesAreUnnamedAndRefuseALinkedFolder) {
  const auto before = std::distance(std::filesystem::directory_iterator(folder.Path()),
                                    std::filesystem::directory_iterator());
  core::File scratch = ScratchFile(folder.Path().string(), "test");
  scratch.WriteAll("scratch");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()),
                          std::filesystem::directory_iterator()),
            before);
  std::filesystem::create_directory(folder.File("elsewhere"));
  std::filesystem::create_directory_symlink(folder.File("elsewhere"), folder.File("linked"));
  EXPECT_THROW(ScratchFile(folder.File("linked"), "test"), core::Error);
}

}  // namespace
}  // namespace qv

#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace qv::test {

// A fresh folder below the system's temporary folder, made for one test and removed
// with everything in it when the object goes. Throws std::runtime_error when it
// cannot be made.
class TestFolder {
 public:
  TestFolder();
  ~TestFolder();
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // `name` inside the folder, as text.
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  // Writes `bytes` to `name` inside the folder (making its folders) and returns the
  // file's path.
  std::filesystem::path Write(const std::string& name, std::string_view bytes) const;

 private:
  std::filesystem::path path_;
};

// The bytes of a file; empty when it cannot be read.
std::string ReadBytes(const std::filesystem::path& path);
// Replaces the content of a file with `bytes`.
void WriteBytes(const std::filesystem::path& path, std::string_view bytes);

}  // namespace qv::test

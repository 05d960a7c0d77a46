#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Runs the built rsfile binary and gives tests their own folders and sample files.
namespace rsfile_test {

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;

  // The lines of standard error.
  std::vector<std::string> ErrLines() const;
};

// Runs rsfile with the arguments (no shell); standard output and error are captured
// through files in `scratch`.
RunResult RunRsfile(const std::vector<std::string>& args, const std::filesystem::path& scratch);

// A fresh folder under the system's temporary folder, removed with its contents.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // `name` inside the folder, as text.
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  // Runs rsfile with this folder as scratch space.
  RunResult Run(const std::vector<std::string>& args) const { return RunRsfile(args, path_); }

 private:
  std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& text);

// The sample recordset files in tests/data/ado-samples, sorted by name.
std::vector<std::filesystem::path> SampleFiles();
// Samples that are excerpts of a document, not complete files.
bool IsFragmentSample(const std::filesystem::path& path);

}  // namespace rsfile_test

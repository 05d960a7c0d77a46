#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/TestFolder.h"

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

// A test's own temporary folder that also runs rsfile with itself as scratch space.
class TempFolder : public qv::test::TestFolder {
 public:
  RunResult Run(const std::vector<std::string>& args) const { return RunRsfile(args, Path()); }
};

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& text);

// The sample recordset files in tests/data/ado-samples, sorted by name.
std::vector<std::filesystem::path> SampleFiles();
// Samples that are excerpts of a document, not complete files.
bool IsFragmentSample(const std::filesystem::path& path);

}  // namespace rsfile_test

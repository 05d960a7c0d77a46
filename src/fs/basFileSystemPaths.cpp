#include "fs/basFileSystemPaths.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include "core/AtomicFile.h"
#include "core/PosixError.h"
#include "core/Text.h"
#include "fs/CQvFileSystem.h"
#include "shared/ErrorBoundary.h"
#include "shared/EventSink.h"
#include "util/basErrorHandling.h"

namespace qv {
namespace fs = std::filesystem;
namespace {

bool HasWildcard(const std::string& text) { return text.find_first_of("*?") != std::string::npos; }

// "*" any run of characters, "?" one byte-sequence character; everything else exact.
bool MatchesWildcard(std::string_view name, std::string_view pattern) {
  size_t n = 0;
  size_t p = 0;
  size_t star = std::string_view::npos;
  size_t star_n = 0;
  auto char_length = [](std::string_view text, size_t at) {
    return std::min(core::Utf8SequenceLength(static_cast<unsigned char>(text[at])),
                    text.size() - at);
  };
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_n = n;
    } else if (p < pattern.size() && pattern[p] == '?') {
      n += char_length(name, n);
      ++p;
    } else if (p < pattern.size() && pattern[p] == name[n]) {
      ++n;
      ++p;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      star_n += char_length(name, star_n);
      n = star_n;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// Copies through the kernel into a temporary file beside the destination, then renames
// it over the destination: the destination is replaced whole or left as it was.
void CopyOneFile(const std::string& source, const std::string& destination) {
  core::AtomicFile copy(destination, "");
  std::error_code ec;
  fs::copy_file(source, copy.TemporaryPath(), fs::copy_options::overwrite_existing, ec);
  if (!ec) fs::permissions(copy.TemporaryPath(), fs::status(source).permissions(), ec);
  if (ec) throw core::ErrorFromCode(ec, "", source);
  copy.Commit(core::AtomicFile::Durability::kRenameOnly);
}

}  // namespace

std::string ConcatenatePath(std::string& first_path, std::string& second_path) {
  while (!first_path.empty() && first_path.back() == kPathSeparator) first_path.pop_back();
  size_t leading = 0;
  while (leading < second_path.size() && second_path[leading] == kPathSeparator) ++leading;
  second_path.erase(0, leading);
  return first_path + kPathSeparator + second_path;
}

std::string ConcatenatePath(const std::string& first_path, const std::string& second_path) {
  std::string first = first_path;
  std::string second = second_path;
  return ConcatenatePath(first, second);
}

bool CopyFileFSO(const std::string& source, const std::string& destination) {
  int line = 0;
  try {
    line = 1;
    std::error_code ec;
    const bool literal_source = fs::exists(fs::symlink_status(source, ec));
    if (HasWildcard(source) && !literal_source) {
      const fs::path pattern(source);
      const fs::path folder = pattern.parent_path().empty() ? fs::path(".") : pattern.parent_path();
      const std::string name_pattern = pattern.filename().string();
      std::vector<fs::path> matches;
      for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file() &&
            MatchesWildcard(entry.path().filename().string(), name_pattern)) {
          matches.push_back(entry.path());
        }
      }
      if (matches.empty()) return false;
      line = 2;
      fs::create_directories(destination, ec);
      for (const fs::path& match : matches) {
        CopyOneFile(match.string(), ConcatenatePath(destination, match.filename().string()));
      }
      return true;
    }
    line = 3;
    if (source.empty()) return false;
    std::string target = destination;
    if (!target.empty() && (target.back() == kPathSeparator || fs::is_directory(target, ec))) {
      target = ConcatenatePath(target, fs::path(source).filename().string());
    }
    line = 4;
    CQvFileSystem file_system;
    if (file_system.IsSamePath(source, target)) return false;
    line = 5;
    if (!file_system.CheckFileExists(target, true)) {
      std::string folder;
      std::string name;
      std::string ext;
      file_system.SplitFilePath(target, folder, name, ext);
      if (!folder.empty() && !file_system.CheckFolderExists(folder, true)) {
        file_system.CreateFolder(folder);
      }
    }
    line = 6;
    CopyOneFile(source, target);
    return true;
  } catch (...) {
    const core::ErrorRecord error = CurrentErrorRecord();
    TraceEvent("basFileSystem.CopyFileFSO, Source:" + source + " , Destination:" + destination +
                   ", @Line#" + std::to_string(line),
               error, kEventWarning, kLevelExport);
    RaiseProgramError(kErrCopyingFile, "orbCopyingFileError", "",
                      {source, destination, error.description});
  }
}

}  // namespace qv

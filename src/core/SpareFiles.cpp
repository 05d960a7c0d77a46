#include "core/SpareFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/AtomicFile.h"
#include "core/File.h"
#include "core/PosixError.h"

namespace core {
namespace {

// The regular files of `folder`, as full paths.
std::vector<std::string> FilesOf(const std::string& folder) {
  std::vector<std::string> files;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return files;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
    std::string path = folder + "/" + entry->d_name;
    struct stat info {};
    if (entry->d_type == DT_UNKNOWN &&
        (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))) {
      continue;
    }
    files.push_back(std::move(path));
  }
  ::closedir(dir);
  return files;
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

SpareFiles::SpareFiles(std::string folder, std::string source, size_t keep)
    : folder_(std::move(folder)), source_(std::move(source)), keep_(keep) {}

SpareFiles::~SpareFiles() {
  if (!loaded_) return;
  // Emptied, they hold no data and no blocks; removed, the next files made would pay.
  for (size_t i = 0; i < spares_.size(); ++i) {
    if (i >= keep_ || ::truncate(spares_[i].c_str(), 0) != 0) ::unlink(spares_[i].c_str());
  }
  ::rmdir(folder_.c_str());  // only when none is kept
}

void SpareFiles::Load() {
  if (loaded_) return;
  loaded_ = true;
  spares_ = FilesOf(folder_);
}

size_t SpareFiles::Count() {
  Load();
  return spares_.size();
}

bool SpareFiles::TakeFolder(const std::string& folder) {
  // A link is not followed: the files it leads to are not this folder's.
  if (!IsFolder(folder)) return false;
  Load();
  if (!IsFolder(folder_)) {
    // The whole folder in one rename.
    if (::rename(folder.c_str(), folder_.c_str()) != 0) return false;
    spares_ = FilesOf(folder_);
    return true;
  }
  for (const std::string& file : FilesOf(folder)) {
    if (!Take(file)) return false;
  }
  // Anything but files (a folder someone put there) goes as the folder always went.
  return false;
}

bool SpareFiles::Take(const std::string& path) {
  Load();
  if (::mkdir(folder_.c_str(), 0700) != 0 && errno != EEXIST) return false;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string spare = folder_ + "/spare" + std::to_string(next_name_++);
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, spare.c_str(), RENAME_NOREPLACE) == 0) {
      spares_.push_back(std::move(spare));
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

void SpareFiles::Write(const std::string& target, std::string_view bytes) {
  Load();
  while (!spares_.empty()) {
    const std::string spare = std::move(spares_.back());
    spares_.pop_back();
    // Overwritten, then cut to size: a file emptied first would be written out at its
    // close (ext4 does so for files replaced by truncation).
    File file = File::TryOpen(spare, O_WRONLY | O_CLOEXEC | O_NOFOLLOW, source_);
    if (!file.IsOpen()) continue;  // gone, or not ours to write: the next one
    try {
      file.WriteAll(bytes);
      if (::ftruncate(file.Descriptor(), static_cast<off_t>(bytes.size())) != 0) {
        throw ErrorFromErrno(errno, source_, "cannot write " + spare);
      }
      file.Close();
    } catch (const Error&) {
      spares_.push_back(spare);  // emptied with the others
      throw;
    }
    if (::rename(spare.c_str(), target.c_str()) == 0) return;
    // Left where it is (another file system, a folder that went): the next object
    // takes it again.
  }
  AtomicFile file(target, source_);
  file.Write(bytes);
  file.Commit(AtomicFile::Durability::kRenameOnly);
}

}  // namespace core

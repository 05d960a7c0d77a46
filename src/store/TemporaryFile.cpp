#include "store/TemporaryFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "core/PosixError.h"

namespace qv {
namespace {

constexpr char kClass[] = "CQvXMLManip";

std::filesystem::path FolderOf(const std::filesystem::path& target) {
  return target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
}

}  // namespace

TemporaryFile::TemporaryFile(const std::filesystem::path& target) {
  const std::filesystem::path folder = FolderOf(target);
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tmp%08llx",
                  static_cast<unsigned long long>(random() & 0xFFFFFFFFu));
    const std::string candidate = (folder / ("." + target.filename().string() + suffix)).string();
    fd_ = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      path_ = candidate;
      return;
    }
    if (errno != EEXIST) break;
  }
  throw core::ErrorFromErrno(errno, kClass, "Cannot create a temporary file in " + folder.string());
}

TemporaryFile::~TemporaryFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(path_.c_str());
}

void TemporaryFile::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw core::ErrorFromErrno(errno, kClass, "Cannot write " + path_);
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
}

void TemporaryFile::KeepModeOf(const std::string& target) {
  struct stat info {};
  if (::stat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
    ::fchmod(fd_, info.st_mode & 07777);
  }
}

void TemporaryFile::Sync() {
  if (::fsync(fd_) != 0) throw core::ErrorFromErrno(errno, kClass, "Cannot flush " + path_);
}

void TemporaryFile::RenameTo(const std::string& target) {
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) throw core::ErrorFromErrno(errno, kClass, "Cannot write " + path_);
  if (::rename(path_.c_str(), target.c_str()) != 0) {
    throw core::ErrorFromErrno(errno, kClass, "Cannot replace " + target);
  }
  committed_ = true;
}

void SyncFolderOf(const std::filesystem::path& target) {
  const int fd = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace qv

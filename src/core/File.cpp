#include "core/File.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <utility>

#include "core/PosixError.h"

namespace core {

File File::Open(const std::string& path, int flags, const std::string& source, mode_t mode) {
  File file = TryOpen(path, flags, source, mode);
  if (!file.IsOpen()) {
    const bool creating = (flags & O_CREAT) != 0;
    throw ErrorFromErrno(errno, source, (creating ? "Cannot create " : "Cannot open ") + path,
                         creating ? FileAccess::kCreate : FileAccess::kExisting);
  }
  return file;
}

File File::TryOpen(const std::string& path, int flags, const std::string& source, mode_t mode) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  if (fd < 0) return File();
  return File(fd, path, source);
}

File::File(int fd, std::string path, std::string source)
    : fd_(fd), path_(std::move(path)), source_(std::move(source)) {}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      source_(std::move(other.source_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    source_ = std::move(other.source_);
  }
  return *this;
}

void File::Fail(int errnum, const char* action) const {
  throw ErrorFromErrno(errnum, source_, std::string(action) + " " + path_);
}

void File::WriteAll(std::string_view bytes) {
  if (const int errnum = TryWriteAll(bytes)) Fail(errnum, "Cannot write");
}

int File::TryWriteAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return 0;
}

size_t File::Read(char* buffer, size_t size) {
  const ssize_t n = TryRead(buffer, size);
  if (n < 0) Fail(errno, "Cannot read");
  return static_cast<size_t>(n);
}

ssize_t File::TryRead(char* buffer, size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

size_t File::ReadBlock(char* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const size_t n = Read(buffer + done, size - done);
    if (n == 0) break;
    done += n;
  }
  return done;
}

std::string File::ReadAll() {
  std::string bytes;
  char buffer[64 * 1024];
  while (const size_t n = Read(buffer, sizeof buffer)) bytes.append(buffer, n);
  return bytes;
}

std::string File::ReadWhole(const std::string& path, const std::string& source) {
  return Open(path, O_RDONLY, source).ReadAll();
}

off_t File::Seek(off_t offset, int whence) {
  const off_t at = ::lseek(fd_, offset, whence);
  if (at < 0) Fail(errno, "Cannot read");
  return at;
}

struct stat File::Status() const {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) Fail(errno, "Cannot read");
  return info;
}

void File::Sync() {
  if (::fsync(fd_) != 0) Fail(errno, "Cannot flush");
}

void File::Close() {
  if (fd_ < 0) return;
  if (::close(std::exchange(fd_, -1)) != 0) Fail(errno, "Cannot write");
}

bool SyncFolderOf(const std::string& path, FolderSync scope) {
  const std::filesystem::path target(path);
  const std::string folder = target.has_parent_path() ? target.parent_path().string() : ".";
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = (scope == FolderSync::kFileSystem ? ::syncfs(fd) : ::fsync(fd)) == 0;
  ::close(fd);
  return synced;
}

}  // namespace core

#include "core/Folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "core/PosixError.h"

namespace core {
namespace {

EntryKind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return EntryKind::kFile;
  if (S_ISLNK(mode)) return EntryKind::kLink;
  if (S_ISDIR(mode)) return EntryKind::kFolder;
  return EntryKind::kOther;
}

}  // namespace

Error LinkRefused(const std::string& source, const std::string& path, const char* what) {
  return Error(kErrPathFileAccess, source,
               path + " is a symbolic link, not a " + what + " of this program's: left as it is");
}

std::optional<EntryKind> KindOf(const std::string& path) {
  std::string name = path;
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  struct stat info {};
  if (::lstat(name.c_str(), &info) != 0) return std::nullopt;
  return KindOfMode(info.st_mode);
}

Folder::Folder(int fd, std::string path, std::string source)
    : fd_(fd), path_(std::move(path)), source_(std::move(source)) {}

Folder Folder::Open(const std::string& path, Reach reach, const std::string& source) {
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (reach == Reach::kOwn ? O_NOFOLLOW : 0);
  // A final separator would have a link in the folder's place followed.
  std::string where = path.empty() ? "." : path;
  while (where.size() > 1 && where.back() == '/') where.pop_back();
  const int fd = ::open(where.c_str(), flags);
  if (fd >= 0) return Folder(fd, where, source);
  const int errnum = errno;
  if (errnum == ENOENT) return Folder();
  if (reach == Reach::kOwn && (errnum == ELOOP || errnum == ENOTDIR) &&
      core::KindOf(where) == EntryKind::kLink) {
    throw LinkRefused(source, where, "folder");
  }
  throw ErrorFromErrno(errnum, source, "Cannot open the folder " + where);
}

Folder Folder::Make(const std::string& path, Reach reach, const std::string& source) {
  Folder folder = Open(path, reach, source);
  if (folder.IsOpen()) return folder;
  const std::string where = path.empty() ? "." : path;
  int made = ::mkdir(where.c_str(), 0777) == 0 ? 0 : errno;
  if (made == ENOENT) {
    // The folders above it are someone's who named them: made as they are named.
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(where).parent_path(), ec);
    made = ::mkdir(where.c_str(), 0777) == 0 ? 0 : errno;
  }
  if (made != 0 && made != EEXIST) {
    throw ErrorFromErrno(made, source, "Cannot create the folder " + path, FileAccess::kCreate);
  }
  folder = Open(path, reach, source);
  if (!folder.IsOpen()) throw ErrorFromErrno(ENOENT, source, "Cannot open the folder " + path);
  return folder;
}

Folder::~Folder() {
  if (fd_ >= 0) ::close(fd_);
}

Folder::Folder(Folder&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      source_(std::move(other.source_)) {}

Folder& Folder::operator=(Folder&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    source_ = std::move(other.source_);
  }
  return *this;
}

std::string Folder::PathOf(const std::string& name) const {
  if (path_.empty()) return name;
  return path_.back() == '/' ? path_ + name : path_ + "/" + name;
}

std::vector<FolderEntry> Folder::List() const {
  std::vector<FolderEntry> entries;
  if (fd_ < 0) return entries;
  // The listing gets a descriptor of its own: closedir closes it.
  const int fd = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (!dir) {
    const int errnum = errno;
    if (fd >= 0) ::close(fd);
    throw ErrorFromErrno(errnum, source_, "Cannot list " + path_);
  }
  while (const dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    EntryKind kind = EntryKind::kOther;
    switch (entry->d_type) {
      case DT_REG:
        kind = EntryKind::kFile;
        break;
      case DT_LNK:
        kind = EntryKind::kLink;
        break;
      case DT_DIR:
        kind = EntryKind::kFolder;
        break;
      case DT_UNKNOWN: {
        const std::optional<EntryKind> seen = KindOf(name);
        if (!seen) continue;  // gone meanwhile
        kind = *seen;
        break;
      }
      default:
        break;
    }
    entries.push_back(FolderEntry{name, kind});
  }
  ::closedir(dir);
  return entries;
}

std::optional<EntryKind> Folder::KindOf(const std::string& name) const {
  struct stat info {};
  if (::fstatat(fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return KindOfMode(info.st_mode);
}

bool Folder::RemoveFile(const std::string& name) const {
  if (KindOf(name) != EntryKind::kFile) return false;
  return ::unlinkat(fd_, name.c_str(), 0) == 0;
}

bool Folder::MoveIn(const std::string& from, const std::string& name) const {
  if (core::KindOf(from) == EntryKind::kLink) throw LinkRefused(source_, from, "file");
  const std::optional<EntryKind> there = KindOf(name);
  if (there == EntryKind::kLink) throw LinkRefused(source_, PathOf(name), "file");
  if (there && there != EntryKind::kFile) {
    throw ErrorFromErrno(EISDIR, source_, "Cannot replace " + PathOf(name));
  }
  if (::renameat(AT_FDCWD, from.c_str(), fd_, name.c_str()) == 0) return true;
  if (errno == EXDEV) return false;
  throw ErrorFromErrno(errno, source_, "Cannot move " + from + " to " + PathOf(name));
}

}  // namespace core

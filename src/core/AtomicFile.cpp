#include "core/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "core/Folder.h"
#include "core/PosixError.h"
#include "core/Random.h"

namespace core {
namespace {

File CreateBeside(const std::string& target, const std::string& source) {
  const std::filesystem::path path(target);
  const std::filesystem::path folder =
      path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  int errnum = EEXIST;
  for (int attempt = 0; attempt < 100 && errnum == EEXIST; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tmp%08llx",
                  static_cast<unsigned long long>(Random()() & 0xFFFFFFFFu));
    const std::string candidate = (folder / ("." + path.filename().string() + suffix)).string();
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return File(fd, candidate, source);
    errnum = errno;
  }
  throw ErrorFromErrno(errnum, source, "Cannot create a temporary file in " + folder.string(),
                       FileAccess::kCreate);
}

}  // namespace

AtomicFile::AtomicFile(const std::string& target, std::string source)
    : target_(target), source_(std::move(source)), file_(CreateBeside(target, source_)) {}

AtomicFile::~AtomicFile() {
  if (committed_) return;
  const std::string temporary = file_.Path();
  file_ = File();
  ::unlink(temporary.c_str());
}

void AtomicFile::SetMode(mode_t mode) {
  if (::fchmod(file_.Descriptor(), mode) != 0) {
    throw ErrorFromErrno(errno, source_, "Cannot set the mode of " + file_.Path());
  }
}

void AtomicFile::KeepModeOfTarget() {
  struct stat info {};
  if (::lstat(target_.c_str(), &info) == 0 && S_ISREG(info.st_mode)) SetMode(info.st_mode & 07777);
}

void AtomicFile::Commit(Durability durability) { Rename(durability, true); }

void AtomicFile::CommitNew(Durability durability) { Rename(durability, false); }

void AtomicFile::Rename(Durability durability, bool replace) {
  if (durability == Durability::kFlushed) file_.Sync();
  file_.Close();
  if (!replace && ::renameat2(AT_FDCWD, file_.Path().c_str(), AT_FDCWD, target_.c_str(),
                              RENAME_NOREPLACE) == 0) {
    committed_ = true;
  } else if (!replace && errno != EINVAL && errno != ENOSYS) {
    throw ErrorFromErrno(errno, source_, "Cannot create " + target_, FileAccess::kCreate);
  } else {
    // A rename does not follow a link at the target, it would replace the link itself.
    if (KindOf(target_) == EntryKind::kLink) {
      throw LinkRefused(source_, target_, "file");
    }
    if (::rename(file_.Path().c_str(), target_.c_str()) != 0) {
      throw ErrorFromErrno(errno, source_, "Cannot replace " + target_);
    }
    committed_ = true;
  }
  if (durability == Durability::kFlushed) SyncFolderOf(target_);
}

}  // namespace core

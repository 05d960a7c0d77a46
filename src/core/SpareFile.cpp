#include "core/SpareFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/File.h"
#include "core/PosixError.h"

namespace core {

SpareFile::SpareFile(std::string spare_path, std::string source)
    : spare_(std::move(spare_path)), source_(std::move(source)) {}

SpareFile::~SpareFile() { ::unlink(spare_.c_str()); }

void SpareFile::Replace(const std::string& target, std::string_view bytes, bool flushed) {
  // Overwritten, then cut to size: a file emptied first would be written out at its close
  // (ext4 does so for files replaced by truncation).
  File file = File::Open(spare_, O_WRONLY | O_CREAT, source_);
  file.WriteAll(bytes);
  if (::ftruncate(file.Descriptor(), static_cast<off_t>(bytes.size())) != 0) {
    throw ErrorFromErrno(errno, source_, "cannot write " + spare_);
  }
  if (flushed) file.Sync();
  file.Close();
  if (swap_works_ &&
      ::renameat2(AT_FDCWD, spare_.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
    if (flushed) SyncFolderOf(target);
    return;
  }
  // No target to swap with yet (ENOENT), or no swap on this file system.
  if (errno != ENOENT) swap_works_ = false;
  if (::rename(spare_.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(spare_.c_str());
    throw ErrorFromErrno(error, source_, "cannot put " + target + " in place", FileAccess::kCreate);
  }
  if (flushed) SyncFolderOf(target);
}

}  // namespace core

#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "core/File.h"

namespace core {

// A new file that replaces `target` whole or not at all: it is written as a hidden
// temporary beside the target (".<name>.tmpXXXXXXXX", created with the mode a new file
// gets) and renamed over the target by Commit. Until then the target is untouched; a
// temporary that is never committed is removed. Failures throw core::Error naming the
// file and the system's reason, with `source`. A symbolic link at the target is never
// replaced: Commit refuses it, and the link stays as it is.
class AtomicFile {
 public:
  enum class Durability {
    kRenameOnly,  // the rename alone: readers see old or new, a crash may lose the new
    kFlushed,     // file and folder flushed too: once Commit returns, the new file stays
  };

  AtomicFile(const std::string& target, std::string source);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  const std::string& TemporaryPath() const { return file_.Path(); }
  void Write(std::string_view bytes) { file_.WriteAll(bytes); }

  // The permission bits the committed file gets.
  void SetMode(mode_t mode);
  // The permission bits of the file it replaces, when there is one.
  void KeepModeOfTarget();
  // Flushes the content now (before work that must follow a durable write).
  void Sync() { file_.Sync(); }

  void Commit(Durability durability);
  // As Commit, for a target name that must still be free: a file that took it meanwhile
  // is left as it is, and Commit throws.
  void CommitNew(Durability durability);

 private:
  std::string target_;
  std::string source_;
  void Rename(Durability durability, bool replace);

  File file_;
  bool committed_ = false;
};

}  // namespace core

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace core {

// A folder of files no longer wanted, kept for their inodes: a new file is written into
// one of them and renamed into place instead of into a file made for it. Some file
// systems pay dearly for every inode made shortly after others were freed (ext4 without
// a journal skips each recently freed one), so a run that clears thousands of files and
// then writes thousands of new ones rewrites the old ones instead (see SpareFile).
//
// A file is in place whole or not at all: a spare is only renamed once written. The
// spares left when the object goes are emptied and kept, up to a number, for the next
// object made for the folder (one a killed process left is taken over the same way);
// the rest are removed. A spare keeps the permission bits and owner of the file it was.
// Failures throw core::Error naming the file and the system's reason, with `source`.
class SpareFiles {
 public:
  // `folder`: the spare folder, made when needed. It must be on the file system of the
  // files written through it (a spare that cannot be renamed into place is dropped).
  // `keep`: how many spares stay for the next object at most.
  SpareFiles(std::string folder, std::string source, size_t keep);
  ~SpareFiles();
  SpareFiles(const SpareFiles&) = delete;
  SpareFiles& operator=(const SpareFiles&) = delete;

  // Takes every file of `folder` as a spare. True when the folder went with them (it no
  // longer exists); false when it is still there, maybe holding what could not be
  // taken, for the caller to remove.
  bool TakeFolder(const std::string& folder);
  // Takes the file `path` as a spare: afterwards it no longer exists. False when it
  // could not be moved into the spare folder; it is then untouched.
  bool Take(const std::string& path);

  // Puts `bytes` in place as `target` (replacing a file there), through a spare when
  // one is left, else through a new temporary beside it.
  void Write(const std::string& target, std::string_view bytes);

  size_t Count();

 private:
  // Lists the spares an earlier object left, once.
  void Load();

  std::string folder_;
  std::string source_;
  size_t keep_;
  std::vector<std::string> spares_;  // full paths
  uint64_t next_name_ = 0;
  bool loaded_ = false;
};

}  // namespace core

#pragma once

#include <string>
#include <string_view>

namespace core {

// Replaces files whole, or not at all, through one spare file in their folder: the new
// bytes are written into the spare, which is then swapped with the target in one step
// (renameat2 RENAME_EXCHANGE), so that the old target becomes the next spare. Many
// replacements in a row then neither make nor free an inode, which a file system pays
// for dearly when thousands of files are replaced at once. Where the swap is not
// available, or the target does not exist yet, the spare is renamed over the target,
// as AtomicFile does. The spare is removed when the object goes; one left by a killed
// process holds no data that anything reads. Failures throw core::Error naming the file
// and the system's reason, with `source`.
class SpareFile {
 public:
  SpareFile(std::string spare_path, std::string source);
  ~SpareFile();
  SpareFile(const SpareFile&) = delete;
  SpareFile& operator=(const SpareFile&) = delete;

  // Puts `bytes` in place as `target`, in the spare's folder. With `flushed`, the file
  // and the folder reach the disk before it returns.
  void Replace(const std::string& target, std::string_view bytes, bool flushed);

 private:
  std::string spare_;
  std::string source_;
  bool swap_works_ = true;
};

}  // namespace core

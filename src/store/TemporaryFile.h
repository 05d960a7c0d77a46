#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace qv {

// A new file beside a target that nobody else uses, renamed over the target once
// complete; removed again unless renamed. Every failure throws core::Error with the
// system's reason.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::filesystem::path& target);
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::string& Path() const { return path_; }

  // Appends to the file.
  void Write(std::string_view bytes);
  // Gives the new file the permissions of the file it replaces.
  void KeepModeOf(const std::string& target);
  // The content must be on disk before the rename makes it the target.
  void Sync();
  void RenameTo(const std::string& target);

 private:
  std::string path_;
  int fd_ = -1;
  bool committed_ = false;
};

// Makes a finished rename durable; a folder that cannot be synced loses nothing now.
void SyncFolderOf(const std::filesystem::path& target);

}  // namespace qv

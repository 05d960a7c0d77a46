#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace core {

// One open file descriptor and the path it was opened by. Move-only; the destructor
// closes without a check, so a writer calls Close to see a delayed write error.
// Every failure throws core::Error (ErrorFromErrno) with `source` and the path.
class File {
 public:
  File() = default;
  // open(2) with O_CLOEXEC added.
  static File Open(const std::string& path, int flags, const std::string& source,
                   mode_t mode = 0666);
  // Takes over `fd` (not negative).
  File(int fd, std::string path, std::string source);
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  int Descriptor() const { return fd_; }
  const std::string& Path() const { return path_; }

  // Writes every byte, going on after EINTR and short writes.
  void WriteAll(std::string_view bytes);
  // Up to `size` bytes; 0 at the end of the file. Goes on after EINTR.
  size_t Read(char* buffer, size_t size);
  // The rest of the file from the current offset.
  std::string ReadAll();
  void Sync();
  // Closes and reports a failed close; a closed File ignores a second call.
  void Close();

 private:
  [[noreturn]] void Fail(int errnum, const char* action) const;

  int fd_ = -1;
  std::string path_;
  std::string source_;
};

// fsync of the folder that holds `path`, so a rename into it is durable. Returns false
// when the folder cannot be opened or flushed; nothing is lost by that now.
bool SyncFolderOf(const std::string& path);

}  // namespace core

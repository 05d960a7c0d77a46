#pragma once

#include <sys/stat.h>
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
  // As Open, for callers with their own message: a failure returns a File that is not
  // open, with errno set.
  static File TryOpen(const std::string& path, int flags, const std::string& source,
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
  // As WriteAll; 0, or the errno of the failure instead of a throw.
  int TryWriteAll(std::string_view bytes);
  // Up to `size` bytes; 0 at the end of the file. Goes on after EINTR.
  size_t Read(char* buffer, size_t size);
  // As Read; -1 with errno set instead of a throw.
  ssize_t TryRead(char* buffer, size_t size);
  // `size` bytes, fewer only at the end of the file.
  size_t ReadBlock(char* buffer, size_t size);
  // The rest of the file from the current offset.
  std::string ReadAll();
  // The whole file at `path`.
  static std::string ReadWhole(const std::string& path, const std::string& source);
  // lseek(2); the new offset.
  off_t Seek(off_t offset, int whence);
  // fstat(2).
  struct stat Status() const;
  void Sync();
  // Closes and reports a failed close; a closed File ignores a second call.
  void Close();

 private:
  [[noreturn]] void Fail(int errnum, const char* action) const;

  int fd_ = -1;
  std::string path_;
  std::string source_;
};

enum class FolderSync {
  kFolder,      // fsync of the folder: a rename into it is durable
  kFileSystem,  // syncfs of its file system: every file written there reaches the disk,
                // for writers that saved many files without flushing each
};

// Flushes the folder that holds `path`, or its whole file system. Returns false when the
// folder cannot be opened or flushed; nothing is lost by that now.
bool SyncFolderOf(const std::string& path, FolderSync scope = FolderSync::kFolder);

}  // namespace core

#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

inline std::string_view AsText(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// One in-memory file, given new contents for every input, for readers that take a path.
class MemoryFile {
 public:
  MemoryFile() : fd_(::memfd_create("fuzz-input", 0)) {
    if (fd_ < 0) std::abort();
  }
  ~MemoryFile() { ::close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  // Replaces the contents; the path names them.
  const std::string& Hold(std::string_view bytes) {
    if (::ftruncate(fd_, 0) != 0) std::abort();
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n =
          ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      if (n <= 0) std::abort();
      done += static_cast<size_t>(n);
    }
    return path_;
  }

 private:
  int fd_;
  std::string path_ = "/proc/self/fd/" + std::to_string(fd_);
};

}  // namespace fuzz

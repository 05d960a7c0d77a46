#pragma once

// The binary layout shared by the files that index last data (a mode 4 rule's keys file,
// a paged rule's page keys): plain values in the machine's byte order, texts with their
// length first, and a file stamp that ties an index to the file it describes.

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv::keys_file {

// What an index names of the file it describes.
struct FileStamp {
  uint64_t size = 0;
  int64_t modified_ns = 0;
  uint64_t inode = 0;
  uint64_t device = 0;
  bool operator==(const FileStamp&) const = default;
};

inline std::optional<FileStamp> StampOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileStamp{static_cast<uint64_t>(info.st_size),
                   int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec,
                   static_cast<uint64_t>(info.st_ino), static_cast<uint64_t>(info.st_dev)};
}

template <typename T>
void Put(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

inline void PutText(std::string& out, std::string_view text) {
  Put(out, static_cast<uint32_t>(text.size()));
  out.append(text);
}

inline void PutStamp(std::string& out, const FileStamp& stamp) {
  Put(out, stamp.size);
  Put(out, stamp.modified_ns);
  Put(out, stamp.inode);
  Put(out, stamp.device);
}

// Reads what Put wrote; any read past the end makes it fail.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  template <typename T>
  T Get() {
    T value{};
    if (!Take(sizeof value)) return value;
    std::memcpy(&value, bytes_.data() + at_ - sizeof value, sizeof value);
    return value;
  }
  std::string_view Text() {
    const auto length = Get<uint32_t>();
    if (!Take(length)) return {};
    return bytes_.substr(at_ - length, length);
  }
  FileStamp Stamp() {
    FileStamp stamp;
    stamp.size = Get<uint64_t>();
    stamp.modified_ns = Get<int64_t>();
    stamp.inode = Get<uint64_t>();
    stamp.device = Get<uint64_t>();
    return stamp;
  }
  bool Ok() const { return ok_; }
  size_t Offset() const { return at_; }
  bool AtEnd() const { return at_ == bytes_.size(); }

 private:
  bool Take(size_t count) {
    if (!ok_ || bytes_.size() - at_ < count) return ok_ = false;
    at_ += count;
    return true;
  }
  std::string_view bytes_;
  size_t at_ = 0;
  bool ok_ = true;
};

// The key field's name and the compared fields' names, as both index files begin.
void PutNames(std::string& out, std::string_view key, const std::vector<std::string>& compared);
// Whether the names PutNames wrote are these.
bool NamesMatch(Reader& in, std::string_view key, const std::vector<std::string>& compared);

// `bytes` (starting with the file's magic) with a checksum after them, put in place of
// `path` whole. Throws core::Error.
void WriteSealed(const std::string& path, std::string bytes, const std::string& source);
// The file's bytes; empty when it cannot be read.
std::string ReadFileOrNothing(const std::string& path, const std::string& source);
// What WriteSealed wrote between `magic` and the checksum; nothing when the bytes do not
// start with `magic` or the checksum does not hold.
std::optional<std::string_view> Unseal(const std::string& bytes, std::string_view magic);

}  // namespace qv::keys_file

#include "db/SpoolCursor.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "core/Error.h"
#include "core/PosixError.h"

namespace ado {
namespace {

const char* const kSource = "SpoolCursor";

// A file without a name in `folder`: O_TMPFILE where the file system has it, else a
// named one that is removed at once.
core::File UnnamedFile(const std::string& folder, const std::string& name) {
  const std::string where = folder.empty() ? "." : folder;
  const int fd = ::open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return core::File(fd, name, kSource);
  std::string path = where + "/.qvspool.XXXXXX";
  const int named = ::mkostemp(path.data(), O_CLOEXEC);
  if (named < 0) {
    throw core::ErrorFromErrno(errno, kSource, "cannot make a spool file in " + where,
                               core::FileAccess::kCreate);
  }
  ::unlink(path.c_str());
  return core::File(named, name, kSource);
}

}  // namespace

SpoolCursor::SpoolCursor(std::vector<FieldDef> fields, const std::string& folder,
                         const std::string& name, size_t memory_bytes)
    : fields_(std::move(fields)), folder_(folder), name_(name), memory_bytes_(memory_bytes) {}

void SpoolCursor::Append(const RecordStore& block) {
  std::string record;
  for (size_t i = 0; i < block.RecordCount(); ++i) {
    record.clear();
    block.Serialize(i, record);
    const auto length = static_cast<uint64_t>(record.size());
    buffer_.append(reinterpret_cast<const char*>(&length), sizeof length);
    buffer_.append(record);
    ++rows_;
    if (buffer_.size() >= memory_bytes_) Flush();
  }
}

void SpoolCursor::Flush() {
  if (!file_.IsOpen()) file_ = UnnamedFile(folder_, name_);
  file_.WriteAll(buffer_);
  buffer_.clear();
}

void SpoolCursor::Finish(std::vector<std::string> warnings) {
  warnings_ = std::move(warnings);
  reading_ = true;
  at_ = 0;
  if (!file_.IsOpen()) return;  // all in memory
  Flush();
  if (::lseek(file_.Descriptor(), 0, SEEK_SET) != 0) {
    throw core::ErrorFromErrno(errno, kSource, "cannot read back " + file_.Path());
  }
}

bool SpoolCursor::Fill(size_t bytes) {
  if (buffer_.size() - at_ >= bytes) return true;
  if (!file_.IsOpen()) return false;
  buffer_.erase(0, at_);
  at_ = 0;
  while (buffer_.size() < bytes) {
    const size_t old = buffer_.size();
    buffer_.resize(old + std::max(bytes - old, memory_bytes_));
    const size_t got = file_.Read(buffer_.data() + old, buffer_.size() - old);
    buffer_.resize(old + got);
    if (got == 0) return false;
  }
  return true;
}

size_t SpoolCursor::FetchInto(RecordStore& store, size_t max_rows) {
  if (!reading_) throw core::Error(core::kErrObjectClosed, kSource, "the spool is still written");
  size_t got = 0;
  for (; got < max_rows && handed_ < rows_; ++got, ++handed_) {
    uint64_t length = 0;
    if (!Fill(sizeof length)) break;
    std::memcpy(&length, buffer_.data() + at_, sizeof length);
    if (!Fill(sizeof length + length)) break;
    std::string_view record(buffer_.data() + at_ + sizeof length, length);
    store.AppendSerialized(record);
    at_ += sizeof length + length;
  }
  if (got < max_rows && handed_ < rows_) {
    throw core::Error(core::kErrInvalidPersistedFile, kSource,
                      "the spool file " + file_.Path() + " ended before its rows");
  }
  return got;
}

}  // namespace ado

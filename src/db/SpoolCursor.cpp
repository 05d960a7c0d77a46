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
  {
    const std::lock_guard lock(mutex_);
    if (abandoned_) throw core::Error(core::kErrObjectClosed, kSource, "the rows are not wanted");
  }
  std::string record;
  for (size_t i = 0; i < block.RecordCount(); ++i) {
    record.clear();
    block.Serialize(i, record);
    const auto length = static_cast<uint64_t>(record.size());
    wbuf_.append(reinterpret_cast<const char*>(&length), sizeof length);
    wbuf_.append(record);
    ++rows_written_;
    if (wbuf_.size() >= memory_bytes_) Flush();
  }
}

void SpoolCursor::Flush() {
  bool open = false;
  {
    const std::lock_guard lock(mutex_);
    open = file_.IsOpen();
  }
  if (!open) {
    core::File made = UnnamedFile(folder_, name_);
    const std::lock_guard lock(mutex_);
    file_ = std::move(made);
  }
  // Only this thread writes; the reader reads no further than file_bytes_.
  file_.WriteAll(wbuf_);
  bytes_written_ += wbuf_.size();
  wbuf_.clear();
  {
    const std::lock_guard lock(mutex_);
    file_bytes_ = bytes_written_;
    rows_ = rows_written_;
  }
  changed_.notify_all();
}

void SpoolCursor::Finish(std::vector<std::string> warnings) {
  {
    const std::lock_guard lock(mutex_);
    warnings_ = std::move(warnings);
    tail_ = std::move(wbuf_);
    wbuf_.clear();
    rows_ = rows_written_;
    ended_ = true;
  }
  changed_.notify_all();
}

void SpoolCursor::Fail(std::exception_ptr failure) {
  {
    const std::lock_guard lock(mutex_);
    failure_ = std::move(failure);
    tail_ = std::move(wbuf_);
    wbuf_.clear();
    ended_ = true;
  }
  changed_.notify_all();
}

void SpoolCursor::Abandon() {
  const std::lock_guard lock(mutex_);
  abandoned_ = true;
}

void SpoolCursor::WaitForEnd(std::unique_lock<std::mutex>& lock) const {
  changed_.wait(lock, [this] { return ended_; });
  if (failure_) std::rethrow_exception(failure_);
}

uint64_t SpoolCursor::RowCount() const {
  std::unique_lock lock(mutex_);
  WaitForEnd(lock);
  return rows_;
}

std::vector<std::string> SpoolCursor::Warnings() const {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return ended_; });
  return warnings_;
}

bool SpoolCursor::Refill() {
  int fd = -1;
  uint64_t available = 0;
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return ended_ || file_bytes_ > read_bytes_; });
    available = file_bytes_ - read_bytes_;
    if (available == 0) {
      // Every row in the file was read: what is left is the tail, then the failure.
      if (!tail_.empty()) {
        rbuf_.append(tail_);
        tail_.clear();
        return true;
      }
      if (failure_) std::rethrow_exception(failure_);
      return false;
    }
    fd = file_.Descriptor();
  }
  const size_t old = rbuf_.size();
  const auto want = static_cast<size_t>(std::min<uint64_t>(available, memory_bytes_));
  rbuf_.resize(old + want);
  size_t got = 0;
  while (got < want) {
    const ssize_t n =
        ::pread(fd, rbuf_.data() + old + got, want - got, static_cast<off_t>(read_bytes_ + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      throw core::ErrorFromErrno(n < 0 ? errno : EIO, kSource,
                                 "cannot read back the spool file of " + name_);
    }
    got += static_cast<size_t>(n);
  }
  read_bytes_ += got;
  return true;
}

size_t SpoolCursor::FetchInto(RecordStore& store, size_t max_rows) {
  size_t got = 0;
  while (got < max_rows) {
    uint64_t length = 0;
    const size_t held = rbuf_.size() - at_;
    if (held >= sizeof length) std::memcpy(&length, rbuf_.data() + at_, sizeof length);
    if (held < sizeof length || held - sizeof length < length) {
      // The next record is not whole in memory: keep its start and read on.
      rbuf_.erase(0, at_);
      at_ = 0;
      if (!Refill()) {
        if (!rbuf_.empty()) {
          throw core::Error(core::kErrInvalidPersistedFile, kSource,
                            "the spool file of " + name_ + " ended inside a row");
        }
        break;
      }
      continue;
    }
    std::string_view record(rbuf_.data() + at_ + sizeof length, length);
    store.AppendSerialized(record);
    at_ += sizeof length + length;
    ++got;
  }
  return got;
}

}  // namespace ado

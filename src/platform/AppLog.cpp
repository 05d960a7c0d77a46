#include "platform/AppLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <utility>

namespace qv::platform {

namespace {

// Owns one open file descriptor.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// True when the file is empty or its last byte ends a line.
bool EndsWithLineBreak(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || info.st_size == 0) return true;
  char last = '\n';
  return ::pread(fd, &last, 1, info.st_size - 1) != 1 || last == '\n';
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// 0 when the entry was appended, else the errno of the failure. An entry that could
// not be written whole is cut off again, so the file never ends in half an entry.
int AppendLine(const std::filesystem::path& target, const std::string& line) {
  // Read access too, to look at the last byte.
  UniqueFd fd(::open(target.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (fd.get() < 0) return errno;
  struct stat before {};
  if (::fstat(fd.get(), &before) != 0) return errno;
  // A previous writer that died mid-line must not swallow this entry.
  std::string entry = EndsWithLineBreak(fd.get()) ? std::string() : std::string("\n");
  entry += line;
  entry += '\n';
  if (WriteAll(fd.get(), entry)) return 0;
  const int errnum = errno;
  if (::ftruncate(fd.get(), before.st_size) != 0) {
    // The cut entry stays; the next one starts on a line of its own.
  }
  return errnum == 0 ? EIO : errnum;
}

}  // namespace

AppLog::AppLog(std::shared_ptr<const Clock> clock) : AppLog(std::move(clock), std::cerr) {}

AppLog::AppLog(std::shared_ptr<const Clock> clock, std::ostream& errors)
    : clock_(clock ? std::move(clock) : std::make_shared<SystemClock>()), errors_(errors) {}

void AppLog::StartLogging(const std::filesystem::path& target, int32_t /*mode*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  target_ = target;
}

bool AppLog::LogEvent(std::string_view text, int32_t event_type) {
  try {
    std::string line = FormatLine(clock_->Now(), event_type, text);
    std::lock_guard<std::mutex> lock(mutex_);
    const bool copied = event_type == kAppLogError || event_type == kAppLogWarning;
    if (copied) {
      errors_ << line << '\n';
      errors_.flush();
    }
    if (target_.empty()) return false;
    const int failure = AppendLine(target_, line);
    if (failure == 0) return true;
    // The entry must not be lost with the file (a full disk, a size limit): the error
    // stream gets it, after one line saying why the log has it not.
    if (failed_target_ != target_) {
      failed_target_ = target_;
      errors_ << FormatLine(clock_->Now(), kAppLogError,
                            "cannot write the log file " + target_.string() + ": " +
                                std::strerror(failure))
              << '\n';
    }
    if (!copied) errors_ << line << '\n';
    errors_.flush();
    return false;
  } catch (...) {
    return false;
  }
}

std::string_view AppLog::EventTypeName(int32_t event_type) {
  switch (event_type) {
    case kAppLogError:
      return "Error";
    case kAppLogWarning:
      return "Warning";
    default:
      return "Information";
  }
}

std::string AppLog::FormatLine(const LocalTime& moment, int32_t event_type, std::string_view text) {
  std::string line = FormatDateTime(moment);
  line += '\t';
  line += EventTypeName(event_type);
  line += '\t';
  line.reserve(line.size() + text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      line += ' ';
    } else {
      line += c;
    }
  }
  return line;
}

}  // namespace qv::platform

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

// 0 when the entry was appended to the open file, else the errno of the failure. An
// entry that could not be written whole is cut off again, so the file never ends in
// half an entry.
int AppendLine(int fd, std::string_view entry) {
  struct stat before {};
  if (::fstat(fd, &before) != 0) return errno;
  if (WriteAll(fd, entry)) return 0;
  const int errnum = errno;
  if (::ftruncate(fd, before.st_size) != 0) {
    // The cut entry stays; the next one starts on a line of its own.
  }
  return errnum == 0 ? EIO : errnum;
}

}  // namespace

AppLog::AppLog(std::shared_ptr<const Clock> clock) : AppLog(std::move(clock), std::cerr) {}

AppLog::AppLog(std::shared_ptr<const Clock> clock, std::ostream& errors)
    : clock_(clock ? std::move(clock) : std::make_shared<ProcessClock>()), errors_(errors) {}

AppLog::~AppLog() { CloseFile(); }

void AppLog::StartLogging(const std::filesystem::path& target, int32_t /*mode*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  target_ = target;
}

void AppLog::CloseFile() {
  file_ = core::File();
  open_target_.clear();
}

int AppLog::Append(const std::string& line) {
  // The file stays open while the entries go to it: a run logs a line per page.
  bool first = false;
  if (!file_.IsOpen() || open_target_ != target_) {
    CloseFile();
    // Read access too, to look at the last byte.
    const int fd = ::open(target_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    file_ = core::File(fd, target_.string(), "AppLog");
    open_target_ = target_;
    first = true;
  }
  // A previous writer that died mid-line must not swallow this entry.
  std::string entry =
      first && !EndsWithLineBreak(file_.Descriptor()) ? std::string("\n") : std::string();
  entry += line;
  entry += '\n';
  const int failure = AppendLine(file_.Descriptor(), entry);
  // After a failure the file is opened afresh, and its end looked at again.
  if (failure != 0) CloseFile();
  return failure;
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
    const int failure = Append(line);
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

#include "platform/AppLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <utility>

#include "core/Error.h"
#include "platform/Journal.h"

namespace qv::platform {

namespace {

// True when the file is empty or its last byte ends a line.
bool EndsWithLineBreak(core::File& file) {
  try {
    const off_t size = file.Status().st_size;
    if (size == 0) return true;
    char last = '\n';
    file.Seek(size - 1, SEEK_SET);
    return file.Read(&last, 1) != 1 || last == '\n';
  } catch (const core::Error&) {
    return true;
  }
}

// 0 when the entry was appended to the open file, else the errno of the failure. An
// entry that could not be written whole is cut off again, so the file never ends in
// half an entry.
int AppendLine(core::File& file, std::string_view entry) {
  struct stat before {};
  if (::fstat(file.Descriptor(), &before) != 0) return errno;
  const int errnum = file.TryWriteAll(entry);
  if (errnum == 0) return 0;
  if (::ftruncate(file.Descriptor(), before.st_size) != 0) {
    // The cut entry stays; the next one starts on a line of its own.
  }
  return errnum;
}

}  // namespace

AppLog::AppLog(std::shared_ptr<const core::Clock> clock) : AppLog(std::move(clock), std::cerr) {}

AppLog::AppLog(std::shared_ptr<const core::Clock> clock, std::ostream& errors)
    : clock_(clock ? std::move(clock) : std::make_shared<core::ProcessClock>()), errors_(errors) {}

AppLog::~AppLog() { CloseFile(); }

AppLog& AppLog::Process() {
  static AppLog log;
  return log;
}

void AppLog::StartLogging(const std::filesystem::path& target, int32_t /*mode*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  target_ = target;
}

void AppLog::CloseFile() {
  file_ = core::File();
  open_target_.clear();
}

int AppLog::Append(const std::filesystem::path& target, const std::string& line) {
  // The file stays open while the entries go to it: a run logs a line per page.
  bool first = false;
  if (!file_.IsOpen() || open_target_ != target) {
    CloseFile();
    // Read access too, to look at the last byte.
    file_ = core::File::TryOpen(target.string(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW, "AppLog",
                                0644);
    if (!file_.IsOpen()) return errno;
    open_target_ = target;
    first = true;
  }
  // A previous writer that died mid-line must not swallow this entry.
  std::string entry = first && !EndsWithLineBreak(file_) ? std::string("\n") : std::string();
  entry += line;
  entry += '\n';
  const int failure = AppendLine(file_, entry);
  // After a failure the file is opened afresh, and its end looked at again.
  if (failure != 0) CloseFile();
  return failure;
}

bool AppLog::LogEvent(std::string_view text, int32_t event_type) {
  try {
    std::filesystem::path target;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      target = target_;
    }
    return LogEventTo(target, clock_->Now(), text, event_type);
  } catch (...) {
    return false;
  }
}

bool AppLog::LogEventTo(const std::filesystem::path& target, const core::LocalTime& moment,
                        std::string_view text, int32_t event_type) {
  try {
    std::string line = FormatLine(moment, event_type, text);
    std::lock_guard<std::mutex> lock(mutex_);
    const bool copied = event_type == kAppLogError || event_type == kAppLogWarning;
    if (copied) ToErrorStream(event_type, line);
    if (target.empty()) return false;
    const int failure = Append(target, line);
    if (failure == 0) return true;
    // The entry must not be lost with the file (a full disk, a size limit): the error
    // stream gets it, after one line saying why the log has it not.
    if (failed_target_ != target) {
      failed_target_ = target;
      // A link is never written through (O_NOFOLLOW fails with ELOOP).
      const std::string reason =
          failure == ELOOP ? "it is a symbolic link, not a file of this program's: left as it is"
                           : std::strerror(failure);
      ToErrorStream(kAppLogError,
                    FormatLine(moment, kAppLogError,
                               "cannot write the log file " + target.string() + ": " + reason));
    }
    if (!copied) ToErrorStream(event_type, line);
    return false;
  } catch (...) {
    return false;
  }
}

void AppLog::SetPriorityPrefixes(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  priority_prefixes_ = on;
}

void AppLog::WriteToErrorStream(std::string_view text, int32_t event_type) {
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    ToErrorStream(event_type, std::string(text));
  } catch (...) {
    // The copy is lost; the log file has the entry.
  }
}

void AppLog::ToErrorStream(int32_t event_type, const std::string& line) {
  if (priority_prefixes_) {
    errors_ << PriorityPrefix(event_type == kAppLogError     ? kPriorityError
                              : event_type == kAppLogWarning ? kPriorityWarning
                                                             : kPriorityInfo);
  }
  errors_ << line << '\n';
  errors_.flush();
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

std::string AppLog::HourlyFileName(const core::LocalTime& when) {
  char name[48];
  std::snprintf(name, sizeof name, "RX_%04d-%02d-%02d_%02d.log", when.year, when.month, when.day,
                when.hour);
  return name;
}

std::string AppLog::FormatLine(const core::LocalTime& moment, int32_t event_type,
                               std::string_view text) {
  std::string line = core::FormatDateTime(moment);
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

#include "shared/QvSharedErrorLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <utility>

#include "platform/ProgramFolder.h"

namespace qv {
namespace {

// Keeps one entry on one line whatever the message holds.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

std::string FormatLine(const LogEntry& entry, const std::tm& local) {
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::string line = stamp;
  line += ' ';
  line += EventTypeName(entry.event_type);
  line += ' ';
  line += OneLine(entry.message);
  if (entry.error.IsSet()) {
    line += " (Error ";
    line += std::to_string(entry.error.number);
    if (!entry.error.description.empty()) line += ": " + OneLine(entry.error.description);
    line += ')';
  }
  line += '\n';
  return line;
}

// Writes the whole line with one append so concurrent writers never interleave inside it.
void AppendLine(const std::string& path, const std::string& line) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return;
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

class ApplicationLogSink : public LogSink {
 public:
  explicit ApplicationLogSink(std::string folder) : folder_(std::move(folder)) {}

  void Write(const LogEntry& entry) noexcept override {
    try {
      const std::time_t now = std::time(nullptr);
      std::tm local{};
      localtime_r(&now, &local);
      const std::string line = FormatLine(entry, local);
      char name[32];
      std::strftime(name, sizeof name, "RX_%Y-%m-%d_%H.log", &local);
      AppendLine((std::filesystem::path(folder_) / name).string(), line);
      if (entry.event_type == kEventError || entry.event_type == kEventWarning) {
        std::fputs(line.c_str(), stderr);
      }
    } catch (...) {
      // The log is the last resort; an entry it cannot write is dropped.
    }
  }

 private:
  std::string folder_;
};

}  // namespace

std::string EventTypeName(int32_t event_type) {
  switch (event_type) {
    case kEventError:
      return "Error";
    case kEventWarning:
      return "Warning";
    case kEventInformation:
      return "Information";
    case 8:
      return "Audit Success";
    case 16:
      return "Audit Failure";
    default:
      return std::to_string(event_type);
  }
}

std::shared_ptr<LogSink> MakeApplicationLogSink(std::string folder) {
  return std::make_shared<ApplicationLogSink>(std::move(folder));
}

QvSharedErrorLog::QvSharedErrorLog() : sink_(MakeApplicationLogSink(platform::ProgramFolder())) {}

QvSharedErrorLog& QvSharedErrorLog::Instance() {
  static QvSharedErrorLog instance;
  return instance;
}

void QvSharedErrorLog::LogEvent(const std::string& message, const ado::ErrorRecord& error,
                                int32_t event_type, int32_t caller_level) {
  std::shared_ptr<LogSink> sink;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sink = sink_;
  }
  if (!sink) return;
  try {
    sink->Write(LogEntry{message, error, event_type, caller_level});
  } catch (...) {
    // Copying the entry ran out of memory; the report is lost, the caller goes on.
  }
}

std::shared_ptr<LogSink> QvSharedErrorLog::SetSink(std::shared_ptr<LogSink> sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::swap(sink_, sink);
  return sink;
}

}  // namespace qv

#include "shared/QvSharedErrorLog.h"

#include <filesystem>
#include <utility>

#include "platform/AppLog.h"
#include "platform/ProgramFolder.h"

namespace qv {
namespace {

// The report as one text: the message and, when set, the error's number and description.
std::string EntryText(const LogEntry& entry) {
  std::string text = entry.message;
  if (entry.error.IsSet()) {
    text += " (Error " + std::to_string(entry.error.number);
    if (!entry.error.description.empty()) text += ": " + entry.error.description;
    text += ')';
  }
  return text;
}

// Writes through the process's application log into the file of the current local hour.
class ApplicationLogSink : public LogSink {
 public:
  ApplicationLogSink(std::string folder, std::shared_ptr<const core::Clock> clock)
      : folder_(std::move(folder)), clock_(std::move(clock)) {}

  void Write(const LogEntry& entry) noexcept override {
    try {
      const core::LocalTime now = clock_->Now();
      platform::AppLog::Process().LogEventTo(
          std::filesystem::path(folder_) / platform::AppLog::HourlyFileName(now), now,
          EntryText(entry), entry.event_type);
    } catch (...) {
      // The log is the last resort; an entry it cannot write is dropped.
    }
  }

 private:
  std::string folder_;
  std::shared_ptr<const core::Clock> clock_;
};

}  // namespace

std::shared_ptr<LogSink> MakeApplicationLogSink(std::string folder,
                                                std::shared_ptr<const core::Clock> clock) {
  if (!clock) clock = std::make_shared<core::ProcessClock>();
  return std::make_shared<ApplicationLogSink>(std::move(folder), std::move(clock));
}

QvSharedErrorLog::QvSharedErrorLog() : sink_(MakeApplicationLogSink(platform::ProgramFolder())) {}

QvSharedErrorLog& QvSharedErrorLog::Instance() {
  static QvSharedErrorLog instance;
  return instance;
}

void QvSharedErrorLog::LogEvent(const std::string& message, const core::ErrorRecord& error,
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

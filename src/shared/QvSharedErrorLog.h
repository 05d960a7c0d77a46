#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/Clock.h"
#include "core/Error.h"

namespace qv {

// Event types as the log records them.
inline constexpr int32_t kEventError = 1;
inline constexpr int32_t kEventWarning = 2;
inline constexpr int32_t kEventInformation = 4;

// Caller levels used by the program's reports.
inline constexpr int32_t kLevelExport = 1;
inline constexpr int32_t kLevelDetail = 128;

// One report as the error log receives it.
struct LogEntry {
  std::string message;
  core::ErrorRecord error;
  int32_t event_type = kEventInformation;
  int32_t caller_level = kLevelExport;
};

// Where the error log sends its entries. Write must not throw.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void Write(const LogEntry& entry) noexcept = 0;
};

// The process-wide error log. Created on first use and kept until the process ends.
// By default it appends to the application log file of the program folder
// (RX_yyyy-MM-dd_hh.log) and echoes errors and warnings to standard error.
class QvSharedErrorLog {
 public:
  static QvSharedErrorLog& Instance();

  // Never throws; a sink that cannot write drops the entry.
  void LogEvent(const std::string& message, const core::ErrorRecord& error, int32_t event_type,
                int32_t caller_level);

  // Replaces the sink and returns the previous one. A null sink discards entries.
  std::shared_ptr<LogSink> SetSink(std::shared_ptr<LogSink> sink);

 private:
  QvSharedErrorLog();

  std::mutex mutex_;
  std::shared_ptr<LogSink> sink_;
};

// The default sink: one line per entry through the application log, into the file
// RX_yyyy-MM-dd_hh.log of `folder` named after the local date and hour of the entry;
// errors and warnings also go to standard error. The error's number and description
// follow the message when set. A null clock means the process's clock.
std::shared_ptr<LogSink> MakeApplicationLogSink(std::string folder,
                                                std::shared_ptr<const core::Clock> clock = nullptr);

}  // namespace qv

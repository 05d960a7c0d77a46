#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "core/Clock.h"
#include "core/Error.h"
#include "shared/QvErrorSnapshot.h"
#include "shared/QvSharedErrorLog.h"
#include "values/Variant.h"

namespace qv {

class CQvLogFileMgr;

// Log mode bits: any of 1, 2, 4 sends entries to the application log, 8 to the custom
// log file of the shared log properties.
inline constexpr int32_t kLogModeApplication = 1;
inline constexpr int32_t kLogModeCustomFile = 8;

// The program's log writer. Every object that logs creates its own logger; all
// loggers of the process share the level read from the registry file (value
// "EventLogLevel" of HKEY_LOCAL_MACHINE\SOFTWARE\Tolvane, read once; missing or 0
// gives -1, which lets every caller level pass), the log mode and the log properties
// (element 0 line template, element 1 custom log file path).
//
// A message is written only when its caller level and the logger's Level share a
// bit. Each new logger points the application log at its hourly file
// RX_yyyy-MM-dd_hh.log in the program folder. No operation throws.
class CQvEventLogger {
 public:
  CQvEventLogger();
  ~CQvEventLogger();
  CQvEventLogger(const CQvEventLogger&) = delete;
  CQvEventLogger& operator=(const CQvEventLogger&) = delete;

  // Stores `properties` as the shared log properties when it is an array and
  // `log_mode` is 8; otherwise does nothing. The log mode is not changed.
  void SetProperties(const ado::Variant& properties, int32_t log_mode);

  // The shared log mode.
  void LogMode(int32_t log_mode);
  int32_t LogMode() const;

  // This logger's level mask.
  void Level(int32_t level) { level_ = level; }
  int32_t Level() const { return level_; }

  // Writes `message` when `*caller_level` (0 counts as 1) shares a bit with Level.
  // An error whose help file is "LogLevel" sets the caller level to its help context.
  // With an error that has a number or a description, the message is followed by TAB
  // and the error text and written as an error (type 1). The caller level as used is
  // written back; the error record is left as it was. A failure while writing sets
  // this logger's Level and the shared level to -1.
  void LogEvent(const std::string& message, core::ErrorRecord* error, int32_t event_type,
                int32_t* caller_level);
  void LogEvent(const std::string& message, core::ErrorRecord* error = nullptr,
                int32_t event_type = kEventInformation, int32_t caller_level = 1);

  // Initialize(name, path, 0).
  void InitializeEventLogger(std::string& log_file_name, std::string& log_file_path);
  void InitializeEventLogger();

  // Unless Level is -1: an empty name becomes RXmm-dd-yyyy_hh.mm.ss.log, an empty path
  // the program folder, the path gets a final "/" (both written back), the shared log
  // mode takes the bits of `log_mode`, and the application log moves to path + name.
  void Initialize(std::string& log_file_name, std::string& log_file_path, int32_t log_mode = 0);

  // The text of a file up to its first NUL; "" on any failure, missing file included.
  // UTF-8 content is kept, other bytes are read as Windows-1252. `encoding` is unused.
  std::string GetBodyFromTextFile(const std::string& file_name, int32_t encoding = 0);

  // "Error: #<number>\tSource: <source>\tDescription: <description>".
  static std::string FormatErrorText(const std::string& number, const std::string& source,
                                     const std::string& description);
  // The template with "%1" date, "%2" time, "%3" message, "%4" type text and "%5"
  // thread id filled in that order.
  static std::string FormatLogLine(const std::string& text, const std::string& line_template,
                                   int32_t event_type);
  // "RX_yyyy-MM-dd_hh.log" for the hour of `when`.
  static std::string HourlyLogFileName(const core::LocalTime& when);

  // Forgets the shared level, log mode and properties, so that the next logger reads
  // the registry file again.
  static void ResetSharedState();
  // Sets the process's clock (core::SetProcessClock), which names log files and
  // stamps entries; null restores the system clock.
  static void SetClock(std::shared_ptr<const core::Clock> clock);

  // The largest piece of text one application log entry takes, in characters.
  static constexpr size_t kApplicationLogPiece = 908;

 private:
  void WriteEvent(const std::string& text, int32_t event_type);
  void WriteToApplicationLog(const std::string& text, int32_t event_type);
  void WriteToCustomLog(const std::string& text, int32_t event_type, std::string file_path,
                        std::string line_template, bool flush_now);
  void AppendToLogFile(const std::string& file_path, const std::string& line, bool flush_now);

  std::unique_ptr<CQvLogFileMgr> log_file_mgr_;
  int32_t level_ = -1;
  QvErrorSnapshot error_snapshot_;
  std::string default_template_;
  std::string default_log_file_path_;
  std::array<std::string, 11> buffer_;
  int32_t buffer_count_ = 0;
};

}  // namespace qv

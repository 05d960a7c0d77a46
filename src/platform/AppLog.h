#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/Clock.h"
#include "core/File.h"

namespace qv::platform {

// Event types of the application log.
inline constexpr int32_t kAppLogError = 1;
inline constexpr int32_t kAppLogWarning = 2;
inline constexpr int32_t kAppLogInformation = 4;

// The application log: one line per entry, "yyyy-mm-dd hh:mm:ss<TAB>type<TAB>text",
// appended to the file named by the last StartLogging. Errors and warnings are also
// written to the error stream, one line each. Line breaks inside a text become spaces,
// so an entry is always exactly one line.
//
// The file stays open while the entries go to the same target. Each entry is appended
// whole: one that a write could not take whole is cut off again. An entry written
// after the file was opened afresh starts on a line of its own when the file ends in a
// cut line (a writer that died mid-entry).
class AppLog {
 public:
  explicit AppLog(
      std::shared_ptr<const core::Clock> clock = std::make_shared<core::ProcessClock>());
  // `errors` receives the copies of errors and warnings; it must outlive the log.
  AppLog(std::shared_ptr<const core::Clock> clock, std::ostream& errors);
  ~AppLog();
  AppLog(const AppLog&) = delete;
  // The process's log, on the process's clock, copying to standard error: the one
  // writer of the program's log files.
  static AppLog& Process();
  AppLog& operator=(const AppLog&) = delete;

  // With `on`, each line copied to the error stream starts with its syslog priority
  // ("<3>" error, "<4>" warning, "<6>" information), for the journal.
  void SetPriorityPrefixes(bool on);
  // Writes `text` to the error stream only, as an entry of `event_type` without a time
  // (with its priority prefix when those are on): for what the file's entry does not
  // repeat there.
  void WriteToErrorStream(std::string_view text, int32_t event_type);

  // Directs later entries to `target`. The mode is accepted for compatibility and
  // changes nothing. The file is created by the first entry, not here.
  void StartLogging(const std::filesystem::path& target, int32_t mode = 0);
  const std::filesystem::path& Target() const { return target_; }

  // Writes one entry. Returns false when there is no target or the file cannot be
  // written (the error-stream copy is made either way). An entry the file could not
  // take whole (a full disk, a file size limit) is removed from it again and goes to
  // the error stream instead, after one line naming the file and the reason. Never
  // throws.
  bool LogEvent(std::string_view text, int32_t event_type);
  // LogEvent to `target` rather than the file of StartLogging, stamped `moment`.
  bool LogEventTo(const std::filesystem::path& target, const core::LocalTime& moment,
                  std::string_view text, int32_t event_type);

  // "Error" for 1, "Warning" for 2, "Information" for any other type.
  static std::string_view EventTypeName(int32_t event_type);
  // The line for one entry, without its line end.
  static std::string FormatLine(const core::LocalTime& moment, int32_t event_type,
                                std::string_view text);
  // The program's log file for the hour of `when`: "RX_yyyy-MM-dd_hh.log".
  static std::string HourlyFileName(const core::LocalTime& when);

 private:
  std::shared_ptr<const core::Clock> clock_;
  std::ostream& errors_;
  std::mutex mutex_;
  std::filesystem::path target_;
  std::filesystem::path failed_target_;  // whose write failure was last reported
  bool priority_prefixes_ = false;
  core::File file_;  // open on open_target_, or not open
  std::filesystem::path open_target_;

  // Appends one line to `target`; 0 or the errno of the failure.
  int Append(const std::filesystem::path& target, const std::string& line);
  // Writes one line to the error stream; the mutex is held.
  void ToErrorStream(int32_t event_type, const std::string& line);
  void CloseFile();
};

}  // namespace qv::platform

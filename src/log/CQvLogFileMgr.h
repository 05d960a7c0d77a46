#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "core/Clock.h"

namespace qv {

// A folder "Logs" below the program folder of numbered, dated log files
// ("RX_<yyyy-mm-dd>_<number>.log"): names them, lists, deletes and backs them up, and
// appends lines to them in blocks of 11. Failures are reported to QvSharedErrorLog
// ("CQvLogFileMgr.<Operation>...") and give the empty or false result; nothing throws.
class CQvLogFileMgr {
 public:
  // Does nothing: there is no desktop to show a file on.
  void ShowLogFile(const std::string& file_name);

  std::string GetLogFileName(int32_t log_number, const core::LocalTime& date);
  std::string GetLogFileFolder();
  std::string GetLogFileByDate(int32_t log_number, const core::LocalTime& date);
  // The path for the current date; the log folder is created when it is missing.
  std::string GetLogFilePath(int32_t log_number);

  // Every file of the log folder whose name ends in ".log": name -> full path.
  void GetAllLogFiles(std::map<std::string, std::string>& files);
  bool DeleteLogFile(const std::string& file_name);
  // A dated copy of each log file; true when the walk got through.
  bool BackupLogFiles();

  // Buffers one line ("hh:mm:ss   -   text" with `with_time`); the 11th line, or
  // `flush_now`, appends the buffered lines to the file with CR LF between lines.
  void SaveLogLine(const std::string& file_path, const std::string& text, bool flush_now,
                   bool with_time);
  void WriteBlankLineToLogFile(const std::string& file_path);

  // The program's own resource texts used here: 181 file name pattern, 185 folder
  // name, 295 file ending, 324 date format. Empty for any other number.
  static std::string LoadResString(int32_t number);
  // `date` in a format of "yyyy", "mm", "dd", "hh", "nn" and "ss" parts.
  static std::string FormatDate(const core::LocalTime& date, const std::string& format);

 private:
  std::array<std::string, 11> buffer_;
  int32_t buffer_count_ = 0;
};

}  // namespace qv

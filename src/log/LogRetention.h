#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qv {

// What a run keeps of the program's own log files in its program folder: the hourly
// logs ("RX_yyyy-mm-dd_hh.log") and the per-run logs that a set log level opens
// ("RXmm-dd-yyyy_hh.nn.ss.log"). No other file is ever touched.
struct LogRetention {
  static constexpr int32_t kDefaultDays = 14;
  // A run every 15 minutes opens about one per-run log for each second it lasts: this
  // keeps a day of such runs lasting up to five seconds.
  static constexpr int32_t kDefaultKeepFiles = 500;

  int32_t days = kDefaultDays;             // files last written longer ago go
  int32_t keep_files = kDefaultKeepFiles;  // the newest per-run logs kept

  // The values "LogRetentionDays" and "LogKeepFiles" of the registry file; a missing
  // value or one below 1 keeps its default, and `problems` gets a line for the latter.
  static LogRetention FromRegistry(std::vector<std::string>* problems = nullptr);

  // True for the names of the two kinds of log file.
  static bool IsHourlyLog(const std::string& name);
  static bool IsRunLog(const std::string& name);

  struct Outcome {
    size_t removed = 0;
    uintmax_t bytes = 0;
    std::vector<std::string> failures;  // "<file>: <reason>"
  };
  // Removes from `folder` the log files last written more than `days` days before
  // `now`, and the per-run logs beyond the `keep_files` newest (by the time in their
  // name). Never throws.
  Outcome Prune(
      const std::filesystem::path& folder,
      std::filesystem::file_time_type now = std::filesystem::file_time_type::clock::now()) const;
};

}  // namespace qv

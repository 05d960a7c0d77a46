#pragma once

#include <string>

#include "export/RunStats.h"

namespace qv {

// The metrics of a run in the text format the node exporter's textfile collector reads
// ("# HELP", "# TYPE" and "name{labels} value" lines), for monitoring. Every name
// starts with "qvdataexporter_last_run_"; per-rule values carry the labels position (the rule's
// place in the rules file, from 1) and rule (its tTargetPath).
class RunMetrics {
 public:
  // The registry value (under HKEY_LOCAL_MACHINE\SOFTWARE\Tolvane) naming the file.
  static constexpr const char* kRegistryValue = "MetricsFile";

  // The file to write: `from_command_line` when not empty, else the registry value;
  // a relative path is taken in the program folder. Empty when neither is set.
  static std::string FilePath(const std::string& from_command_line);

  // The file's text for a run that began and ended at these Unix times (seconds) and
  // exited with `exit_status`.
  static std::string Text(const RunStats& stats, int exit_status, double start_time,
                          double end_time);

  // Replaces `path` with `text` atomically. Empty on success, else the reason.
  static std::string Write(const std::string& path, const std::string& text);
};

}  // namespace qv

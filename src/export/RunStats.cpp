#include "export/RunStats.h"

#include <cstdio>

#include "platform/StopSignal.h"

namespace qv {

std::string RunSummary(const RunStats& stats) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", stats.seconds);
  std::string text =
      "qvdataexporter mode " + std::to_string(stats.mode) + ": rules run " +
      std::to_string(stats.rules_run) + ", rules failed " + std::to_string(stats.rules_failed) +
      ", files written " + std::to_string(stats.files_written) + ", files sent " +
      std::to_string(stats.files_sent) +
      (stats.deletions_on ? " (deletions " + std::to_string(stats.deletions_sent) + ")"
                          : std::string()) +
      ", sends failed " + std::to_string(stats.sends_failed) + ", " + seconds + " seconds";
  if (stats.stop_signal != 0) {
    text += std::string(" (stopped by ") + platform::SignalName(stats.stop_signal) + ")";
  } else if (stats.aborted) {
    text += " (run ended early)";
  }
  return text;
}

}  // namespace qv

#pragma once

#include <cstdint>
#include <string>

namespace qv {

// What one export run came to: its closing summary line and the process exit status
// are made from it.
struct RunStats {
  int16_t mode = 0;
  // The rules and data sources were read and the walk over the rules began.
  bool started = false;
  // Why the run could not start, when it did not.
  std::string start_failure;
  // A failure in the run's own steps ended it before the last rule.
  bool aborted = false;
  // The number of the signal that stopped the run at a safe point; 0 when none did.
  int stop_signal = 0;

  int32_t rules_run = 0;     // rules handed to an export operation
  int32_t rules_failed = 0;  // rules without their data source, or whose export reported a failure
  int32_t files_written = 0;
  int32_t files_sent = 0;    // files the uploader delivered
  int32_t sends_failed = 0;  // files handed to the uploader and not delivered
  int32_t failures = 0;      // failed connections, counts, queries and file writes
  double seconds = 0;
};

}  // namespace qv

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qv {

// The counts that a run and each of its rules keep alike.
struct RunCounts {
  int64_t rows_read = 0;
  int32_t pages = 0;         // pages or parts made
  int64_t entities_new = 0;  // not in the last data (all of them without one)
  int64_t entities_changed = 0;
  int64_t entities_unchanged = 0;
  int64_t entities_moved = 0;    // unchanged, found on another page of the last data
  int64_t entities_deleted = 0;  // in the last data, gone from the result (deletions on)
  int32_t files_written = 0;
  int32_t files_sent = 0;      // files the uploader delivered
  int32_t sends_failed = 0;    // files handed to the uploader and not delivered
  int32_t deletions_sent = 0;  // deletion files the uploader delivered (among files_sent)
  int32_t failures = 0;        // failed connections, counts, queries and file writes

  // What was counted between `earlier` and these counts.
  RunCounts Since(const RunCounts& earlier) const {
    RunCounts d;
    d.rows_read = rows_read - earlier.rows_read;
    d.pages = pages - earlier.pages;
    d.entities_new = entities_new - earlier.entities_new;
    d.entities_changed = entities_changed - earlier.entities_changed;
    d.entities_unchanged = entities_unchanged - earlier.entities_unchanged;
    d.entities_moved = entities_moved - earlier.entities_moved;
    d.entities_deleted = entities_deleted - earlier.entities_deleted;
    d.files_written = files_written - earlier.files_written;
    d.files_sent = files_sent - earlier.files_sent;
    d.sends_failed = sends_failed - earlier.sends_failed;
    d.deletions_sent = deletions_sent - earlier.deletions_sent;
    d.failures = failures - earlier.failures;
    return d;
  }
};

// What one rule of a run came to.
struct RuleStats : RunCounts {
  std::string target_path;             // as the run used it
  std::optional<int32_t> pages_total;  // when known before the first page (split exports)
  bool failed = false;                 // counted in RunStats::rules_failed
  bool deletions_on = false;           // the per-entity modes send deletions
  std::string failure;                 // the first failure it reported, when it failed
  double seconds = 0;
};

// What one export run came to: its closing summary line and the process exit status
// are made from it.
struct RunStats : RunCounts {
  int16_t mode = 0;
  bool deletions_on = false;  // the per-entity modes send deletions
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
  double seconds = 0;
  uint64_t bytes_sent = 0;  // of the files delivered
  // One entry per rule worked on, in file order.
  std::vector<RuleStats> rules;
};

// Follows a run rule by rule: progress displays, dry runs. Called on the run's thread.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  // Rule `index` (from 0) of `total` begins.
  virtual void RuleStarted(const std::string& /*target_path*/, int32_t /*index*/,
                           int32_t /*total*/) {}
  // The rule's counts so far, after each page and each file handed to the uploader.
  virtual void RuleProgress(const RuleStats& /*so_far*/) {}
  virtual void RuleFinished(const RuleStats& /*rule*/) {}
};

// The closing line of a run: mode, rules run and failed, files written, sent and not
// sent, seconds taken, and whether a signal or a failure ended it early.
std::string RunSummary(const RunStats& stats);

}  // namespace qv

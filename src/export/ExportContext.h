#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/Error.h"
#include "export/Deletions.h"
#include "export/RunStats.h"
#include "shared/ErrorBoundary.h"

namespace qv {

// The class every report of the engine names, whichever part of it reports.
inline const std::string kExporterClass = "CQvDataExporter";
// The field that keys each entity in the per-entity modes.
inline constexpr const char* kKeyField = "tSID";
// The encode type of the files the engine writes and reads (results, last data).
inline constexpr int32_t kPlainText = 1;

// What the parts of an export run share: where reports go, the run's counts and those of
// the rule being worked on, who follows the run, and how files reach the disk.
class ExportContext {
 public:
  // Where progress and failure reports go: TraceEvent unless replaced.
  using TraceFn = std::function<void(const std::string& message, const core::ErrorRecord& error,
                                     int32_t event_type, int32_t caller_level)>;

  explicit ExportContext(TraceFn trace_fn) : trace(std::move(trace_fn)) {}

  // Reports `text` at the export level; the first failure of a rule is kept for its summary.
  void Trace(const std::string& text, int32_t event_type,
             const core::ErrorRecord& error = {}) const;

  // Traces, as warnings of the query's reading (GetRS), what its values changed to fit
  // the file.
  void TraceValueWarnings(const std::vector<std::string>& warnings) const;

  // Counts and traces a failure of the operation `kExporterClass + operation` as Guarded
  // does: of `error`, or of the exception being handled (call it in a catch block then).
  // Nothing escapes.
  void Failed(std::string_view operation, const core::ErrorRecord& error) noexcept;
  void Failed(std::string_view operation) noexcept;

  // The error boundary of the engine's operations: GuardByStep reporting through Trace,
  // each failure counted in stats.failures. `neutral` is the result after a failure, or a
  // function of the failed step that gives it.
  template <typename Neutral, typename Body, typename Message>
  auto Guarded(Neutral&& neutral, Body&& body, Message&& message) {
    using Result = std::invoke_result_t<Body&, int&>;
    const auto report = [this](const std::string& text, const core::ErrorRecord& error,
                               int32_t event_type, int32_t /*caller_level*/) {
      ++stats.failures;
      Trace(text, event_type, error);
    };
    if constexpr (std::is_invocable_v<Neutral&, int>) {
      return GuardByStep<Result>(report, neutral, body, std::forward<Message>(message));
    } else {
      return GuardByStep<Result>(
          report, [&neutral](int) -> Result { return std::forward<Neutral>(neutral); }, body,
          std::forward<Message>(message));
    }
  }
  // The same for an operation without a result.
  template <typename Body, typename Message>
  void Guarded(Body&& body, Message&& message) {
    Guarded([](int) {}, std::forward<Body>(body), std::forward<Message>(message));
  }

  // A new rule begins: its counts start from the run's.
  void BeginRule(const std::string& target_path);
  // The rule being worked on: its counts since it began.
  RuleStats RuleSoFar() const;
  // Tells the observer the running rule's counts.
  void NotifyProgress();

  TraceFn trace;
  RunStats stats;
  // Whether and how many deletions the per-entity modes send, read at the run's start.
  DeletionPolicy deletions;
  RunObserver* observer = nullptr;
  // The run's counts when the running rule began, and what is known of the rule.
  RunCounts rule_start;
  RuleStats rule;
  // The first failure the rule being worked on reported, for its summary.
  mutable std::string rule_failure;
  // Whether each saved result, page and last-data file is flushed to disk on its own;
  // false under a DeferredFlush.
  bool flush_each_file = true;
  // A repeated key was reported for the rule being exported.
  bool repeated_key_reported = false;
};

// For the paged exports: files are saved without the flush to disk while it lives, and
// one flush of the file system at its end brings them all to the disk.
class DeferredFlush {
 public:
  DeferredFlush(ExportContext& context, std::string result_path);
  ~DeferredFlush();
  DeferredFlush(const DeferredFlush&) = delete;
  DeferredFlush& operator=(const DeferredFlush&) = delete;

 private:
  ExportContext& context_;
  std::string result_path_;
};

}  // namespace qv

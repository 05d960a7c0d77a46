#include "export/ExportContext.h"

#include "core/File.h"
#include "shared/QvSharedErrorLog.h"

namespace qv {

void ExportContext::Trace(const std::string& text, int32_t event_type,
                          const core::ErrorRecord& error) const {
  if (error.IsSet() && rule_failure.empty()) rule_failure = error.description;
  if (trace) trace(text, error, event_type, kLevelExport);
}

void ExportContext::TraceValueWarnings(const std::vector<std::string>& warnings) const {
  for (const std::string& warning : warnings)
    Trace(kExporterClass + ".GetRS, " + warning, kEventWarning);
}

void ExportContext::Failed(std::string_view operation, const core::ErrorRecord& error) noexcept {
  try {
    ++stats.failures;
    Trace(kExporterClass + std::string(operation), kEventWarning, error);
  } catch (...) {
    // Building the message failed (out of memory): nothing more can be reported.
  }
}

void ExportContext::Failed(std::string_view operation) noexcept {
  try {
    Failed(operation, CurrentErrorRecord());
  } catch (...) {
    // As above.
  }
}

void ExportContext::BeginRule(const std::string& target_path) {
  rule_start = stats;  // NOLINT(cppcoreguidelines-slicing): only the counts are kept
  rule = RuleStats{};
  rule_failure.clear();
  rule.target_path = target_path;
  rule.deletions_on = stats.deletions_on;
}

RuleStats ExportContext::RuleSoFar() const {
  RuleStats so_far = rule;
  static_cast<RunCounts&>(so_far) = stats.Since(rule_start);
  return so_far;
}

void ExportContext::NotifyProgress() {
  if (observer) observer->RuleProgress(RuleSoFar());
}

DeferredFlush::DeferredFlush(ExportContext& context, std::string result_path)
    : context_(context), result_path_(std::move(result_path)) {
  context_.flush_each_file = false;
}

DeferredFlush::~DeferredFlush() {
  context_.flush_each_file = true;
  // Not flushed, a file may be lost to a crash of the machine, never half-written: the
  // rename that put it in place is atomic. Lost last data only makes the next run send
  // again what it held.
  if (!core::SyncFolderOf(result_path_, core::FolderSync::kFileSystem)) {
    context_.Trace(
        kExporterClass + ".Export, the files written could not be flushed to disk: " + result_path_,
        kEventWarning);
  }
}

}  // namespace qv

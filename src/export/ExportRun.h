#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ado/Recordset.h"
#include "export/ExportContext.h"
#include "export/ExportMode.h"
#include "export/Outbox.h"
#include "shared/QvDataSource.h"
#include "shared/QvDataSourceList.h"

namespace qv {

// One run over the export rules: reads the rules and data-source files, then exports
// each rule in file order with `export_rule` until a stop is requested. Each step sets
// `line` to the step it is in, which a failure reports; any failure ends the run.
class ExportRun {
 public:
  // The export of the rule on which `rules` stands; true when one was called.
  using RuleExport =
      std::function<bool(ExportMode mode, const std::shared_ptr<ado::Recordset>& rules,
                         const std::shared_ptr<QvDataSource>& data_source, const std::string& sql,
                         const std::string& target_path, const std::string& folder)>;
  using PathMap = std::function<std::string(const std::string&)>;

  ExportRun(ExportContext& context, Outbox& outbox, int16_t mode, RuleExport export_rule,
            PathMap target_path_map);

  // The whole run (steps 1 to 7); Stats() of the context tell how it went.
  void Go();

 private:
  // Opens the rules and data-source files and loads the data sources (steps 1 to 4).
  // False when the data sources could not be loaded: the run does not start.
  bool LoadRun(int& line);
  // Checks that the rules file is open and has the fields every rule needs (step 5).
  void ValidateRules(int& line);
  // Exports each rule in file order until a stop is requested (steps 61 to 68).
  void ExportRules(int& line);
  // The rule on which the rules stand: finds its data source and runs its export.
  void ExportCurrentRule(int& line);
  // Whether the rule can run at all (steps 63 and 64): its data source is listed and, in
  // the modes that send, it names an import rule.
  bool RuleCanRun(int32_t data_source_id, int& line);
  // Closes the run's files (step 7).
  void FinishRun(int& line);
  // Counts a run that a failure at step `line` ended.
  void EndFailedRun(const core::ErrorRecord& error, int line);
  // Start and end of the running rule's counts and time, told to the observer.
  void BeginRule(int32_t index, int64_t total);
  void EndRule();
  // Report a stop request: before the rule at `rules_done` (of `rules_total`), or one that
  // came while the rule of the target path ran.
  void TraceStopBeforeRule(int32_t rules_done, int64_t rules_total, const std::string& next_target);
  void TraceStopInRule();

  using Clock = std::chrono::steady_clock;
  ExportContext& context_;
  Outbox& outbox_;
  int16_t number_;  // the mode as the operator gave it
  ExportMode mode_;
  RuleExport export_rule_;
  PathMap target_path_map_;
  std::string rules_path_;
  std::string sources_path_;
  std::shared_ptr<ado::Recordset> rules_;
  std::shared_ptr<ado::Recordset> sources_;
  QvDataSourceList list_;
  std::string target_path_;  // of the rule being worked on
  std::string rule_label_;   // "Rule N of M, File: PATH" for its messages
  bool in_rule_ = false;
  bool last_tx_done_ = false;
  Clock::time_point rule_start_time_;
  int32_t rules_failed_before_ = 0;
};

}  // namespace qv

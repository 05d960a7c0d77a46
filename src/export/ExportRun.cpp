#include "export/ExportRun.h"

#include <algorithm>
#include <vector>

#include "core/Text.h"
#include "export/ResultFileNames.h"
#include "export/RuleRequest.h"
#include "export/RuleSql.h"
#include "fs/basFileSystemPaths.h"
#include "platform/ProgramFolder.h"
#include "platform/StopSignal.h"
#include "records/basADOUtilities.h"
#include "shared/QvDataSourceLoader.h"
#include "shared/QvSharedADO.h"
#include "shared/QvSharedConvert.h"
#include "shared/QvSharedErrorLog.h"
#include "shared/QvSharedStrings.h"
#include "store/CQvXMLManip.h"

namespace qv {
namespace {

constexpr const char* kRulesFile = "QvExportRules.xml";
constexpr const char* kDataSourcesFile = "QvExportDS.xml";
constexpr int32_t kRulesEncodeType = 6;
constexpr int32_t kDataSourcesEncodeType = 1;

// False only when the query, prepared on the data source, is known to return no tSID
// column. A query or connection that fails here fails again, reported, when it runs.
bool QueryHasKey(const std::shared_ptr<QvDataSource>& data_source, const std::string& sql) {
  try {
    const std::optional<std::vector<std::string>> columns =
        data_source->GetConnection(QvDataSource::kSharedConnection)->PreparedColumns(sql);
    if (!columns) return true;
    return std::any_of(columns->begin(), columns->end(), [](const std::string& column) {
      return core::FoldCase(column) == core::FoldCase(kKeyField);
    });
  } catch (const core::Error&) {
    return true;
  }
}

}  // namespace

ExportRun::ExportRun(ExportContext& context, Outbox& outbox, int16_t mode, RuleExport export_rule,
                     PathMap target_path_map)
    : context_(context),
      outbox_(outbox),
      number_(mode),
      mode_(ModeOf(mode)),
      export_rule_(std::move(export_rule)),
      target_path_map_(std::move(target_path_map)) {}

void ExportRun::Go() {
  core::ErrorRecord failure;
  GuardByStep<void>(
      [&](const std::string& message, const core::ErrorRecord& error, int32_t, int32_t) {
        failure = error;
        context_.Trace(kExporterClass + ".ExportAll, Error " + target_path_, kEventInformation,
                       error);
        context_.Trace(message, kEventWarning, error);
      },
      [&](int line) { EndFailedRun(failure, line); },
      [&](int& line) {
        if (!LoadRun(line)) return;
        ValidateRules(line);
        context_.stats.started = true;
        ExportRules(line);
        FinishRun(line);
      },
      AtLine(kExporterClass + ".ExportAll, @Line#"));
}

bool ExportRun::LoadRun(int& line) {
  line = 1;
  context_.Trace(kExporterClass + ".ExportAll, Test Start 001", kEventInformation);
  if (!ModeHasExport(mode_)) {
    context_.Trace(
        kExporterClass + ".ExportAll, export mode " + std::to_string(number_) + " exports nothing",
        kEventWarning);
  }

  line = 3;
  CQvXMLManip manip;
  const std::string program_folder = platform::ProgramFolder();
  rules_path_ = ConcatenatePath(program_folder, kRulesFile);
  rules_ = manip.OpenXMLToRS(rules_path_, true, kRulesEncodeType);
  sources_path_ = ConcatenatePath(program_folder, kDataSourcesFile);
  sources_ = manip.OpenXMLToRS(sources_path_, true, kDataSourcesEncodeType);

  line = 4;
  QvDataSourceLoader loader;
  if (!loader.Load(sources_, list_, "", "")) {
    context_.stats.start_failure = "the data sources of " + sources_path_ + " could not be loaded";
    return false;
  }
  return true;
}

void ExportRun::ValidateRules(int& line) {
  line = 5;
  if (!rules_ || rules_->State() != ado::adStateOpen) {
    throw core::Error(core::kErrFileNotFound, kExporterClass,
                      rules_path_ + " is missing or is not a recordset file");
  }
  if (rules_->Eof()) {
    context_.Trace("No records in the " + rules_path_ + " file", kEventWarning);
    return;
  }
  // A field every rule needs but the file lacks would fail the first rule that reaches
  // it; the run cannot do anything useful then.
  std::vector<const char*> required = {"tTargetPath", "nDSID", "tSQLSelect", "tSQLFrom",
                                       "tSQLWhere"};
  if (ModeSends(mode_)) required.push_back("tImportRuleFolder");
  for (const char* field : required) {
    if (!FieldExists(rules_, field)) {
      throw core::Error(core::kErrItemNotFound, kExporterClass,
                        rules_path_ + " has no field " + field);
    }
  }
}

void ExportRun::ExportRules(int& line) {
  const std::shared_ptr<ado::Recordset>& rules = rules_;
  for (int32_t rules_done = 0; !rules->Eof(); rules->MoveNext(), ++rules_done) {
    if (platform::StopRequested()) {
      TraceStopBeforeRule(rules_done, rules->RecordCount(), RuleField(rules, "tTargetPath"));
      break;
    }
    in_rule_ = true;
    line = 61;
    target_path_ = RuleField(rules, "tTargetPath");
    // The file the operator named, also in a dry run, which maps it elsewhere.
    rule_label_ = "Rule " + std::to_string(rules_done + 1) + " of " +
                  std::to_string(rules->RecordCount()) + ", File: " + target_path_;
    if (target_path_map_) target_path_ = target_path_map_(target_path_);
    BeginRule(rules_done, rules->RecordCount());
    context_.Trace(kExporterClass + ".ExportAll, Test Start ZRA 002, File: " + target_path_,
                   kEventInformation);

    ExportCurrentRule(line);

    line = 68;
    context_.Trace(kExporterClass + ".ExportAll, Test Finish ZRA 002, File: " + target_path_,
                   kEventInformation);
    in_rule_ = false;
    EndRule();
  }
}

void ExportRun::ExportCurrentRule(int& line) {
  const std::shared_ptr<ado::Recordset>& rules = rules_;
  const std::string& target_path = target_path_;
  line = 62;
  const int32_t data_source_id = QvSharedConvert::ToInteger(rules->Fields().Item("nDSID").Value());

  if (!RuleCanRun(data_source_id, line)) return;
  const std::string folder = FolderOf(target_path);

  line = 65;
  // A target without a folder part has no LastTx beside it; joining "" would point at
  // the root.
  if (!last_tx_done_ && !folder.empty())
    outbox_.ClearOwnFolder(ConcatenatePath(folder, kDeliveredFolder));
  last_tx_done_ = true;

  line = 66;
  const std::string sql = RuleSqlText(rules);

  line = 67;
  const int32_t failures_before = context_.stats.failures + context_.stats.sends_failed;
  const int32_t query_failures_before = context_.stats.failures;
  const std::shared_ptr<QvDataSource> data_source = list_.Item(data_source_id);
  if (ModeKeyed(mode_) && !QueryHasKey(data_source, sql)) {
    // Its last data could never be compared: every later run would send the whole
    // result again and fail each page.
    context_.Trace(kExporterClass + ".ExportAll, the query has no field tSID, which mode " +
                       std::to_string(number_) +
                       " keys each entity by; the rule was not run, File: " + target_path,
                   kEventWarning);
    ++context_.stats.rules_failed;
    return;
  }
  // A value the file cannot hold names the rule and the entity it belongs to.
  data_source->SetRowNaming({rule_label_, kKeyField});
  if (export_rule_(mode_, rules, data_source, sql, target_path, folder)) {
    ++context_.stats.rules_run;
    if (context_.stats.failures + context_.stats.sends_failed > failures_before)
      ++context_.stats.rules_failed;
  }
  // A connection that died stays open in name and would fail every later rule of its
  // data source; the next rule tries a new one instead.
  if (context_.stats.failures > query_failures_before) data_source->DropConnection();
  if (platform::StopRequested()) TraceStopInRule();
}

bool ExportRun::RuleCanRun(int32_t data_source_id, int& line) {
  line = 63;
  if (!list_.Exists(data_source_id)) {
    context_.Trace("No DS found for #" + std::to_string(data_source_id), kEventWarning);
    ++context_.stats.rules_failed;
    return false;
  }

  line = 64;
  if (ModeSends(mode_)) {
    const std::string import_rule = RuleField(rules_, "tImportRuleFolder");
    // Its files would be written and never sent, and its last data would move on.
    if (import_rule.empty()) {
      context_.Trace(kExporterClass +
                         ".ExportAll, the rule has no tImportRuleFolder, so none of its files " +
                         "could be sent; it was not run, File: " + target_path_,
                     kEventWarning);
      ++context_.stats.rules_failed;
      return false;
    }
    if (const std::string problem = UnwritableRequestParts(import_rule, target_path_);
        !problem.empty()) {
      context_.Trace(kExporterClass + ".ExportAll, the upload request's " + problem +
                         ", File: " + target_path_,
                     kEventWarning);
    }
  }
  return true;
}

void ExportRun::FinishRun(int& line) {
  line = 7;
  if (platform::StopRequested()) context_.stats.stop_signal = platform::StopSignalNumber();
  QvSharedADO releaser;
  releaser.Release(sources_);
  releaser.Release(rules_);
}

void ExportRun::EndFailedRun(const core::ErrorRecord& error, int line) {
  if (in_rule_) {
    ++context_.stats.rules_failed;
    EndRule();
  }
  if (platform::StopRequested()) context_.stats.stop_signal = platform::StopSignalNumber();
  if (context_.stats.started) {
    context_.stats.aborted = true;
  } else {
    context_.stats.start_failure =
        error.description.empty() ? "@Line#" + std::to_string(line) : error.description;
  }
}

void ExportRun::BeginRule(int32_t index, int64_t total) {
  rule_start_time_ = Clock::now();
  rules_failed_before_ = context_.stats.rules_failed;
  context_.BeginRule(target_path_);
  if (context_.observer)
    context_.observer->RuleStarted(target_path_, index, static_cast<int32_t>(total));
}

void ExportRun::EndRule() {
  RuleStats rule = context_.RuleSoFar();
  rule.failed = context_.stats.rules_failed > rules_failed_before_;
  if (rule.failed) rule.failure = context_.rule_failure;
  rule.seconds = std::chrono::duration<double>(Clock::now() - rule_start_time_).count();
  context_.stats.rules.push_back(rule);
  if (context_.observer) context_.observer->RuleFinished(rule);
}

void ExportRun::TraceStopBeforeRule(int32_t rules_done, int64_t rules_total,
                                    const std::string& next_target) {
  context_.Trace(kExporterClass + ".ExportAll, stopped by " +
                     platform::SignalName(platform::StopSignalNumber()) + ": " +
                     std::to_string(rules_done) + " rule(s) worked through, " +
                     std::to_string(rules_total - rules_done) +
                     " not run, from File: " + next_target,
                 kEventWarning);
}

void ExportRun::TraceStopInRule() {
  context_.Trace(
      kExporterClass + ".ExportAll, stop requested by " +
          platform::SignalName(platform::StopSignalNumber()) + " during File: " + target_path_ +
          "; files of it not yet made or sent were left for the next run, and its last data " +
          "moved on only for what was delivered",
      kEventWarning);
}

}  // namespace qv

#include "export/CQvDataExporter.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <limits>
#include <string_view>
#include <utility>

#include "core/File.h"
#include "core/Folder.h"
#include "core/Text.h"
#include "export/QueryPager.h"
#include "export/RuleRequest.h"
#include "fs/CQvFileSystem.h"
#include "fs/basFileSystemPaths.h"
#include "log/basEventLogger.h"
#include "platform/ProgramFolder.h"
#include "platform/StopSignal.h"
#include "records/basADOUtilities.h"
#include "shared/ErrorBoundary.h"
#include "shared/QvDataSourceList.h"
#include "shared/QvDataSourceLoader.h"
#include "shared/QvSharedADO.h"
#include "shared/QvSharedConvert.h"
#include "shared/QvSharedErrorLog.h"
#include "shared/QvSharedFileSystem.h"
#include "shared/QvSharedStrings.h"
#include "store/CQvXMLManip.h"
#include "store/XmlFileStream.h"
#include "upload/CQVFileXfer.h"

namespace qv {
namespace {

using Clock = std::chrono::steady_clock;
const std::string kClass = "CQvDataExporter";
constexpr const char* kKeyField = "tSID";
constexpr const char* kRulesFile = "QvExportRules.xml";
constexpr const char* kDataSourcesFile = "QvExportDS.xml";
constexpr int32_t kRulesEncodeType = 6;
constexpr int32_t kDataSourcesEncodeType = 1;

std::string Text(const std::shared_ptr<ado::Recordset>& rs, const char* field) {
  return QvSharedStrings::ToText(rs->Fields().Item(field).Value());
}

int32_t CheckedRowNumber(int64_t value) {
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    throw core::Error(core::kErrOverflow, kClass,
                      "row number " + std::to_string(value) + " does not fit in 32 bits");
  }
  return static_cast<int32_t>(value);
}

bool IsWordChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$';
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

bool SameWord(std::string_view word, std::string_view upper) {
  if (word.size() != upper.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != upper[i]) return false;
  }
  return true;
}

// Whether the query sorts its own result: ORDER followed by BY, in any case, outside
// parentheses (a subquery's order), quoted texts and names, and comments.
bool HasOwnOrderBy(std::string_view sql) {
  int depth = 0;
  bool after_order = false;  // the last word at depth 0 was ORDER
  size_t i = 0;
  const auto skip_to = [&](std::string_view end) {
    const size_t found = sql.find(end, i);
    i = found == std::string_view::npos ? sql.size() : found + end.size();
  };
  while (i < sql.size()) {
    const char c = sql[i];
    if (c == '\'' || c == '"' || c == '`') {
      ++i;
      skip_to(std::string_view(&c, 1));
      after_order = false;
    } else if (c == '[') {
      ++i;
      skip_to("]");
      after_order = false;
    } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
      skip_to("\n");
    } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
      i += 2;
      skip_to("*/");
    } else if (c == '(') {
      ++depth;
      ++i;
      after_order = false;
    } else if (c == ')') {
      if (depth > 0) --depth;
      ++i;
      after_order = false;
    } else if (IsWordChar(c)) {
      const size_t start = i;
      while (i < sql.size() && IsWordChar(sql[i])) ++i;
      const std::string_view word = sql.substr(start, i - start);
      if (depth == 0 && after_order && SameWord(word, "BY")) return true;
      after_order = depth == 0 && SameWord(word, "ORDER");
    } else {
      if (!IsBlank(c)) after_order = false;
      ++i;
    }
  }
  return false;
}

// Modes whose export operation ExportRule calls.
bool ModeHasExport(int16_t mode) { return mode >= 1 && mode <= 7; }
// The modes that hand their files to the uploader.
bool ModeSends(int16_t mode) { return mode >= 2 && mode <= 7; }
// The modes that compare each entity by its key.
bool ModeKeyed(int16_t mode) { return mode >= 4 && mode <= 7; }

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

CQvDataExporter::CQvDataExporter() : CQvDataExporter(TraceEvent) {}

CQvDataExporter::CQvDataExporter(TraceFn trace) : trace_(std::move(trace)) {}

void CQvDataExporter::Trace(const std::string& text, int32_t event_type,
                            const core::ErrorRecord& error) const {
  if (error.IsSet() && rule_failure_.empty()) rule_failure_ = error.description;
  if (trace_) trace_(text, error, event_type, kLevelExport);
}

// What ExportAll works through: the run's files and where it stands in them.
struct CQvDataExporter::Run {
  int16_t mode = 0;
  std::string rules_path;
  std::string sources_path;
  std::shared_ptr<ado::Recordset> rules;
  std::shared_ptr<ado::Recordset> sources;
  QvDataSourceList list;
  std::string target_path;  // of the rule being worked on
  std::string rule_label;   // "Rule N of M, File: PATH" for its messages
  bool in_rule = false;
  bool last_tx_done = false;
  Clock::time_point rule_start_time;
  int32_t rules_failed_before = 0;
};

void CQvDataExporter::ExportAll(int16_t mode) {
  const Clock::time_point start_time = Clock::now();
  stats_ = RunStats{};
  stats_.mode = mode;
  const uint64_t bytes_before = CQVFileXfer::Counters().bytes_sent;
  unsent_emptied_.clear();
  warned_links_.clear();
  change_files_.clear();

  Run run;
  run.mode = mode;
  core::ErrorRecord failure;
  GuardByStep<void>(
      [&](const std::string& message, const core::ErrorRecord& error, int32_t, int32_t) {
        failure = error;
        Trace(kClass + ".ExportAll, Error " + run.target_path, kEventInformation, error);
        Trace(message, kEventWarning, error);
      },
      [&](int line) { EndFailedRun(run, failure, line); },
      [&](int& line) {
        if (!LoadRun(run, line)) return;
        ValidateRules(run, line);
        stats_.started = true;
        ExportRules(run, line);
        FinishRun(run, line);
      },
      AtLine(kClass + ".ExportAll, @Line#"));
  // Every upload has ended; a run that stopped sending says so once.
  CQVFileXfer::EndRun();
  stats_.bytes_sent = CQVFileXfer::Counters().bytes_sent - bytes_before;
  stats_.seconds = std::chrono::duration<double>(Clock::now() - start_time).count();
}

bool CQvDataExporter::LoadRun(Run& run, int& line) {
  line = 1;
  Trace(kClass + ".ExportAll, Test Start 001", kEventInformation);
  if (!ModeHasExport(run.mode)) {
    Trace(kClass + ".ExportAll, export mode " + std::to_string(run.mode) + " exports nothing",
          kEventWarning);
  }

  line = 3;
  CQvXMLManip manip;
  const std::string program_folder = platform::ProgramFolder();
  run.rules_path = ConcatenatePath(program_folder, kRulesFile);
  run.rules = manip.OpenXMLToRS(run.rules_path, true, kRulesEncodeType);
  run.sources_path = ConcatenatePath(program_folder, kDataSourcesFile);
  run.sources = manip.OpenXMLToRS(run.sources_path, true, kDataSourcesEncodeType);

  line = 4;
  QvDataSourceLoader loader;
  if (!loader.Load(run.sources, run.list, "", "")) {
    stats_.start_failure = "the data sources of " + run.sources_path + " could not be loaded";
    return false;
  }
  return true;
}

void CQvDataExporter::ValidateRules(const Run& run, int& line) {
  line = 5;
  if (!run.rules || run.rules->State() != ado::adStateOpen) {
    throw core::Error(core::kErrFileNotFound, kClass,
                      run.rules_path + " is missing or is not a recordset file");
  }
  if (run.rules->Eof()) {
    Trace("No records in the " + run.rules_path + " file", kEventWarning);
    return;
  }
  // A field every rule needs but the file lacks would fail the first rule that reaches
  // it; the run cannot do anything useful then.
  std::vector<const char*> required = {"tTargetPath", "nDSID", "tSQLSelect", "tSQLFrom",
                                       "tSQLWhere"};
  if (run.mode >= 2 && run.mode <= 7) required.push_back("tImportRuleFolder");
  for (const char* field : required) {
    if (!FieldExists(run.rules, field)) {
      throw core::Error(core::kErrItemNotFound, kClass, run.rules_path + " has no field " + field);
    }
  }
}

void CQvDataExporter::ExportRules(Run& run, int& line) {
  const std::shared_ptr<ado::Recordset>& rules = run.rules;
  for (int32_t rules_done = 0; !rules->Eof(); rules->MoveNext(), ++rules_done) {
    if (platform::StopRequested()) {
      TraceStopBeforeRule(rules_done, rules->RecordCount(), Text(rules, "tTargetPath"));
      break;
    }
    run.in_rule = true;
    line = 61;
    run.target_path = Text(rules, "tTargetPath");
    // The file the operator named, also in a dry run, which maps it elsewhere.
    run.rule_label = "Rule " + std::to_string(rules_done + 1) + " of " +
                     std::to_string(rules->RecordCount()) + ", File: " + run.target_path;
    if (target_path_map_) run.target_path = target_path_map_(run.target_path);
    BeginRule(run, rules_done, rules->RecordCount());
    Trace(kClass + ".ExportAll, Test Start ZRA 002, File: " + run.target_path, kEventInformation);

    ExportCurrentRule(run, line);

    line = 68;
    Trace(kClass + ".ExportAll, Test Finish ZRA 002, File: " + run.target_path, kEventInformation);
    run.in_rule = false;
    EndRule(run);
  }
}

void CQvDataExporter::ExportCurrentRule(Run& run, int& line) {
  const std::shared_ptr<ado::Recordset>& rules = run.rules;
  const std::string& target_path = run.target_path;
  line = 62;
  const int32_t data_source_id = QvSharedConvert::ToInteger(rules->Fields().Item("nDSID").Value());

  line = 63;
  if (!run.list.Exists(data_source_id)) {
    Trace("No DS found for #" + std::to_string(data_source_id), kEventWarning);
    ++stats_.rules_failed;
    return;
  }

  line = 64;
  if (ModeSends(run.mode)) {
    const std::string import_rule = Text(rules, "tImportRuleFolder");
    // Its files would be written and never sent, and its last data would move on.
    if (import_rule.empty()) {
      Trace(kClass + ".ExportAll, the rule has no tImportRuleFolder, so none of its files " +
                "could be sent; it was not run, File: " + target_path,
            kEventWarning);
      ++stats_.rules_failed;
      return;
    }
    if (const std::string problem = UnwritableRequestParts(import_rule, target_path);
        !problem.empty()) {
      Trace(kClass + ".ExportAll, the upload request's " + problem + ", File: " + target_path,
            kEventWarning);
    }
  }
  const std::string folder = FolderOf(target_path);

  line = 65;
  // A target without a folder part has no LastTx beside it; joining "" would point at
  // the root.
  if (!run.last_tx_done && !folder.empty()) ClearOwnFolder(ConcatenatePath(folder, "LastTx"));
  run.last_tx_done = true;

  line = 66;
  const std::string sql = BuildSQLText(rules);

  line = 67;
  const int32_t failures_before = stats_.failures + stats_.sends_failed;
  const int32_t query_failures_before = stats_.failures;
  const std::shared_ptr<QvDataSource> data_source = run.list.Item(data_source_id);
  if (ModeKeyed(run.mode) && !QueryHasKey(data_source, sql)) {
    // Its last data could never be compared: every later run would send the whole
    // result again and fail each page.
    Trace(kClass + ".ExportAll, the query has no field tSID, which mode " +
              std::to_string(run.mode) +
              " keys each entity by; the rule was not run, File: " + target_path,
          kEventWarning);
    ++stats_.rules_failed;
    return;
  }
  // A value the file cannot hold names the rule and the entity it belongs to.
  data_source->SetRowNaming({run.rule_label, kKeyField});
  if (ExportRule(run.mode, rules, data_source, sql, target_path, folder)) {
    ++stats_.rules_run;
    if (stats_.failures + stats_.sends_failed > failures_before) ++stats_.rules_failed;
  }
  // A connection that died stays open in name and would fail every later rule of its
  // data source; the next rule tries a new one instead.
  if (stats_.failures > query_failures_before) data_source->DropConnection();
  if (platform::StopRequested()) TraceStopInRule(target_path);
}

void CQvDataExporter::FinishRun(Run& run, int& line) {
  line = 7;
  if (platform::StopRequested()) stats_.stop_signal = platform::StopSignalNumber();
  QvSharedADO releaser;
  releaser.Release(run.sources);
  releaser.Release(run.rules);
}

void CQvDataExporter::EndFailedRun(Run& run, const core::ErrorRecord& error, int line) {
  if (run.in_rule) {
    ++stats_.rules_failed;
    EndRule(run);
  }
  if (platform::StopRequested()) stats_.stop_signal = platform::StopSignalNumber();
  if (stats_.started) {
    stats_.aborted = true;
  } else {
    stats_.start_failure =
        error.description.empty() ? "@Line#" + std::to_string(line) : error.description;
  }
}

void CQvDataExporter::BeginRule(Run& run, int32_t index, int64_t total) {
  run.rule_start_time = Clock::now();
  run.rules_failed_before = stats_.rules_failed;
  rule_start_ = stats_;  // NOLINT(cppcoreguidelines-slicing): only the counts are kept
  rule_ = RuleStats{};
  rule_failure_.clear();
  rule_.target_path = run.target_path;
  if (observer_) observer_->RuleStarted(run.target_path, index, static_cast<int32_t>(total));
}

void CQvDataExporter::EndRule(Run& run) {
  RuleStats rule = RuleSoFar();
  rule.failed = stats_.rules_failed > run.rules_failed_before;
  if (rule.failed) rule.failure = rule_failure_;
  rule.seconds = std::chrono::duration<double>(Clock::now() - run.rule_start_time).count();
  stats_.rules.push_back(rule);
  if (observer_) observer_->RuleFinished(rule);
}

RuleStats CQvDataExporter::RuleSoFar() const {
  RuleStats rule = rule_;
  static_cast<RunCounts&>(rule) = stats_.Since(rule_start_);
  return rule;
}

void CQvDataExporter::NotifyProgress() {
  if (observer_) observer_->RuleProgress(RuleSoFar());
}

void CQvDataExporter::TraceStopBeforeRule(int32_t rules_done, int64_t rules_total,
                                          const std::string& next_target) {
  Trace(kClass + ".ExportAll, stopped by " + platform::SignalName(platform::StopSignalNumber()) +
            ": " + std::to_string(rules_done) + " rule(s) worked through, " +
            std::to_string(rules_total - rules_done) + " not run, from File: " + next_target,
        kEventWarning);
}

void CQvDataExporter::TraceStopInRule(const std::string& target_path) {
  Trace(kClass + ".ExportAll, stop requested by " +
            platform::SignalName(platform::StopSignalNumber()) + " during File: " + target_path +
            "; files of it not yet made or sent were left for the next run, and its last data " +
            "moved on only for what was delivered",
        kEventWarning);
}

bool CQvDataExporter::ExportRule(int16_t mode, const std::shared_ptr<ado::Recordset>& rules,
                                 const std::shared_ptr<QvDataSource>& data_source,
                                 const std::string& sql, const std::string& target_path,
                                 const std::string& folder) {
  if (ModeHasExport(mode)) RemoveTemporaries(target_path);
  repeated_key_reported_ = false;
  switch (mode) {
    case 1: {
      // One data source that cannot be reached fails its rules, not the whole run.
      const auto connection = Guarded(
          std::nullopt,
          [&](int&) -> std::optional<std::shared_ptr<ado::Connection>> {
            return data_source->GetConnection(QvDataSource::kSharedConnection);
          },
          Fixed(kClass + ".ExportAll, no connection, File: " + target_path));
      if (connection) Export(sql, *connection, target_path, false, "");
      return true;
    }
    case 2:
    case 3: {
      const std::string upload_folder = Text(rules, "tImportRuleFolder");
      EmptyUnsentOnce(folder);
      ExportSplit(sql, data_source, target_path, upload_folder, mode == 2 ? 5 : 20);
      return true;
    }
    // The change-detection exports: per entity (4), changed pages of 20 or 100 rows
    // (5, 6) and changed records page by page (7). They do not write every file again,
    // so they leave the Unsent folder alone.
    case 4: {
      int32_t changed = 0;
      Export_DiffPerEntity(sql, data_source, target_path, Text(rules, "tImportRuleFolder"),
                           changed);
      return true;
    }
    case 5:
    case 6:
      Export_EntGrpDiff_BinDiff(sql, data_source, target_path, Text(rules, "tImportRuleFolder"),
                                mode == 5 ? 20 : 100);
      return true;
    case 7:
      Export_EntGrpQuery_DiffPerEntity_VarFiles(sql, data_source, target_path,
                                                Text(rules, "tImportRuleFolder"), 100);
      return true;
    default:
      return false;
  }
}

void CQvDataExporter::EmptyUnsentOnce(const std::string& folder) {
  // Undelivered files of an earlier run are made again and sent by this one, so the
  // old copies go; once per folder, so this run's own undelivered files stay.
  if (folder.empty()) return;
  const std::string unsent =
      std::filesystem::path(ConcatenatePath(folder, "Unsent")).lexically_normal().string();
  if (!unsent_emptied_.insert(unsent).second) return;
  ClearOwnFolder(unsent);
}

std::shared_ptr<ado::Recordset> CQvDataExporter::GetRS(
    const std::string& sql, const std::shared_ptr<ado::Connection>& connection) {
  return Guarded(
      nullptr,
      [&](int&) {
        if (!connection) throw core::Error(core::kErrObjectRequired, kClass, "no connection");
        std::shared_ptr<ado::Recordset> rs = NewResultRecordset(sql);
        rs->SetActiveConnection(connection);
        rs->Open(ado::Variant(), nullptr, ado::adOpenUnspecified, ado::adLockUnspecified, -1);
        rs->SetActiveConnection(nullptr);
        // Values the file cannot hold as they came (a NUL in a text) were changed on the way.
        TraceValueWarnings(connection->TakeWarnings());
        return rs;
      },
      Fixed(kClass + ".GetRS"));
}

bool CQvDataExporter::Export(const std::string& sql,
                             const std::shared_ptr<ado::Connection>& connection,
                             const std::string& target_file, bool encode,
                             const std::string& upload_folder) {
  return Guarded(
      false,
      [&](int&) {
        if (encode) {
          const std::shared_ptr<ado::Recordset> rs = GetRS(sql, connection);
          if (!rs)
            throw core::Error(core::kErrObjectRequired, kClass, "the query gave no recordset");
          return SaveAndSend(rs, target_file, encode, upload_folder);
        }

        // Unencoded rows go from the driver to the file a block at a time: the result is
        // never held whole, whatever its size.
        std::unique_ptr<ado::QueryCursor> cursor = OpenQuery(sql, connection);
        if (!cursor)
          throw core::Error(core::kErrObjectRequired, kClass, "the query gave no recordset");
        CreateFolderOf(target_file);
        Trace("Save to " + target_file, kEventInformation);
        const std::optional<int64_t> rows = CQvXMLManip().SaveQueryToXML(*cursor, target_file);
        TraceValueWarnings(cursor->Warnings());
        if (rows == 0) Trace("The query returned no records", kEventWarning);
        if (rows) stats_.rows_read += *rows;
        return SendWritten(rows.has_value(), target_file, upload_folder);
      },
      Fixed(kClass + ".Export"));
}

CQvDataExporter::DeferredFlush::DeferredFlush(CQvDataExporter& exporter, std::string result_path)
    : exporter_(exporter), result_path_(std::move(result_path)) {
  exporter_.flush_each_file_ = false;
}

CQvDataExporter::DeferredFlush::~DeferredFlush() {
  exporter_.flush_each_file_ = true;
  // Not flushed, a file may be lost to a crash of the machine, never half-written: the
  // rename that put it in place is atomic. Lost last data only makes the next run send
  // again what it held.
  if (!core::SyncFolderOf(result_path_, core::FolderSync::kFileSystem)) {
    exporter_.Trace(
        kClass + ".Export, the files written could not be flushed to disk: " + result_path_,
        kEventWarning);
  }
}

bool CQvDataExporter::SaveAndSend(const std::shared_ptr<ado::Recordset>& rs,
                                  const std::string& target_file, bool encode,
                                  const std::string& upload_folder) {
  return Guarded(
      false,
      [&](int&) {
        CreateFolderOf(target_file);
        if (rs->Eof()) Trace("The query returned no records", kEventWarning);
        Trace("Save to " + target_file, kEventInformation);

        return SendWritten(
            CQvXMLManip().SaveRSToXML(rs, target_file, encode, false, 1, flush_each_file_),
            target_file, upload_folder);
      },
      Fixed(kClass + ".Export"));
}

bool CQvDataExporter::SavePartAndSend(QueryPager& pager, int64_t rows, const std::string& part_file,
                                      const std::string& upload_folder) {
  CreateFolderOf(part_file);
  Trace("Save to " + part_file, kEventInformation);
  std::optional<int64_t> written;
  try {
    XmlFileStream out(part_file, pager.Fields());
    written = pager.WriteNext(rows, out);
    out.Commit(flush_each_file_);
  } catch (...) {
    written.reset();
    Trace(kClass + ".Export", kEventWarning, CurrentErrorRecord());
  }
  if (written) stats_.rows_read += *written;
  if (written == 0) Trace("The query returned no records", kEventWarning);
  return SendWritten(written.has_value(), part_file, upload_folder);
}

bool CQvDataExporter::SendWritten(bool written, const std::string& target_file,
                                  const std::string& upload_folder) {
  if (!written) {
    // Sending would deliver an old file or none: report and send nothing.
    Trace(kClass + ".Export, the file could not be written: " + target_file, kEventWarning);
    ++stats_.failures;
    return false;
  }
  ++stats_.files_written;
  Send(target_file, upload_folder);
  return true;
}

void CQvDataExporter::Send(const std::string& file, const std::string& upload_folder) {
  if (upload_folder.empty()) return;
  CQVFileXfer transfer;
  transfer.MoveToLastTx = true;
  if (transfer.TransferFile(file, upload_folder)) {
    ++stats_.files_sent;
  } else {
    ++stats_.sends_failed;
  }
  NotifyProgress();
}

void CQvDataExporter::TraceValueWarnings(const std::vector<std::string>& warnings) {
  for (const std::string& warning : warnings) Trace(kClass + ".GetRS, " + warning, kEventWarning);
}

std::string CQvDataExporter::FolderOf(const std::string& path) {
  std::string folder;
  std::string file_name;
  std::string extension;
  QvSharedFileSystem::SplitFilePath(path, folder, file_name, extension);
  return folder;
}

void CQvDataExporter::CreateFolderOf(const std::string& file) {
  const std::string folder = FolderOf(file);
  if (!folder.empty() && !QvSharedFileSystem::CheckFolderExists(folder, true)) {
    QvSharedFileSystem::CreateFolder(folder);
  }
}

std::unique_ptr<ado::QueryCursor> CQvDataExporter::OpenQuery(
    const std::string& sql, const std::shared_ptr<ado::Connection>& connection) {
  return Guarded(
      nullptr,
      [&](int&) {
        if (!connection) throw core::Error(core::kErrObjectRequired, kClass, "no connection");
        return connection->OpenCursor(sql);
      },
      Fixed(kClass + ".GetRS"));
}

std::optional<int32_t> CQvDataExporter::CountRows(
    const std::string& sql, const std::shared_ptr<ado::Connection>& connection) {
  return Guarded(
      std::nullopt,
      [&](int& line) -> std::optional<int32_t> {
        line = 1;
        if (!connection) throw core::Error(core::kErrObjectRequired, kClass, "no connection");
        connection->SetCommandTimeout(0);

        line = 2;
        const int64_t rows = connection->CountRows(sql);

        line = 3;
        if (rows > std::numeric_limits<int32_t>::max()) {
          throw core::Error(core::kErrOverflow, kClass,
                            "the query returns " + std::to_string(rows) + " rows");
        }
        const auto count = static_cast<int32_t>(rows);
        Trace(kClass + ".GetCount, GetCount: " + std::to_string(count), kEventInformation);
        return count;
      },
      AtLine(kClass + ".GetCount, @Line#"));
}

int32_t CQvDataExporter::GetCount(const std::string& sql,
                                  const std::shared_ptr<ado::Connection>& connection) {
  return CountRows(sql, connection).value_or(0);
}

std::string CQvDataExporter::AddFetchRangeToSQL(const std::string& sql, int32_t from_row,
                                                int32_t to_row) {
  const int32_t row_count = CheckedRowNumber(int64_t{to_row} - from_row + 1);
  std::string text = AddRowOrderToSQL(sql);
  text += " OFFSET ";
  text += std::to_string(from_row);
  text += " ROWS ";
  text += " FETCH NEXT ";
  text += std::to_string(row_count);
  text += " ROWS ONLY";
  return text;
}

std::string CQvDataExporter::AddRowOrderToSQL(const std::string& sql) {
  std::string text = sql;
  text += HasOwnOrderBy(sql) ? ", " : " ORDER BY ";
  text += " 1";
  return text;
}

std::vector<CQvDataExporter::RowRange> CQvDataExporter::SplitIntoRanges(int32_t total,
                                                                        int32_t parts) {
  if (parts <= 0) {
    throw core::Error(core::kErrInvalidProcedureCall, kClass,
                      "a split export needs at least one part, not " + std::to_string(parts));
  }
  if (total < 0) {
    throw core::Error(core::kErrInvalidProcedureCall, kClass,
                      "a row count cannot be negative: " + std::to_string(total));
  }
  const int64_t per_part = total / parts + (total % parts > 0 ? 1 : 0);
  std::vector<RowRange> ranges;
  ranges.reserve(static_cast<size_t>(parts));
  int64_t first = 0;
  for (int32_t i = 0; i < parts; ++i) {
    ranges.push_back({CheckedRowNumber(first), CheckedRowNumber(first + per_part - 1)});
    first += per_part;
  }
  return ranges;
}

void CQvDataExporter::ExportSplit(const std::string& sql,
                                  const std::shared_ptr<QvDataSource>& data_source,
                                  const std::string& target_path, const std::string& upload_folder,
                                  int32_t parts) {
  Guarded(
      [&](int& line) {
        line = 1;
        Trace(kClass + ".ExportSplit, Test Start ZRA 001, File: " + target_path, kEventInformation);

        line = 2;
        if (!data_source) throw core::Error(core::kErrObjectRequired, kClass, "no data source");
        // A count that failed is not a count of 0: empty parts would replace the data the
        // receiver holds.
        const std::optional<int32_t> total =
            CountRows(sql, data_source->GetConnection(QvDataSource::kSharedConnection));
        if (!total)
          throw core::Error(core::kErrInvalidProcedureCall, kClass,
                            "the rows could not be counted");

        line = 3;
        const std::vector<RowRange> ranges = SplitIntoRanges(*total, parts);
        rule_.pages_total = parts;
        const DeferredFlush flush(*this, target_path);
        // One read in the parts' row order, cut into the ranges, instead of one query per
        // part: linear in the rows, and no row can fall between two parts' queries.
        // Read out whole first, so that the database is not held while the parts are sent.
        CreateFolderOf(target_path);
        QueryPager pager(data_source->GetConnection(QvDataSource::kSharedConnection), sql,
                         target_path);

        for (size_t i = 0; i < ranges.size(); ++i) {
          if (platform::StopRequested()) break;
          line = 4;
          const std::string part_file = target_path + "_" + std::to_string(i);
          Trace(kClass + ".ExportSplit, Test Start ZRA 001, File: " + part_file, kEventInformation);

          line = 5;
          ++stats_.pages;
          // A part that could not be read or written ends the split: the rows after it
          // would land in the wrong parts.
          if (!SavePartAndSend(pager, ranges[i].to_row - ranges[i].from_row + 1, part_file,
                               upload_folder)) {
            throw core::Error(core::kErrPathNotFound, kClass, part_file + " was not written");
          }

          line = 6;
          Trace(kClass + ".ExportSplit, Test End ZRA 001, File: " + part_file, kEventInformation);
        }
        TraceValueWarnings(pager.Warnings());
      },
      AtLine(kClass + ".ExportSplit, @Line#"));
}

std::string CQvDataExporter::BuildSQLText(const std::shared_ptr<ado::Recordset>& rules) {
  std::string sql =
      Text(rules, "tSQLSelect") + " " + Text(rules, "tSQLFrom") + " " + Text(rules, "tSQLWhere");
  if (FieldExists(rules, "tSQLOrderBy")) sql += " " + Text(rules, "tSQLOrderBy");
  return sql;
}

}  // namespace qv

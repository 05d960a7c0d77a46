#include "export/CQvDataExporter.h"

#include <chrono>
#include <cmath>
#include <random>

#include "core/Random.h"
#include "export/ExportRun.h"
#include "export/RuleSql.h"
#include "fs/CQvFileSystem.h"
#include "log/basEventLogger.h"
#include "shared/QvSharedErrorLog.h"
#include "shared/QvSharedStrings.h"
#include "store/CQvXMLManip.h"
#include "upload/CQVFileXfer.h"

namespace qv {
namespace {

// Appends "chgd" to the field's value; false when the record has no such field or the
// value is refused.
bool MarkChanged(const std::shared_ptr<ado::Recordset>& rs, const char* field_name) {
  try {
    ado::Field field = rs->Fields().Item(field_name);
    field.SetValue(ado::Variant(QvSharedStrings::ToText(field.Value()) + "chgd"));
    return true;
  } catch (const core::Error&) {
    return false;
  }
}

}  // namespace

CQvDataExporter::CQvDataExporter() : CQvDataExporter(TraceEvent) {}

CQvDataExporter::CQvDataExporter(TraceFn trace) : context_(std::move(trace)) {}

void CQvDataExporter::ExportAll(int16_t mode) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start_time = Clock::now();
  context_.stats = RunStats{};
  context_.stats.mode = mode;
  std::vector<std::string> warnings;
  context_.deletions = DeletionPolicy::FromRegistry(warnings);
  for (const std::string& warning : warnings)
    context_.Trace(kExporterClass + ".ExportAll, " + warning, kEventWarning);
  context_.stats.deletions_on = context_.deletions.send;
  const uint64_t bytes_before = CQVFileXfer::Counters().bytes_sent;
  outbox_.BeginRun();
  ExportRun run(
      context_, outbox_, mode,
      [this](ExportMode rule_mode, const std::shared_ptr<ado::Recordset>& rules,
             const std::shared_ptr<QvDataSource>& data_source, const std::string& sql,
             const std::string& target_path, const std::string& folder) {
        return ExportRule(rule_mode, rules, data_source, sql, target_path, folder);
      },
      target_path_map_);
  run.Go();
  // Every upload has ended; a run that stopped sending says so once.
  CQVFileXfer::EndRun();
  context_.stats.bytes_sent = CQVFileXfer::Counters().bytes_sent - bytes_before;
  context_.stats.seconds = std::chrono::duration<double>(Clock::now() - start_time).count();
}

bool CQvDataExporter::ExportRule(ExportMode mode, const std::shared_ptr<ado::Recordset>& rules,
                                 const std::shared_ptr<QvDataSource>& data_source,
                                 const std::string& sql, const std::string& target_path,
                                 const std::string& folder) {
  if (ModeHasExport(mode)) outbox_.RemoveTemporaries(target_path);
  context_.repeated_key_reported = false;
  switch (mode) {
    case ExportMode::kWhole: {
      // One data source that cannot be reached fails its rules, not the whole run.
      const auto connection = context_.Guarded(
          std::nullopt,
          [&](int&) -> std::optional<std::shared_ptr<ado::Connection>> {
            return data_source->GetConnection(QvDataSource::kSharedConnection);
          },
          Fixed(kExporterClass + ".ExportAll, no connection, File: " + target_path));
      if (connection) results_.ExportStreamed(sql, *connection, target_path, "");
      return true;
    }
    case ExportMode::kSplitInFive:
    case ExportMode::kSplitInTwenty: {
      const std::string upload_folder = RuleField(rules, "tImportRuleFolder");
      outbox_.EmptyUnsentOnce(folder);
      split_.ExportSplit(sql, data_source, target_path, upload_folder,
                         mode == ExportMode::kSplitInFive ? 5 : 20);
      return true;
    }
    // The change-detection exports: per entity (4), changed pages of 20 or 100 rows
    // (5, 6) and changed records page by page (7). They do not write every file again,
    // so they leave the Unsent folder alone.
    case ExportMode::kPerEntity: {
      int32_t changed = 0;
      entity_diff_.Export_DiffPerEntity(sql, data_source, target_path,
                                        RuleField(rules, "tImportRuleFolder"), changed);
      return true;
    }
    case ExportMode::kPagesOfTwenty:
    case ExportMode::kPagesOfHundred:
      page_bytes_.Export_EntGrpDiff_BinDiff(sql, data_source, target_path,
                                            RuleField(rules, "tImportRuleFolder"),
                                            mode == ExportMode::kPagesOfTwenty ? 20 : 100);
      return true;
    case ExportMode::kPagedPerEntity:
      paged_entities_.Export_EntGrpQuery_DiffPerEntity_VarFiles(
          sql, data_source, target_path, RuleField(rules, "tImportRuleFolder"), 100);
      return true;
    case ExportMode::kNone:
      break;
  }
  return false;
}

bool CQvDataExporter::Export(const std::string& sql,
                             const std::shared_ptr<ado::Connection>& connection,
                             const std::string& target_file, bool encode,
                             const std::string& upload_folder) {
  return results_.Export(sql, connection, target_file, encode, upload_folder);
}

std::shared_ptr<ado::Recordset> CQvDataExporter::GetRS(
    const std::string& sql, const std::shared_ptr<ado::Connection>& connection) {
  return results_.GetRS(sql, connection);
}

int32_t CQvDataExporter::GetCount(const std::string& sql,
                                  const std::shared_ptr<ado::Connection>& connection) {
  return results_.CountRows(sql, connection).value_or(0);
}

std::string CQvDataExporter::AddFetchRangeToSQL(const std::string& sql, int32_t from_row,
                                                int32_t to_row) {
  return WithFetchRange(sql, from_row, to_row);
}

std::string CQvDataExporter::AddRowOrderToSQL(const std::string& sql) { return WithRowOrder(sql); }

std::string CQvDataExporter::BuildSQLText(const std::shared_ptr<ado::Recordset>& rules) {
  return RuleSqlText(rules);
}

void CQvDataExporter::ExportSplit(const std::string& sql,
                                  const std::shared_ptr<QvDataSource>& data_source,
                                  const std::string& target_path, const std::string& upload_folder,
                                  int32_t parts) {
  split_.ExportSplit(sql, data_source, target_path, upload_folder, parts);
}

std::vector<CQvDataExporter::RowRange> CQvDataExporter::SplitIntoRanges(int32_t total,
                                                                        int32_t parts) {
  return SplitExport::SplitIntoRanges(total, parts);
}

std::string CQvDataExporter::GetLasDataFolder(const std::string& result_path) const {
  return last_.GetLasDataFolder(result_path);
}

std::string CQvDataExporter::GetLasDataFileName(const std::string& result_path) const {
  return last_.GetLasDataFileName(result_path);
}

std::shared_ptr<ado::Recordset> CQvDataExporter::GetLastDataRS(const std::string& result_path) {
  return last_.GetLastDataRS(result_path);
}

std::string CQvDataExporter::FindLastData(const std::string& result_path) {
  return last_.FindLastData(result_path);
}

bool CQvDataExporter::CreateLastDataFileFromRS(const std::string& result_path,
                                               const std::shared_ptr<ado::Recordset>& rs) {
  return last_.CreateLastDataFileFromRS(result_path, rs);
}

bool CQvDataExporter::CreateLastDataFile(const std::string& result_path) {
  return last_.CreateLastDataFile(result_path);
}

void CQvDataExporter::Export_DiffPerEntity(const std::string& sql,
                                           const std::shared_ptr<QvDataSource>& data_source,
                                           const std::string& result_path,
                                           const std::string& import_rule, int32_t& changed_count) {
  entity_diff_.Export_DiffPerEntity(sql, data_source, result_path, import_rule, changed_count);
}

bool CQvDataExporter::Process_DiffOneEntity(const std::shared_ptr<ado::Recordset>& rs,
                                            const std::shared_ptr<ado::Recordset>& last,
                                            const std::string& result_path,
                                            const std::string& import_rule) {
  return entity_diff_.Process_DiffOneEntity(rs, last, result_path, import_rule);
}

bool CQvDataExporter::EntityHasChangedAttributes(const std::shared_ptr<ado::Recordset>& rs,
                                                 const std::shared_ptr<ado::Recordset>& last) {
  return entity_diff_.EntityHasChangedAttributes(rs, last);
}

bool CQvDataExporter::IsTS_TypeAttribute(const std::string& field_name) {
  return IsSourceTimestamp(field_name);
}

void CQvDataExporter::Export_EntGrpDiff_BinDiff(const std::string& sql,
                                                const std::shared_ptr<QvDataSource>& data_source,
                                                const std::string& result_path,
                                                const std::string& import_rule, int32_t page_size) {
  page_bytes_.Export_EntGrpDiff_BinDiff(sql, data_source, result_path, import_rule, page_size);
}

void CQvDataExporter::Export_EntGrpQuery_DiffPerEntity_VarFiles(
    const std::string& sql, const std::shared_ptr<QvDataSource>& data_source,
    const std::string& result_path, const std::string& import_rule, int32_t page_size) {
  paged_entities_.Export_EntGrpQuery_DiffPerEntity_VarFiles(sql, data_source, result_path,
                                                            import_rule, page_size);
}

void CQvDataExporter::CreateChangedFilesForQRTTests(const std::string& result_path) {
  CQvFileSystem file_system;
  const std::string folder = last_.GetLasDataFolder(result_path);
  context_.Trace("Last Data Folder :" + folder, kEventInformation);
  std::vector<FsoFile> files;
  if (!file_system.GetFiles(folder, files)) return;
  for (const FsoFile& file : files) SaveChangedRSTest(file.Path);
}

void CQvDataExporter::SaveChangedRSTest(const std::string& path) {
  std::uniform_real_distribution<double> draw(0.0, 1.0);
  // Two decimals first, then the nearest whole number with halves to even.
  const double percent = std::round(draw(core::Random()) * 100.0 * 100.0) / 100.0;
  SaveChangedRSTest(path, static_cast<int32_t>(std::nearbyint(percent)));
}

void CQvDataExporter::SaveChangedRSTest(const std::string& path, int32_t share) {
  // A test aid: its failures are reported, not counted.
  const auto report = [this](const std::string& text, const core::ErrorRecord& error,
                             int32_t event_type,
                             int32_t) { context_.Trace(text, event_type, error); };
  GuardByStep<void>(
      report, [](int) {},
      [&](int& line) {
        line = 2;
        CQvXMLManip manip;
        const std::shared_ptr<ado::Recordset> rs = manip.OpenXMLToRS(path, false, kPlainText);
        if (!rs || rs->State() != ado::adStateOpen) {
          throw core::Error(core::kErrInvalidPersistedFile, kExporterClass,
                            path + " is not a recordset file");
        }
        const int64_t records = rs->RecordCount();

        line = 3;
        const auto to_change = static_cast<int64_t>(
            std::nearbyint(static_cast<double>(share) * static_cast<double>(records) / 100.0));
        const int64_t to_keep = records - to_change;

        line = 4;
        int64_t changed = 0;
        int64_t kept = 0;
        for (int64_t i = 0; !rs->Eof(); rs->MoveNext(), ++i) {
          const bool even = i % 2 == 0;
          if (!((even && changed < to_change) || (!even && kept >= to_keep))) {
            ++kept;
            continue;
          }
          line = 5;
          if (!MarkChanged(rs, "Computer")) {
            ado::Field field = rs->Fields().Item("Application_Name");
            field.SetValue(ado::Variant(QvSharedStrings::ToText(field.Value()) + "chgd"));
          }
          rs->Update();
          ++changed;
          line = 4;
        }

        line = 6;
        if (records > 0) rs->MoveFirst();
        if (!manip.SaveRSToXML(rs, path, false, false, kPlainText)) {
          throw core::Error(core::kErrPathNotFound, kExporterClass, path + " could not be written");
        }
      },
      AtLine(kExporterClass + ".SaveChangedRS, File:" + path + " @Line#"));
}

}  // namespace qv

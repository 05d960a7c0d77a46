// The paged change-detecting exports and the test aids that alter last data.

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/Random.h"
#include "export/CQvDataExporter.h"
#include "export/PageWalk.h"
#include "export/QueryPager.h"
#include "export/ResultFileNames.h"
#include "fs/CQvFileSystem.h"
#include "platform/StopSignal.h"
#include "shared/ErrorBoundary.h"
#include "shared/QvSharedStrings.h"
#include "store/CQvXMLManip.h"
#include "upload/CQVFileXfer.h"
#include "xmlformat/XmlWriter.h"

namespace qv {
namespace {

const std::string kClass = "CQvDataExporter";
constexpr int32_t kPlainText = 1;

// Rows start to end (inclusive) of the query, as the paged exports walk them.
struct Page {
  int32_t start = 0;
  int32_t end = 0;
};

void CheckPageSize(int32_t page_size) {
  if (page_size <= 0) {
    throw core::Error(core::kErrInvalidProcedureCall, kClass,
                      "a page needs at least one row, not " + std::to_string(page_size));
  }
}

// The page starting at `start`; throws when its row numbers do not fit in 32 bits.
Page PageAt(int64_t start, int32_t page_size) {
  const int64_t end = start + page_size - 1;
  if (end > INT32_MAX) {
    throw core::Error(core::kErrOverflow, kClass,
                      "row number " + std::to_string(end) + " does not fit in 32 bits");
  }
  return {static_cast<int32_t>(start), static_cast<int32_t>(end)};
}

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

void CQvDataExporter::Export_EntGrpDiff_BinDiff(const std::string& sql,
                                                const std::shared_ptr<QvDataSource>& data_source,
                                                const std::string& result_path,
                                                const std::string& import_rule, int32_t page_size) {
  Guarded(
      [&](int& line) {
        line = 1;
        CQVFileXfer transfer;  // uploaded pages stay where they are

        line = 2;
        Trace(kClass + ".Export_EntGrpDiff_BinDiff, Test Start ZRA 001, File: " + result_path,
              kEventInformation);

        line = 3;
        if (!data_source) throw core::Error(core::kErrObjectRequired, kClass, "no data source");
        CheckPageSize(page_size);
        // One read in the pages' row order, cut into pages here: no query per page. It is
        // read out whole first, so that the database is not held while pages are sent.
        CreateFolderOf(result_path);
        QueryPager pager(data_source->GetConnection(QvDataSource::kSharedConnection), sql,
                         result_path);
        const DeferredFlush flush(*this, result_path);

        CQvFileSystem file_system;
        for (int64_t start = 0;; start += page_size) {
          if (platform::StopRequested()) break;
          line = 41;
          const Page page = PageAt(start, page_size);
          const std::shared_ptr<ado::Recordset> rows = pager.NextPage(page_size);
          if (rows->RecordCount() == 0) break;
          stats_.rows_read += rows->RecordCount();
          ++stats_.pages;
          const std::string page_file = PageFilePath(result_path, page.start, page.end);

          line = 42;
          Trace(kClass + ".Export_EntGrpDiff_BinDiff, Test Start ZRA 001, File: " + page_file,
                kEventInformation);

          line = 43;
          const bool written = SaveAndSend(rows, page_file, false, "");

          line = 44;
          // The page becomes its last data only once the receiver has what it holds; a
          // page file that was not written again is an older one.
          bool advance = false;
          if (written) {
            const std::string last_file = GetLasDataFileName(page_file);
            if (file_system.AreFilesTheSame(page_file, last_file, true)) {
              advance = true;
            } else {
              if (transfer.TransferFile(page_file, import_rule)) {
                ++stats_.files_sent;
                advance = true;
              } else {
                ++stats_.sends_failed;
              }
              Trace(kClass + ".Export_EntGrpDiff_BinDiff, Files different: " + page_file +
                        "\r\n vs last data:" + last_file,
                    kEventInformation);
            }
            Trace(kClass + ".Export_EntGrpDiff_BinDiff, Test End ZRA 001, File: " + page_file,
                  kEventInformation);
          }

          line = 45;
          if (advance) CreateLastDataFile(page_file);
          NotifyProgress();
          if (rows->RecordCount() < page_size) break;
        }
        TraceValueWarnings(pager.Warnings());
      },
      AtLine(kClass + ".Export_EntGrpDiff_BinDiff, @Line#"));
}

void CQvDataExporter::Export_EntGrpQuery_DiffPerEntity_VarFiles(
    const std::string& sql, const std::shared_ptr<QvDataSource>& data_source,
    const std::string& result_path, const std::string& import_rule, int32_t page_size) {
  Guarded(
      [&](int& line) {
        line = 1;
        Trace(kClass + ".Export_EntGrpQuery_DiffPerEntity_VarFiles, Test Start ZRA 001, File: " +
                  result_path,
              kEventInformation);

        line = 2;
        if (!data_source) throw core::Error(core::kErrObjectRequired, kClass, "no data source");
        CheckPageSize(page_size);
        // One read in the pages' row order, cut into pages here: no query per page. It is
        // read out whole first, so that the database is not held while changes are sent.
        CreateFolderOf(result_path);
        QueryPager pager(data_source->GetConnection(QvDataSource::kSharedConnection), sql,
                         result_path);

        line = 3;
        folder_listings_.clear();
        const DeferredFlush flush(*this, result_path);
        const std::unique_ptr<PageWalk> walk = BeginPageWalk(
            result_path, import_rule, page_size, pager.Fields(), pager.TotalRows().value_or(0));
        int32_t total_changed = 0;
        bool completed = true;
        for (int64_t start = 0;; start += page_size) {
          if (platform::StopRequested()) {
            completed = false;
            break;
          }
          const Page page = PageAt(start, page_size);
          const std::shared_ptr<ado::Recordset> rows = pager.NextPage(page_size);
          if (rows->RecordCount() == 0) break;
          stats_.rows_read += rows->RecordCount();
          ++stats_.pages;
          int32_t changed = 0;
          DiffPage(*walk, page.start, page.end, rows, changed);
          total_changed += changed;
          NotifyProgress();
          if (rows->RecordCount() < page_size) break;
        }
        TraceValueWarnings(pager.Warnings());
        EndPageWalk(*walk, completed && !platform::StopRequested());
        total_changed += walk->entities_delivered;

        line = 4;
        Trace("QRT Total per Entity Level:: Total records:" + std::to_string(pager.RowsRead()) +
                  ", Changed:" + std::to_string(total_changed),
              kEventInformation);
      },
      AtLine(kClass + ".Export_EntGrpQuery_DiffPerEntity_VarFiles, @Line#"));
}

void CQvDataExporter::CreateChangedFilesForQRTTests(const std::string& result_path) {
  CQvFileSystem file_system;
  const std::string folder = GetLasDataFolder(result_path);
  Trace("Last Data Folder :" + folder, kEventInformation);
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
                             int32_t event_type, int32_t) { Trace(text, event_type, error); };
  GuardByStep<void>(
      report, [](int) {},
      [&](int& line) {
        line = 2;
        CQvXMLManip manip;
        const std::shared_ptr<ado::Recordset> rs = manip.OpenXMLToRS(path, false, kPlainText);
        if (!rs || rs->State() != ado::adStateOpen) {
          throw core::Error(core::kErrInvalidPersistedFile, kClass,
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
          throw core::Error(core::kErrPathNotFound, kClass, path + " could not be written");
        }
      },
      AtLine(kClass + ".SaveChangedRS, File:" + path + " @Line#"));
}

}  // namespace qv

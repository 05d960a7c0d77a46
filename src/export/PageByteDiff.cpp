#include "export/PageByteDiff.h"

#include "export/QueryPager.h"
#include "export/ResultFileNames.h"
#include "fs/CQvFileSystem.h"
#include "platform/StopSignal.h"
#include "shared/QvSharedErrorLog.h"
#include "upload/CQVFileXfer.h"

namespace qv {

void PageByteDiff::Export_EntGrpDiff_BinDiff(const std::string& sql,
                                             const std::shared_ptr<QvDataSource>& data_source,
                                             const std::string& result_path,
                                             const std::string& import_rule, int32_t page_size) {
  context_.Guarded(
      [&](int& line) {
        line = 1;
        CQVFileXfer transfer;  // uploaded pages stay where they are

        line = 2;
        context_.Trace(
            kExporterClass + ".Export_EntGrpDiff_BinDiff, Test Start ZRA 001, File: " + result_path,
            kEventInformation);

        line = 3;
        if (!data_source) {
          throw core::Error(core::kErrObjectRequired, kExporterClass, "no data source");
        }
        CheckPageSize(page_size);
        // One read in the pages' row order, cut into pages here: no query per page. It is
        // read out whole first, so that the database is not held while pages are sent.
        CreateFolderOf(result_path);
        QueryPager pager(data_source->GetConnection(QvDataSource::kSharedConnection), sql,
                         result_path);
        const DeferredFlush flush(context_, result_path);

        CQvFileSystem file_system;
        for (int64_t start = 0;; start += page_size) {
          if (platform::StopRequested()) break;
          line = 41;
          const PageRows page = PageAt(start, page_size);
          const std::shared_ptr<ado::Recordset> rows = pager.NextPage(page_size);
          if (rows->RecordCount() == 0) break;
          context_.stats.rows_read += rows->RecordCount();
          ++context_.stats.pages;
          const std::string page_file = PageFilePath(result_path, page.start, page.end);
          const bool advance =
              WriteAndSendIfChanged(rows, page_file, import_rule, transfer, file_system, line);

          line = 45;
          if (advance) last_.CreateLastDataFile(page_file);
          context_.NotifyProgress();
          if (rows->RecordCount() < page_size) break;
        }
        context_.TraceValueWarnings(pager.Warnings());
      },
      AtLine(kExporterClass + ".Export_EntGrpDiff_BinDiff, @Line#"));
}

bool PageByteDiff::WriteAndSendIfChanged(const std::shared_ptr<ado::Recordset>& rows,
                                         const std::string& page_file,
                                         const std::string& import_rule, CQVFileXfer& transfer,
                                         CQvFileSystem& file_system, int& line) {
  line = 42;
  context_.Trace(
      kExporterClass + ".Export_EntGrpDiff_BinDiff, Test Start ZRA 001, File: " + page_file,
      kEventInformation);

  line = 43;
  const bool written = results_.SaveAndSend(rows, page_file, false, "");

  line = 44;
  // The page becomes its last data only once the receiver has what it holds; a page file
  // that was not written again is an older one.
  if (!written) return false;
  bool advance = false;
  const std::string last_file = last_.GetLasDataFileName(page_file);
  if (file_system.AreFilesTheSame(page_file, last_file, true)) {
    advance = true;
  } else {
    if (transfer.TransferFile(page_file, import_rule)) {
      ++context_.stats.files_sent;
      advance = true;
    } else {
      ++context_.stats.sends_failed;
    }
    context_.Trace(kExporterClass + ".Export_EntGrpDiff_BinDiff, Files different: " + page_file +
                       "\r\n vs last data:" + last_file,
                   kEventInformation);
  }
  context_.Trace(
      kExporterClass + ".Export_EntGrpDiff_BinDiff, Test End ZRA 001, File: " + page_file,
      kEventInformation);
  return advance;
}

}  // namespace qv

#include "export/SplitExport.h"

#include <optional>

#include "export/QueryPager.h"
#include "export/ResultFileNames.h"
#include "export/RuleSql.h"
#include "platform/StopSignal.h"
#include "shared/QvSharedErrorLog.h"

namespace qv {

std::vector<SplitExport::RowRange> SplitExport::SplitIntoRanges(int32_t total, int32_t parts) {
  if (parts <= 0) {
    throw core::Error(core::kErrInvalidProcedureCall, kExporterClass,
                      "a split export needs at least one part, not " + std::to_string(parts));
  }
  if (total < 0) {
    throw core::Error(core::kErrInvalidProcedureCall, kExporterClass,
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

void SplitExport::ExportSplit(const std::string& sql,
                              const std::shared_ptr<QvDataSource>& data_source,
                              const std::string& target_path, const std::string& upload_folder,
                              int32_t parts) {
  context_.Guarded(
      [&](int& line) {
        line = 1;
        context_.Trace(kExporterClass + ".ExportSplit, Test Start ZRA 001, File: " + target_path,
                       kEventInformation);

        line = 2;
        if (!data_source)
          throw core::Error(core::kErrObjectRequired, kExporterClass, "no data source");
        // A count that failed is not a count of 0: empty parts would replace the data the
        // receiver holds.
        const std::optional<int32_t> total =
            results_.CountRows(sql, data_source->GetConnection(QvDataSource::kSharedConnection));
        if (!total)
          throw core::Error(core::kErrInvalidProcedureCall, kExporterClass,
                            "the rows could not be counted");

        line = 3;
        const std::vector<RowRange> ranges = SplitIntoRanges(*total, parts);
        context_.rule.pages_total = parts;
        const DeferredFlush flush(context_, target_path);
        // One read in the parts' row order, cut into the ranges, instead of one query per
        // part: linear in the rows, and no row can fall between two parts' queries.
        // Read out whole first, so that the database is not held while the parts are sent.
        CreateFolderOf(target_path);
        QueryPager pager(data_source->GetConnection(QvDataSource::kSharedConnection), sql,
                         target_path);

        for (size_t i = 0; i < ranges.size(); ++i) {
          if (platform::StopRequested()) break;
          line = 4;
          const std::string part_file = PartFilePath(target_path, i);
          context_.Trace(kExporterClass + ".ExportSplit, Test Start ZRA 001, File: " + part_file,
                         kEventInformation);

          line = 5;
          ++context_.stats.pages;
          // A part that could not be read or written ends the split: the rows after it
          // would land in the wrong parts.
          if (!results_.SavePartAndSend(pager, ranges[i].to_row - ranges[i].from_row + 1, part_file,
                                        upload_folder)) {
            throw core::Error(core::kErrPathNotFound, kExporterClass,
                              part_file + " was not written");
          }

          line = 6;
          context_.Trace(kExporterClass + ".ExportSplit, Test End ZRA 001, File: " + part_file,
                         kEventInformation);
        }
        context_.TraceValueWarnings(pager.Warnings());
      },
      AtLine(kExporterClass + ".ExportSplit, @Line#"));
}

}  // namespace qv

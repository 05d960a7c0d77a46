#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ado/Connection.h"
#include "ado/Error.h"
#include "ado/Recordset.h"
#include "app/RunStats.h"
#include "shared/QvDataSource.h"

namespace qv {

// The export run: reads the export rules and data sources from the program folder and
// exports every rule's query with the method the run's mode selects. Progress and
// failures go to the trace routine; no operation throws. Every operation counts what
// it did in Stats().
class CQvDataExporter {
 public:
  // Where progress and failure reports go: TraceEvent unless replaced.
  using TraceFn = std::function<void(const std::string& message, const ado::ErrorRecord& error,
                                     int32_t event_type, int32_t caller_level)>;

  // One range of rows, both ends inclusive, numbered from 0.
  struct RowRange {
    int32_t from_row = 0;
    int32_t to_row = -1;
    friend bool operator==(const RowRange&, const RowRange&) = default;
  };

  CQvDataExporter();
  explicit CQvDataExporter(TraceFn trace);

  // Runs every rule of QvExportRules.xml, in file order, with the data sources of
  // QvExportDS.xml. Mode 1 writes each rule's result file without uploading it; modes 2
  // and 3 write and upload it in 5 or 20 parts; other modes export nothing. A rule
  // whose data source is not listed is skipped; a rule whose export fails does not stop
  // the run; a failure of the run's own steps ends it. Stats() tells how it went.
  void ExportAll(int16_t mode);

  // Writes the query's rows to `target_file` (its folder is created when missing) and,
  // with a non-empty `upload_folder` (the import rule), hands the file to the uploader,
  // which moves it into LastTx when delivered and into Unsent otherwise. An empty
  // result still gives a file. True when the file was written and, if asked, handed
  // over; false when the query or the write failed (nothing is uploaded then).
  bool Export(const std::string& sql, const std::shared_ptr<ado::Connection>& connection,
              const std::string& target_file, bool encode, const std::string& upload_folder);

  // The query's rows as a disconnected client-side static recordset with batch
  // optimistic locking; the caller owns it. Null after a failure.
  std::shared_ptr<ado::Recordset> GetRS(const std::string& sql,
                                        const std::shared_ptr<ado::Connection>& connection);

  // The number of rows the query returns, counted by fetching the whole result
  // without keeping it. Leaves the connection's CommandTimeout at 0 (no limit). 0 after
  // a failure.
  int32_t GetCount(const std::string& sql, const std::shared_ptr<ado::Connection>& connection);

  // The query limited to rows `from_row` to `to_row`: the standard row-limiting clause
  // " 1 OFFSET f ROWS  FETCH NEXT n ROWS ONLY" is added after ", " when the query has
  // an ORDER BY clause of its own, else after " ORDER BY ", so the first column is the
  // last sort key. The clause is looked for in any case and only outside parentheses,
  // quotes and comments. Throws ado::Error 6 when the row count overflows.
  static std::string AddFetchRangeToSQL(const std::string& sql, int32_t from_row, int32_t to_row);

  // Exports the query's result as `parts` files, target_path + "_0" to "_<parts-1>",
  // each holding an equal share of the rows (the last ones fewer or none) and each
  // written and uploaded by Export before the next is queried. When the rows cannot
  // be counted or `parts` is not positive, no part is exported.
  void ExportSplit(const std::string& sql, const std::shared_ptr<QvDataSource>& data_source,
                   const std::string& target_path, const std::string& upload_folder, int32_t parts);

  // The row ranges of a split export: `total` rows in `parts` ranges of
  // ceil(total / parts) rows each, from row 0 on; ranges past the end ask for rows
  // that are not there. Throws ado::Error 5 when `parts` is not positive and 6 when a
  // row number overflows.
  static std::vector<RowRange> SplitIntoRanges(int32_t total, int32_t parts);

  // The SQL text of the rule on which `rules` stands: tSQLSelect, tSQLFrom and
  // tSQLWhere joined by single spaces, then " " and tSQLOrderBy when the file has that
  // field. Nothing else is added. Throws ado::Error when a field is missing.
  static std::string BuildSQLText(const std::shared_ptr<ado::Recordset>& rules);

  const RunStats& Stats() const { return stats_; }

 private:
  // The export operation of the mode for one rule. True when one was called.
  bool ExportRule(int16_t mode, const std::shared_ptr<ado::Recordset>& rules,
                  const std::shared_ptr<QvDataSource>& data_source, const std::string& sql,
                  const std::string& target_path, const std::string& folder);
  // Deletes the "Unsent" folder beside `folder` the first time the run exports there.
  void EmptyUnsentOnce(const std::string& folder);
  // The count of GetCount; nothing after a (traced) failure.
  std::optional<int32_t> CountRows(const std::string& sql,
                                   const std::shared_ptr<ado::Connection>& connection);

  void Trace(const std::string& text, int32_t event_type, const ado::ErrorRecord& error = {}) const;

  TraceFn trace_;
  RunStats stats_;
  std::set<std::string> unsent_emptied_;
};

}  // namespace qv

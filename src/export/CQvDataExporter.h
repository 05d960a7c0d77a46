#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ado/Connection.h"
#include "ado/Recordset.h"
#include "export/EntityDiff.h"
#include "export/ExportContext.h"
#include "export/ExportMode.h"
#include "export/LastDataStore.h"
#include "export/Outbox.h"
#include "export/PageByteDiff.h"
#include "export/PagedEntityWalk.h"
#include "export/ResultFiles.h"
#include "export/RunStats.h"
#include "export/SplitExport.h"
#include "shared/QvDataSource.h"

namespace qv {

// The export run: reads the export rules and data sources from the program folder and
// exports every rule's query with the method the run's mode selects. The jobs are parts
// of their own over one shared context: the split export, the per-entity diff of the
// whole result, the page-file byte diff, the paged per-entity walk, the outbox and the
// last-data store; this class runs the rules and picks the part for each. Progress and
// failures go to the trace routine; no operation throws. Every operation counts what
// it did in Stats().
class CQvDataExporter {
 public:
  // Where progress and failure reports go: TraceEvent unless replaced.
  using TraceFn = ExportContext::TraceFn;
  // One range of rows, both ends inclusive, numbered from 0.
  using RowRange = SplitExport::RowRange;

  CQvDataExporter();
  explicit CQvDataExporter(TraceFn trace);
  // The parts refer to one another.
  CQvDataExporter(const CQvDataExporter&) = delete;
  CQvDataExporter& operator=(const CQvDataExporter&) = delete;

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
  // quotes and comments. Throws core::Error 6 when the row count overflows.
  static std::string AddFetchRangeToSQL(const std::string& sql, int32_t from_row, int32_t to_row);
  // The query in the row order AddFetchRangeToSQL gives its ranges: sorted by its own
  // ORDER BY clause and then by the first column, or by the first column alone.
  static std::string AddRowOrderToSQL(const std::string& sql);

  // Exports the query's result as `parts` files, target_path + "_0" to "_<parts-1>",
  // each holding an equal share of the rows (the last ones fewer or none) and each
  // written and uploaded by Export before the next is queried. When the rows cannot
  // be counted or `parts` is not positive, no part is exported.
  void ExportSplit(const std::string& sql, const std::shared_ptr<QvDataSource>& data_source,
                   const std::string& target_path, const std::string& upload_folder, int32_t parts);

  // The row ranges of a split export: `total` rows in `parts` ranges of
  // ceil(total / parts) rows each, from row 0 on; ranges past the end ask for rows
  // that are not there. Throws core::Error 5 when `parts` is not positive and 6 when a
  // row number overflows.
  static std::vector<RowRange> SplitIntoRanges(int32_t total, int32_t parts);

  // The SQL text of the rule on which `rules` stands: tSQLSelect, tSQLFrom and
  // tSQLWhere joined by single spaces, then " " and tSQLOrderBy when the file has that
  // field. Nothing else is added. Throws core::Error when a field is missing.
  static std::string BuildSQLText(const std::shared_ptr<ado::Recordset>& rules);

  const RunStats& Stats() const { return context_.stats; }

  // Makes ExportAll use `map(tTargetPath)` as each rule's target path instead of the
  // path itself (a dry run's scratch folder); an empty function restores the paths.
  void SetTargetPathMap(std::function<std::string(const std::string&)> map) {
    target_path_map_ = std::move(map);
  }
  // Tells `observer` how each rule of ExportAll goes; null for none. It must outlive
  // the runs it follows.
  void SetObserver(RunObserver* observer) { context_.observer = observer; }

  // --- Change detection ---
  //
  // A result path's last data is a complete earlier result of the same query (or page)
  // in the folder "last" beside it, under the same file name. It only advances past
  // what the receiver was sent: after a send that was not delivered it stays, so the
  // next run finds the same changes and sends them again.

  // The folder "last" beside the result file; a path without a folder part gives
  // "last" in the current folder. Nothing is checked or created.
  std::string GetLasDataFolder(const std::string& result_path) const;
  // The last-data file of a result file: its name in GetLasDataFolder.
  std::string GetLasDataFileName(const std::string& result_path) const;

  // The last data of the result path as an open recordset the caller owns, or null
  // when there is none. A missing last-data file is first made from the delivered copy
  // of the whole result in LastTx, when no later delivery of that result lies there; a
  // file left at the result path itself may never have been delivered and is not used.
  // Last data that cannot be read is reported, moved aside to "<name>.bad" in the
  // "last" folder, and counts as none.
  std::shared_ptr<ado::Recordset> GetLastDataRS(const std::string& result_path);
  // GetLastDataRS's steps short of reading the file: its path, or empty when there is
  // no last data.
  std::string FindLastData(const std::string& result_path);
  // Replaces the last data with every record of `rs` (its "last" folder is created
  // when missing) and leaves `rs` on its first record. A recordset without records
  // writes nothing, so an empty result keeps the earlier last data. True when written.
  bool CreateLastDataFileFromRS(const std::string& result_path,
                                const std::shared_ptr<ado::Recordset>& rs);
  // Replaces the last data with a copy of the result file. True when copied.
  bool CreateLastDataFile(const std::string& result_path);

  // Mode 4: runs the query and sends each entity (record, keyed by tSID) that is new
  // or changed since the last data as a one-record file named result path + a
  // number 0..999999 + ".xml" (a name no other file of the run, beside the result, in
  // Unsent or in LastTx has), moved into LastTx when delivered and Unsent when not.
  // Without last data, or with last data whose keys do not compare with the query's,
  // the whole result is sent as one file at the result path. Undelivered files an
  // earlier run left for this result are dropped first: this run makes them again. The
  // result becomes the new last data only when every send was delivered. A key that
  // occurs more than once is matched occurrence by occurrence and reported once per
  // rule. Records whose tSID is null cannot be sent and are reported. `changed_count`
  // is set to the entities sent and delivered.
  void Export_DiffPerEntity(const std::string& sql,
                            const std::shared_ptr<QvDataSource>& data_source,
                            const std::string& result_path, const std::string& import_rule,
                            int32_t& changed_count);
  // Compares the entity `rs` stands on with the last data (found through an equality
  // filter on tSID, which stays set on `last`) and sends it when it is new or changed;
  // one that cannot be compared is sent. True only when it was changed and delivered.
  bool Process_DiffOneEntity(const std::shared_ptr<ado::Recordset>& rs,
                             const std::shared_ptr<ado::Recordset>& last,
                             const std::string& result_path, const std::string& import_rule);
  // Whether the current record of `rs` differs from the current record of `last` in a
  // field other than Source_Timestamp: texts by code (case counts), numbers by value
  // (5 and 5.0 are equal), dates by value, byte arrays byte by byte; null differs from
  // every value but null; a field `last` lacks counts as changed. False when `last` is
  // at its end, and after a reported failure.
  bool EntityHasChangedAttributes(const std::shared_ptr<ado::Recordset>& rs,
                                  const std::shared_ptr<ado::Recordset>& last);
  // True for the field left out of the comparison: Source_Timestamp in any case.
  static bool IsTS_TypeAttribute(const std::string& field_name);

  // Modes 5 and 6: writes the query in pages of `page_size` rows, each page to result
  // path + "_start-end.xml", and uploads a page (left in place) only when it differs
  // byte for byte from its last data. A page becomes its own last data when it did
  // not differ or was delivered. Last data of pages past the end is left alone.
  void Export_EntGrpDiff_BinDiff(const std::string& sql,
                                 const std::shared_ptr<QvDataSource>& data_source,
                                 const std::string& result_path, const std::string& import_rule,
                                 int32_t page_size);
  // Mode 7: Export_DiffPerEntity on each page of `page_size` rows, with the page file
  // path as the result path.
  void Export_EntGrpQuery_DiffPerEntity_VarFiles(const std::string& sql,
                                                 const std::shared_ptr<QvDataSource>& data_source,
                                                 const std::string& result_path,
                                                 const std::string& import_rule, int32_t page_size);

  // Test aids that alter last data so that the next run finds changes: every file of
  // the result path's last-data folder goes through SaveChangedRSTest. Throws
  // core::Error when a file cannot be listed.
  void CreateChangedFilesForQRTTests(const std::string& result_path);
  // Appends "chgd" to the Computer (else Application_Name) field of a random share of
  // the file's records, alternating changed and kept ones, and saves the file again.
  void SaveChangedRSTest(const std::string& path);
  // The same with the share given in percent (0 to 100).
  void SaveChangedRSTest(const std::string& path, int32_t share);

 private:
  // The export operation of the mode for one rule. True when one was called.
  bool ExportRule(ExportMode mode, const std::shared_ptr<ado::Recordset>& rules,
                  const std::shared_ptr<QvDataSource>& data_source, const std::string& sql,
                  const std::string& target_path, const std::string& folder);

  ExportContext context_;
  Outbox outbox_{context_};
  LastDataStore last_{context_};
  ResultFiles results_{context_, outbox_};
  SplitExport split_{context_, results_};
  EntityDiff entity_diff_{context_, outbox_, results_, last_};
  PageByteDiff page_bytes_{context_, results_, last_};
  PagedEntityWalk paged_entities_{context_, outbox_, results_, last_};
  std::function<std::string(const std::string&)> target_path_map_;
};

}  // namespace qv

#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ado/Connection.h"
#include "ado/Recordset.h"
#include "core/Error.h"
#include "export/EntityIndex.h"
#include "export/PageKeys.h"
#include "export/PageSends.h"
#include "export/RunStats.h"
#include "shared/ErrorBoundary.h"
#include "shared/QvDataSource.h"

namespace qv {

class QueryPager;
class XmlFileStream;

// The export run: reads the export rules and data sources from the program folder and
// exports every rule's query with the method the run's mode selects. Progress and
// failures go to the trace routine; no operation throws. Every operation counts what
// it did in Stats().
class CQvDataExporter {
 public:
  // Where progress and failure reports go: TraceEvent unless replaced.
  using TraceFn = std::function<void(const std::string& message, const core::ErrorRecord& error,
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

  const RunStats& Stats() const { return stats_; }

  // Makes ExportAll use `map(tTargetPath)` as each rule's target path instead of the
  // path itself (a dry run's scratch folder); an empty function restores the paths.
  void SetTargetPathMap(std::function<std::string(const std::string&)> map) {
    target_path_map_ = std::move(map);
  }
  // Tells `observer` how each rule of ExportAll goes; null for none. It must outlive
  // the runs it follows.
  void SetObserver(RunObserver* observer) { observer_ = observer; }

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
  // The steps of ExportAll. Each sets `line` to the step it is in, which a failure
  // reports; any failure ends the run.
  struct Run;
  // Opens the rules and data-source files and loads the data sources (steps 1 to 4).
  // False when the data sources could not be loaded: the run does not start.
  bool LoadRun(Run& run, int& line);
  // Checks that the rules file is open and has the fields every rule needs (step 5).
  void ValidateRules(const Run& run, int& line);
  // Exports each rule in file order until a stop is requested (steps 61 to 68).
  void ExportRules(Run& run, int& line);
  // The rule on which the rules stand: finds its data source and runs its export.
  void ExportCurrentRule(Run& run, int& line);
  // Closes the run's files (step 7).
  void FinishRun(Run& run, int& line);
  // Counts a run that a failure at step `line` ended.
  void EndFailedRun(Run& run, const core::ErrorRecord& error, int line);
  // Start and end of the running rule's counts and time, told to the observer.
  void BeginRule(Run& run, int32_t index, int64_t total);
  void EndRule(Run& run);

  // The export operation of the mode for one rule. True when one was called.
  bool ExportRule(int16_t mode, const std::shared_ptr<ado::Recordset>& rules,
                  const std::shared_ptr<QvDataSource>& data_source, const std::string& sql,
                  const std::string& target_path, const std::string& folder);
  // Report a stop request: before the rule at `rules_done` (of `rules_total`), or
  // one that came while the rule of `target_path` ran.
  void TraceStopBeforeRule(int32_t rules_done, int64_t rules_total, const std::string& next_target);
  void TraceStopInRule(const std::string& target_path);
  // Deletes the "Unsent" folder beside `folder` the first time the run exports there.
  void EmptyUnsentOnce(const std::string& folder);
  // The count of GetCount; nothing after a (traced) failure.
  std::optional<int32_t> CountRows(const std::string& sql,
                                   const std::shared_ptr<ado::Connection>& connection);

  void Trace(const std::string& text, int32_t event_type,
             const core::ErrorRecord& error = {}) const;

  // The error boundary of this class's operations: GuardByStep reporting through Trace,
  // each failure counted in Stats().failures. `neutral` is the result after a failure,
  // or a function of the failed step that gives it.
  template <typename Neutral, typename Body, typename Message>
  auto Guarded(Neutral&& neutral, Body&& body, Message&& message) {
    using Result = std::invoke_result_t<Body&, int&>;
    const auto report = [this](const std::string& text, const core::ErrorRecord& error,
                               int32_t event_type, int32_t /*caller_level*/) {
      ++stats_.failures;
      Trace(text, event_type, error);
    };
    if constexpr (std::is_invocable_v<Neutral&, int>) {
      return GuardByStep<Result>(report, neutral, body, std::forward<Message>(message));
    } else {
      return GuardByStep<Result>(
          report, [&neutral](int) -> Result { return std::forward<Neutral>(neutral); }, body,
          std::forward<Message>(message));
    }
  }
  // The same for an operation without a result.
  template <typename Body, typename Message>
  void Guarded(Body&& body, Message&& message) {
    Guarded([](int) {}, std::forward<Body>(body), std::forward<Message>(message));
  }

  // The rule being worked on: its counts since it began.
  RuleStats RuleSoFar() const;
  // Tells the observer the running rule's counts.
  void NotifyProgress();

  // For the paged exports: files are saved without the flush to disk while it lives,
  // and one flush of the file system at its end brings them all to the disk.
  class DeferredFlush {
   public:
    DeferredFlush(CQvDataExporter& exporter, std::string result_path);
    ~DeferredFlush();
    DeferredFlush(const DeferredFlush&) = delete;
    DeferredFlush& operator=(const DeferredFlush&) = delete;

   private:
    CQvDataExporter& exporter_;
    std::string result_path_;
  };

  // Export for rows already read: writes `rs` to `target_file` and sends it as Export
  // does. True when the file was written.
  bool SaveAndSend(const std::shared_ptr<ado::Recordset>& rs, const std::string& target_file,
                   bool encode, const std::string& upload_folder);
  // One part of a split export: the pager's next `rows` rows streamed to `part_file`,
  // then sent as Export sends. False when the part could not be read or written.
  bool SavePartAndSend(QueryPager& pager, int64_t rows, const std::string& part_file,
                       const std::string& upload_folder);
  // After a save: counts a written file and sends it; reports one that was not written
  // and sends nothing. Whether it was written.
  bool SendWritten(bool written, const std::string& target_file, const std::string& upload_folder);
  // Hands a written file to the uploader (nothing without an upload folder), counting
  // the outcome; the uploader moves it into LastTx or Unsent.
  void Send(const std::string& file, const std::string& upload_folder);
  static void CreateFolderOf(const std::string& file);
  // The folder part of a path, with its final separator; empty for a bare name.
  static std::string FolderOf(const std::string& path);
  // Traces, as warnings of the query's reading (GetRS), what its values changed to fit
  // the file.
  void TraceValueWarnings(const std::vector<std::string>& warnings);
  // The query's rows for reading a block at a time; null after a (traced) failure.
  std::unique_ptr<ado::QueryCursor> OpenQuery(const std::string& sql,
                                              const std::shared_ptr<ado::Connection>& connection);
  // Export_DiffPerEntity: with last data, the query is read through the pager that
  // `open_pages` opens, a page at a time, and the new last data is written while the
  // pages are compared (DiffPages); without, or when the last data cannot be used, the
  // recordset `query` gives is sent whole and becomes the last data (DiffWhole).
  void DiffPerEntity(const std::function<std::shared_ptr<ado::Recordset>()>& query,
                     const std::string& result_path, const std::string& import_rule,
                     int32_t& changed_count,
                     const std::function<std::unique_ptr<QueryPager>()>& open_pages);
  // Compares the pages with the last data in `last_file`, sends what changed, and moves
  // the last data on or keeps it. False, before anything is sent or when the last data
  // turns out unusable, when the whole result must be sent instead. Sets `line` to the
  // step it is in.
  bool DiffPages(QueryPager& pages, const std::string& result_path, const std::string& last_file,
                 const std::string& import_rule, int32_t& changed_count, int& line);
  // Sends the whole result of `query`; once delivered it becomes the last data, with its
  // keys file.
  void DiffWhole(const std::function<std::shared_ptr<ado::Recordset>()>& query,
                 const std::string& result_path, const std::string& import_rule);
  // Runs `commit` (the last data moves on) when every change was delivered; else says
  // that the last data stays as it was.
  void CommitOrKeepLastData(bool all_delivered, const std::string& result_path,
                            const std::function<void()>& commit);
  // Reads the index of the last data in `last_file` for the query whose first page is
  // `rs` into entity_fields_. False when the last data cannot be compared with the query
  // (unreadable, another key type or other fields; the first two set it aside).
  bool OpenLastDataIndex(const std::shared_ptr<ado::Recordset>& rs, const std::string& result_path,
                         const std::string& last_file);

  enum class EntityOutcome { kUnchanged, kDelivered, kUndelivered, kSkipped, kLastUnusable };
  // Process_DiffOneEntity, telling a send that failed from an unchanged entity.
  EntityOutcome DiffOneEntity(const std::shared_ptr<ado::Recordset>& rs,
                              const std::shared_ptr<ado::Recordset>& last,
                              const std::string& result_path, const std::string& import_rule);
  // Sends the whole of `rs` as the result file, as when there is no last data; a file not
  // delivered goes to Unsent. Whether it was delivered.
  bool SendWhole(const std::shared_ptr<ado::Recordset>& rs, const std::string& result_path,
                 const std::string& import_rule);
  // Writes the entity `rs` stands on as a change file of the result and hands it to the
  // uploader; moves it into Unsent when it was not delivered. Sets `line` to its step.
  // Throws core::Error when the file cannot be made.
  EntityOutcome SendEntity(const std::shared_ptr<ado::Recordset>& rs,
                           const std::string& result_path, const std::string& import_rule,
                           int& line);
  // Writes the entity `rs` stands on as a new change file of the result and returns its
  // path. Sets `line` to its step; throws core::Error when the file cannot be made.
  std::string WriteChangeFile(const std::shared_ptr<ado::Recordset>& rs,
                              const std::string& result_path, int& line);

  // Mode 7's walk over the pages of one rule, compared with what all pages of its last
  // data hold (CQvDataExporterPageWalk.cpp).
  struct PageWalk;
  // Reads what the rule's pages of last data hold and decides whether they can be
  // compared with the query (`fields`, `total_rows` rows) at all.
  std::unique_ptr<PageWalk> BeginPageWalk(const std::string& result_path,
                                          const std::string& import_rule, int32_t page_size,
                                          const std::vector<ado::FieldDef>& fields,
                                          int64_t total_rows);
  // One page of the walk: its new and changed entities sent, its last data rewritten once
  // they were delivered. `changed` is set to the entities delivered.
  void DiffPage(PageWalk& walk, int32_t start, int32_t end,
                const std::shared_ptr<ado::Recordset>& rows, int32_t& changed);
  // A record of a page by key, with the fingerprint of its values.
  using KeyedRecord = std::pair<std::string, RowFingerprint>;
  struct PageRecords {
    std::vector<KeyedRecord> now;  // the records with a key, in order
    std::vector<bool> keyed;       // per record of the page: whether it is in `now`
  };
  static PageRecords ReadPageRecords(PageWalk& walk, const ado::Recordset& rows);
  // Whether the page's last-data file holds `xml`, the page's rows as they are, and the
  // page has no null or repeated key: nothing to compare, send or rewrite.
  static bool PageHoldsItsLastData(PageWalk& walk, const ado::Recordset& rows,
                                   const std::string& last_file, const std::string& xml);
  // Meets each record of the page in the walk's page keys and gives the new and changed
  // ones to send as files of `sending`, tagged with their index in page.now; the records
  // that only moved here from another page go to `moved_in`. Whether every new and
  // changed one was made and handed over.
  bool SendPageChanges(PageWalk& walk, int32_t start, const std::shared_ptr<ado::Recordset>& rows,
                       const std::string& page_file, const PageRecords& page,
                       const std::shared_ptr<PageSends::Page>& sending,
                       std::vector<size_t>& moved_in);
  // Writes the entity `rs` stands on as a change file and gives it to send as the file
  // `index` of `sending`. Throws core::Error when the file cannot be made.
  bool SendEntityLater(const std::shared_ptr<ado::Recordset>& rs, const std::string& result_path,
                       const std::string& import_rule, PageWalk& walk,
                       const std::shared_ptr<PageSends::Page>& sending, size_t index, int& line);
  // Sends the page `rows` whole as `page_file`; its last data `last` becomes the page once
  // the file was delivered.
  void SendPageWhole(PageWalk& walk, const PageKeys::PageFile& last,
                     const std::shared_ptr<ado::Recordset>& rows, const std::string& page_file);
  // Whether the page starting at `start` has no last data and none of its entities is
  // held by another page's: each record has a key no page of last data holds.
  static bool PageIsNew(PageWalk& walk, int32_t start, const ado::Recordset& rows);
  // Writes the whole page `rows` as `page_file` and gives it to send as the one file of
  // `page`, as when there is no last data. Whether it was written.
  bool SendWholeLater(const std::shared_ptr<ado::Recordset>& rows, const std::string& page_file,
                      const std::string& import_rule, PageWalk& walk,
                      const std::shared_ptr<PageSends::Page>& page);
  // Runs a page's settlement (the work that waited for its files) at its error boundary.
  void SettlePage(const std::function<void(int&)>& settle);
  // Counts the page's files delivered and not delivered.
  void CountSends(const PageSends::Page& page);
  // Leaves the page's last data as it was, since not everything was delivered, and says so.
  void KeepLastData(PageWalk& walk, const std::string& page_file);
  // For a page not every file of which was delivered: its last data takes the records of
  // `rows` delivered (`sent`, flagged per record of page.now in `delivered_now`) in place
  // of their older states, and the records `moved_in` that only moved to it from other
  // pages (those pages drop them when they are rewritten); the rest of what it held stays,
  // so that what was not delivered is sent again, and only that.
  void KeepDelivered(PageWalk& walk, const PageKeys::PageFile& last,
                     const std::shared_ptr<ado::Recordset>& rows, const PageRecords& page,
                     const std::vector<const KeyedRecord*>& sent,
                     const std::vector<bool>& delivered_now, const std::vector<size_t>& moved_in);
  // Rewrites the other pages not yet rewritten that hold an older state of an entity in
  // `sent`, without it. False, reported, when one could not be.
  bool DropOlderCopies(PageWalk& walk, int32_t start, const std::vector<const KeyedRecord*>& sent);
  // Saves the page keys; after a whole result was delivered, removes the last data of
  // pages past its end.
  void EndPageWalk(PageWalk& walk, bool completed);
  // Rewrites the last data of the page starting at `page_start` without the records of
  // `keys`. False, reported, when it could not.
  bool DropFromPage(PageWalk& walk, int32_t page_start, const std::vector<std::string>& keys);
  // Puts `xml` in place as the last-data file `last_file` of a page. Throws core::Error.
  void WriteLastDataFile(const std::string& last_file, const std::string& xml);

  // EntityHasChangedAttributes; nothing after a (traced) failure.
  std::optional<bool> CompareEntity(const std::shared_ptr<ado::Recordset>& rs,
                                    const std::shared_ptr<ado::Recordset>& last);
  // The fields of one query and last-data pair, looked up by name once for the walk of
  // Export_DiffPerEntity instead of once per entity, and the last data's records by key.
  struct EntityFields {
    explicit EntityFields(EntityIndex index_of_last) : index(std::move(index_of_last)) {}
    const ado::Recordset* rs = nullptr;
    // The last data's recordset; null when the index was read from its file.
    const ado::Recordset* last = nullptr;
    std::optional<ado::Field> rs_key;
    EntityIndex index;  // also holds the query's keys the last data lacks
    RowReader query;    // set by BindQueryFields
    // The current record's key as the file writes it, and its fingerprint.
    std::string key;
    RowFingerprint fingerprint;
    // With the query read a page at a time: the index of the query's records, saved
    // with the new last data; and whether `index` came from the old one's keys file.
    std::optional<EntityIndex> next;
    bool from_keys_file = false;
  };
  // Reads the key and fingerprint of the current record of `rs` into `known`.
  static void ReadEntityRow(EntityFields& known, const ado::Recordset& rs);
  // Saves `keys` as the keys file of the result's last data; a failure is a warning.
  void SaveLastDataKeys(const std::string& result_path, const EntityIndex& keys);
  // The names of the fields of `rs` that are compared: all but Source_Timestamp.
  static std::vector<std::string> ComparedNames(const ado::Recordset& rs);
  static std::vector<std::string> ComparedNames(const std::vector<ado::FieldDef>& fields);
  // The index of the last data read from `last_file`, its records never held; nothing when the file
  // cannot be read (it is then reported and set aside).
  std::optional<EntityFields> ReadLastDataIndex(const std::shared_ptr<ado::Recordset>& rs,
                                                const std::string& result_path,
                                                const std::string& last_file);
  // CreateLastDataFileFromRS for last data written as the query was read: puts `file`
  // in place unless it holds no rows. True when it did.
  bool CommitNewLastData(const std::string& result_path, XmlFileStream& file);
  // Points the query's side of `known` at `rs`, the next page of the same query.
  static void BindQueryFields(EntityFields& known, const std::shared_ptr<ado::Recordset>& rs);
  // entity_fields_ when it was looked up for this pair, else null.
  const EntityFields* KnownFields(const std::shared_ptr<ado::Recordset>& rs,
                                  const std::shared_ptr<ado::Recordset>& last) const;
  // Moves a file whose send failed but that is still at `path` into "Unsent" beside it,
  // so that it is not later taken for delivered data.
  void SetAsideUndelivered(const std::string& path);
  // Removes the change files of the result path that an earlier run left undelivered
  // beside it or in Unsent, and its whole result in Unsent.
  void DropEarlierUndelivered(const std::string& result_path);
  // The files of `folder` when the rule began (see folder_listings_).
  struct FolderListing;
  FolderListing& ListingOf(const std::filesystem::path& folder);
  // Warns once a run of each symbolic link found where the program keeps its own files;
  // the links are left as they are.
  void WarnLinks(const std::vector<std::filesystem::path>& links);
  // Removes `path` when it is a regular file; a link there is left and warned about.
  void RemoveOwnFile(const std::filesystem::path& path);
  // Removes the regular files of a folder the program made, then the folder when that
  // left it empty. A link in its place or in it is left and warned about.
  void ClearOwnFolder(const std::string& path);
  // Makes the folder of `file`, one the program owns (last): a link in its place throws.
  static void CreateOwnFolderOf(const std::string& file);
  // A change-file path for the result that this run has not drawn before and that no
  // file beside the result, in Unsent or in LastTx had when the rule began.
  std::string NewChangeFilePath(const std::string& result_path);
  // Why the keys of the last data (the type of its key field) cannot be matched with
  // those of `rs`; empty when they can.
  static std::string KeyMismatch(const std::shared_ptr<ado::Recordset>& rs,
                                 std::optional<int32_t> last_key_type);
  // Reports the result path's last data as unusable (`reason`) and moves it to
  // "<name>.bad" beside it, replacing an older one.
  void SetAsideLastData(const std::string& result_path, const std::string& reason);
  // The delivered copy of the whole result in LastTx, when no later delivery of the
  // result lies there; empty otherwise.
  std::string DeliveredWholeResult(const std::string& result_path) const;
  // Removes the temporary files that a killed run left beside the rule's results and
  // in their "last", "LastTx" and "Unsent" folders, and the folder a former version kept
  // spare files in; warns of the links found where the rule's files are kept.
  void RemoveTemporaries(const std::string& target_path);

  TraceFn trace_;
  // Set only while Export_DiffPerEntity walks its query.
  std::optional<EntityFields> entity_fields_;
  RunStats stats_;
  std::set<std::string> unsent_emptied_;
  // Change-file paths drawn in this run.
  std::unordered_set<std::string> change_files_;
  // Whether each saved result, page and last-data file is flushed to disk on its own;
  // false under a DeferredFlush.
  bool flush_each_file_ = true;
  // A folder's files: its change files by the result they belong to, and all by name.
  struct FolderListing {
    std::unordered_map<std::string, std::vector<std::filesystem::path>> change_files;
    std::unordered_map<std::string, std::filesystem::path> by_name;
    // The names of the symbolic links there: taken, but not the program's files.
    std::unordered_set<std::string> taken;
  };
  // Folders listed once per call of a per-entity export, for the files of earlier runs
  // (DropEarlierUndelivered) and the names taken (NewChangeFilePath).
  std::unordered_map<std::string, FolderListing> folder_listings_;
  // The links warned about in this run (WarnLinks).
  std::unordered_set<std::string> warned_links_;
  // A repeated key was reported for the rule being exported.
  bool repeated_key_reported_ = false;
  std::function<std::string(const std::string&)> target_path_map_;
  RunObserver* observer_ = nullptr;
  // The run's counts when the running rule began, and what is known of it.
  RunCounts rule_start_;
  RuleStats rule_;
  // The first failure the rule being worked on reported, for its summary.
  mutable std::string rule_failure_;
};

}  // namespace qv

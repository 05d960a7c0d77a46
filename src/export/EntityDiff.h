#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

#include "ado/Recordset.h"
#include "db/QueryCursor.h"
#include "export/EntityIndex.h"
#include "export/ExportContext.h"
#include "export/LastDataStore.h"
#include "export/Outbox.h"
#include "export/ResultFiles.h"
#include "shared/QvDataSource.h"
#include "store/XmlFileStream.h"

namespace qv {

class QueryPager;

// Mode 4: the whole result compared entity by entity (records keyed by tSID) with its
// last data; each new or changed entity is sent as a change file of its own.
class EntityDiff {
 public:
  EntityDiff(ExportContext& context, Outbox& outbox, ResultFiles& results, LastDataStore& last)
      : context_(context), outbox_(outbox), results_(results), last_(last) {}

  // The operations of the same names of CQvDataExporter, which say what they do.
  void Export_DiffPerEntity(const std::string& sql,
                            const std::shared_ptr<QvDataSource>& data_source,
                            const std::string& result_path, const std::string& import_rule,
                            int32_t& changed_count);
  bool Process_DiffOneEntity(const std::shared_ptr<ado::Recordset>& rs,
                             const std::shared_ptr<ado::Recordset>& last,
                             const std::string& result_path, const std::string& import_rule);
  bool EntityHasChangedAttributes(const std::shared_ptr<ado::Recordset>& rs,
                                  const std::shared_ptr<ado::Recordset>& last);

 private:
  enum class EntityOutcome { kUnchanged, kDelivered, kUndelivered, kSkipped, kLastUnusable };
  // The fields of one query and last-data pair, looked up by name once for the walk
  // instead of once per entity, and the last data's records by key.
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
    // The index of the query's records, saved with the new last data; and whether
    // `index` came from the old one's keys file.
    std::optional<EntityIndex> next;
    bool from_keys_file = false;
  };
  // What a walk of the query's pages came to.
  struct PagesWalked {
    bool all_delivered = true;
    bool unusable = false;  // the last data cannot be looked up after all
    int64_t unchanged = 0;
    int32_t processed = 0;
    bool completed = false;  // every page was read and compared
    bool unmatched = false;  // a record with a key could not be looked up
  };

  // With last data, the query is read through the pager that `open_pages` opens, a page
  // at a time, and the new last data is written while the pages are compared
  // (DiffPages); without, or when the last data cannot be used, the rows of the cursor
  // `open_query` opens are sent whole and become the last data (DiffWhole).
  void DiffPerEntity(const std::function<std::unique_ptr<ado::QueryCursor>()>& open_query,
                     const std::string& result_path, const std::string& import_rule,
                     int32_t& changed_count,
                     const std::function<std::unique_ptr<QueryPager>()>& open_pages);
  // Compares the pages with the last data in `last_file`, sends what changed, and moves
  // the last data on or keeps it. False, before anything is sent or when the last data
  // turns out unusable, when the whole result must be sent instead.
  bool DiffPages(QueryPager& pages, const std::string& result_path, const std::string& last_file,
                 const std::string& import_rule, int32_t& changed_count, int& line);
  // Compares every entity of the pages from `rs` on; `write_page` takes each page first.
  PagesWalked WalkPages(QueryPager& pages, std::shared_ptr<ado::Recordset>& rs,
                        const std::string& result_path, const std::string& import_rule,
                        int32_t& changed_count,
                        const std::function<void(const ado::Recordset&)>& write_page);
  // After the walk: the last data set aside, kept, or moved on to `new_last`. False when
  // the last data turned out unusable.
  bool EndPages(QueryPager& pages, const ado::Recordset& rs, const PagesWalked& walked,
                const std::string& result_path, const std::string& last_file,
                const std::string& import_rule, int32_t changed_count,
                std::optional<XmlFileStream>& new_last);
  // After a complete walk with deletions on: sends the deletion of every entity of the
  // last data the walk never met, or, past the policy's limit, fails the rule and keeps
  // them in `new_last` and `next_keys`. Whether the last data may move on.
  bool EndDeletions(const std::string& result_path, const std::string& last_file,
                    const std::string& import_rule, std::optional<XmlFileStream>& new_last,
                    std::optional<EntityIndex>& next_keys,
                    const std::vector<std::string>& sent_records);
  // Adds to `rows` and `gone` the rows of `sent_records` (Outbox::RecordSent) whose
  // entities the walk did not meet and `gone` lacks; those `made_this_run` are not read.
  static void AddSentRows(EntityIndex& index, const std::vector<std::string>& sent_records,
                          const std::function<bool(const std::string&)>& made_this_run,
                          ado::RecordsetData& rows, std::unordered_set<std::string>& gone);
  // The rows of `last_file` whose keys are among `gone`, read without the others.
  static ado::RecordsetData ReadGoneRows(const EntityIndex& index, const std::string& last_file,
                                         const std::unordered_set<std::string>& gone);
  // The keys of `rows`.
  static std::unordered_set<std::string> KeysOf(const EntityIndex& index,
                                                const ado::RecordsetData& rows);
  // Sends a deletion file for each of `rows`; whether all were delivered.
  bool SendDeletions(const ado::RecordsetData& rows, const std::string& result_path,
                     const std::string& import_rule);
  // Adds `rows` to the new last data and its keys; false when they cannot join it.
  static bool KeepGoneRows(const EntityIndex& index, const ado::RecordsetData& rows,
                           std::optional<XmlFileStream>& new_last,
                           std::optional<EntityIndex>& next_keys);
  // Whether the record `rs` stands on has a null key.
  bool HasNullKey(const ado::Recordset& rs) const;
  // Sends the whole result of the cursor `open_query` opens; once delivered it becomes the
  // last data, with its keys file.
  void DiffWhole(const std::function<std::unique_ptr<ado::QueryCursor>()>& open_query,
                 const std::string& result_path, const std::string& import_rule);
  // Streams the query's rows to the result file and, from the same blocks, to `new_last`
  // (left uncommitted; dropped when a step of it fails) and `keys`. The rows written, or
  // nothing after a reported failure.
  std::optional<int64_t> WriteWhole(
      const std::function<std::unique_ptr<ado::QueryCursor>()>& open_query,
      const std::string& result_path, std::optional<XmlFileStream>& new_last,
      std::optional<EntityIndex>& keys);
  // Runs `commit` (the last data moves on) when every change was delivered; else says
  // that the last data stays as it was.
  void CommitOrKeepLastData(bool all_delivered, const std::string& result_path,
                            const std::function<void()>& commit);
  // Reads the index of the last data in `last_file` for the query whose first page is
  // `rs` into entity_fields_. False when the last data cannot be compared with the query.
  bool OpenLastDataIndex(const std::shared_ptr<ado::Recordset>& rs, const std::string& result_path,
                         const std::string& last_file);
  // The index of the last data read from `last_file`, its records never held; nothing
  // when the file cannot be read (it is then reported and set aside).
  std::optional<EntityFields> ReadLastDataIndex(const std::shared_ptr<ado::Recordset>& rs,
                                                const std::string& result_path,
                                                const std::string& last_file);
  // Sends the result file WriteWhole wrote (`written`: it did), as when there is no last
  // data; a file not delivered goes to Unsent. Whether it was delivered; `record` names
  // the sent record made with deletions on.
  bool SendWhole(bool written, const std::string& result_path, const std::string& import_rule,
                 std::optional<std::string>& record);
  // Process_DiffOneEntity, telling a send that failed from an unchanged entity.
  EntityOutcome DiffOneEntity(const std::shared_ptr<ado::Recordset>& rs,
                              const std::shared_ptr<ado::Recordset>& last,
                              const std::string& result_path, const std::string& import_rule);
  // Meets the current record of `rs` in the walk's index: its state in the last data, or
  // null; `occurrence` counts the records of its key met before.
  const RowFingerprint* MeetInIndex(EntityFields& known, const ado::Recordset& rs,
                                    const std::string& sid, const std::string& result_path,
                                    int32_t& occurrence);
  // Stands `last` on the `occurrence`-th record of the key; whether it has one. Nothing
  // when the last data cannot be searched.
  std::optional<bool> FindInLast(const std::shared_ptr<ado::Recordset>& last,
                                 const ado::Variant& key, const std::string& sid,
                                 int32_t occurrence, int line);
  // Writes the entity `rs` stands on as a change file and hands it to the uploader; moves
  // it into Unsent when it was not delivered. Throws core::Error when it cannot be made.
  EntityOutcome SendEntity(const std::shared_ptr<ado::Recordset>& rs,
                           const std::string& result_path, const std::string& import_rule,
                           int& line, bool record_sent = false);
  // Hands a written change file to the uploader; moves it into Unsent when it was not
  // delivered.
  EntityOutcome SendChangeFile(const std::string& change_file, const std::string& import_rule);
  // EntityHasChangedAttributes; nothing after a (traced) failure.
  std::optional<bool> CompareEntity(const std::shared_ptr<ado::Recordset>& rs,
                                    const std::shared_ptr<ado::Recordset>& last);
  // entity_fields_ when it was looked up for this pair, else null.
  const EntityFields* KnownFields(const std::shared_ptr<ado::Recordset>& rs,
                                  const std::shared_ptr<ado::Recordset>& last) const;
  // Points the query's side of `known` at `rs`, the next page of the same query.
  static void BindQueryFields(EntityFields& known, const std::shared_ptr<ado::Recordset>& rs);
  // Reads the key and fingerprint of the current record of `rs` into `known`.
  static void ReadEntityRow(EntityFields& known, const ado::Recordset& rs);

  ExportContext& context_;
  Outbox& outbox_;
  ResultFiles& results_;
  LastDataStore& last_;
  // Set only while Export_DiffPerEntity walks its query.
  std::optional<EntityFields> entity_fields_;
};

}  // namespace qv

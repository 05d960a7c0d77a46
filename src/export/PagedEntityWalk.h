#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ado/Recordset.h"
#include "export/EntityIndex.h"
#include "export/ExportContext.h"
#include "export/LastDataStore.h"
#include "export/Outbox.h"
#include "export/PageKeys.h"
#include "export/PageSends.h"
#include "export/ResultFiles.h"
#include "shared/QvDataSource.h"

namespace qv {

struct PageWalk;

// Mode 7: each page of the query compared with what all pages of the rule's last data
// hold, so that an entity that only moved to another page is not sent again; new and
// changed entities go as change files, several pages' files in flight at once.
class PagedEntityWalk {
 public:
  PagedEntityWalk(ExportContext& context, Outbox& outbox, ResultFiles& results, LastDataStore& last)
      : context_(context), outbox_(outbox), results_(results), last_(last) {}

  // The per-entity comparison on each page of `page_size` rows, with the page file path
  // as the result path.
  void Export_EntGrpQuery_DiffPerEntity_VarFiles(const std::string& sql,
                                                 const std::shared_ptr<QvDataSource>& data_source,
                                                 const std::string& result_path,
                                                 const std::string& import_rule, int32_t page_size);

 private:
  // A record of a page by key, with the fingerprint of its values.
  using KeyedRecord = std::pair<std::string, RowFingerprint>;
  struct PageRecords {
    std::vector<KeyedRecord> now;  // the records with a key, in order
    std::vector<bool> keyed;       // per record of the page: whether it is in `now`
  };
  // What a page's settlement needs once its files' deliveries ended.
  struct PageChanges;

  // Reads what the rule's pages of last data hold and decides whether they can be
  // compared with the query (`fields`; `total_rows` gives its row count) at all.
  std::unique_ptr<PageWalk> BeginPageWalk(const std::string& result_path,
                                          const std::string& import_rule, int32_t page_size,
                                          const std::vector<ado::FieldDef>& fields,
                                          const std::function<int64_t()>& total_rows);
  // Removes the whole pages a stopped run left beside the result.
  void RemoveLeftPageFiles(const std::string& result_path, const std::string& result_name);
  // One page of the walk: its new and changed entities sent, its last data rewritten once
  // they were delivered. `changed` is set to the entities delivered.
  void DiffPage(PageWalk& walk, int32_t start, int32_t end,
                const std::shared_ptr<ado::Recordset>& rows, int32_t& changed);
  // Once the files of the page `changes` sent have ended: its last data moves on with what
  // was delivered.
  void SettleChanges(PageWalk& walk, PageChanges& changes, PageSends::Page& done);
  static PageRecords ReadPageRecords(PageWalk& walk, const ado::Recordset& rows);
  // Whether the page's last-data file holds what `rows` (of hash `rows_hash`) write, and
  // the page has no null or repeated key: nothing to compare, send or rewrite.
  static bool PageHoldsItsLastData(PageWalk& walk, int32_t start, const ado::Recordset& rows,
                                   const std::string& last_file, uint64_t rows_hash);
  // Meets each record of the page in the walk's page keys and gives the new and changed
  // ones to send as files of `sending`, tagged with their index in page.now; the records
  // that only moved here from another page go to `moved_in`. Whether every new and
  // changed one was made and handed over.
  bool SendPageChanges(PageWalk& walk, int32_t start, const std::shared_ptr<ado::Recordset>& rows,
                       const std::string& page_file, const PageRecords& page,
                       const std::shared_ptr<PageSends::Page>& sending,
                       std::vector<size_t>& moved_in);
  // Meets one keyed record of the page in the walk's page keys and counts it.
  PageKeys::Outcome MeetEntity(PageWalk& walk, int32_t start, const KeyedRecord& entity);
  // Writes the entity `rs` stands on as a change file and gives it to send as the file
  // `index` of `sending`. Throws core::Error when the file cannot be made.
  bool SendEntityLater(const std::shared_ptr<ado::Recordset>& rs, const std::string& result_path,
                       const std::string& import_rule, PageWalk& walk,
                       const std::shared_ptr<PageSends::Page>& sending, size_t index, int& line,
                       bool new_entity);
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
  static void KeepLastData(PageWalk& walk, const std::string& page_file);
  // For a page not every file of which was delivered: its last data takes the records of
  // `rows` delivered (`sent`, flagged per record of page.now in `delivered_now`) in place
  // of their older states, and the records `moved_in` that only moved to it from other
  // pages; the rest of what it held stays, so that what was not delivered is sent again.
  void KeepDelivered(PageWalk& walk, const PageKeys::PageFile& last,
                     const std::shared_ptr<ado::Recordset>& rows, const PageRecords& page,
                     const std::vector<const KeyedRecord*>& sent,
                     const std::vector<bool>& delivered_now, const std::vector<size_t>& moved_in);
  // Rewrites the other pages not yet rewritten that hold an older state of an entity in
  // `sent`, without it. False, reported, when one could not be.
  bool DropOlderCopies(PageWalk& walk, int32_t start, const std::vector<const KeyedRecord*>& sent);
  // Rewrites the last data of the page starting at `page_start` without the records of
  // `keys`. False, reported, when it could not.
  bool DropFromPage(
      PageWalk& walk, int32_t page_start, const std::vector<std::string>& keys,
      std::string_view why = "Older states of entities just sent leave the last data: ");
  // Meets the entities of a page sent whole, which the last data lacks.
  void MeetWhole(PageWalk& walk, int32_t start, const ado::Recordset& rows);
  // Writes a page's last-data file; with deletions on, its former content is kept first.
  void ReplacePage(PageWalk& walk, const std::string& last_file, const std::string& xml);
  // After a complete walk with deletions on: sends them (PageDeletions) and drops the
  // delivered ones from the page files still holding them. Nothing after a walk that
  // counted failures.
  void EndDeletions(PageWalk& walk);
  // Saves the page keys; after a whole result was delivered, removes the last data of
  // pages past its end.
  void EndPageWalk(PageWalk& walk, bool completed);

  ExportContext& context_;
  Outbox& outbox_;
  ResultFiles& results_;
  LastDataStore& last_;
};

}  // namespace qv

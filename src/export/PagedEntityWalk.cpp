// Mode 7: each page of the query compared with what all pages of the last data hold, so
// that an entity that only moved to another page is not sent again.
//
// How the pages' last data stays true to what the receiver has, wherever a run stops:
// - A page's last data is rewritten only after every entity sent from the page was
//   delivered; until then it holds what it held, and the next run finds the same changes.
// - Before a page's last data takes a sent entity, every other page not yet rewritten in
//   this walk that still holds an older state of it is rewritten without it. So no file
//   ever holds a state of an entity older than the one the receiver got last, beside the
//   newer one: a key found on two pages after a stopped run has the same values on both.
// - An entity that moved to a page not yet reached is in no file between the rewrite of
//   its old page and that of its new one; a run stopped in between sends it once more.
// - The page keys file is written last and each page in it is stamped: a page rewritten
//   after it was written is read from its own file.

#include "export/PagedEntityWalk.h"

#define XXH_INLINE_ALL
#include <fcntl.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "ado/RecordsetXml.h"
#include "core/AtomicFile.h"
#include "core/File.h"
#include "core/Folder.h"
#include "export/PageWalk.h"
#include "export/QueryPager.h"
#include "export/ResultFileNames.h"
#include "platform/StopSignal.h"
#include "shared/QvSharedErrorLog.h"
#include "store/CQvXMLManip.h"
#include "upload/CQVFileXfer.h"

namespace qv {
namespace {

// The most pages whose files are still being delivered, besides the one being compared.
constexpr size_t kPagesInFlight = 256;

// Whether the file holds exactly `bytes`.
bool FileHolds(const std::string& path, const std::string& bytes) {
  std::error_code ec;
  if (std::filesystem::file_size(path, ec) != bytes.size() || ec) return false;
  try {
    return core::File::Open(path, O_RDONLY, kExporterClass).ReadAll() == bytes;
  } catch (const core::Error&) {
    return false;
  }
}

// A page's last-data file read whole. Throws core::Error when it cannot be read.
std::shared_ptr<ado::Recordset> ReadLastDataPage(const std::string& path) {
  std::shared_ptr<ado::Recordset> held = CQvXMLManip().OpenXMLToRS(path, false, kPlainText);
  if (!held || held->State() != ado::adStateOpen) {
    throw core::Error(core::kErrInvalidPersistedFile, kExporterClass,
                      path + " cannot be read as a recordset");
  }
  return held;
}

// A page's last data put together record by record, in the fields and properties of
// `shape`.
class PageBuilder {
 public:
  explicit PageBuilder(const ado::Recordset& shape) {
    data_.fields = shape.FieldDefs();
    data_.records = ado::RecordStore(data_.fields.size());
    data_.properties = shape.Properties();
  }
  void Add(const ado::RecordStore& from, size_t record) {
    bytes_.clear();
    from.Serialize(record, bytes_);
    std::string_view in(bytes_);
    data_.records.AppendSerialized(in);
  }
  std::string Xml() {
    ado::Recordset page;
    page.SetCursorLocation(ado::adUseClient);
    page.OpenWith(std::move(data_));
    return ado::RecordsetXmlToString(page);
  }

 private:
  ado::RecordsetData data_;
  std::string bytes_;
};

// What a page's file is written from, as a hash never 0: the fields and properties
// (through the file they write for no records, its hash kept in `header`: the pages of a
// walk share them) and every record's values. Rows of equal hashes write the same file.
uint64_t PageRowsHash(const ado::Recordset& rows, uint64_t& header) {
  if (header == 0) {
    const std::string xml = PageBuilder(rows).Xml();
    header = XXH3_64bits(xml.data(), xml.size());
  }
  std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
  const ado::RecordStore& store = rows.Records();
  for (const size_t record : rows.RecordsToSave()) {
    const size_t at = bytes.size();
    bytes.append(sizeof(uint64_t), '\0');
    store.Serialize(record, bytes);
    const uint64_t length = bytes.size() - at - sizeof length;
    std::memcpy(bytes.data() + at, &length, sizeof length);
  }
  return XXH3_64bits(bytes.data(), bytes.size()) | 1U;
}

}  // namespace

void PagedEntityWalk::Export_EntGrpQuery_DiffPerEntity_VarFiles(
    const std::string& sql, const std::shared_ptr<QvDataSource>& data_source,
    const std::string& result_path, const std::string& import_rule, int32_t page_size) {
  context_.Guarded(
      [&](int& line) {
        line = 1;
        context_.Trace(
            kExporterClass +
                ".Export_EntGrpQuery_DiffPerEntity_VarFiles, Test Start ZRA 001, File: " +
                result_path,
            kEventInformation);

        line = 2;
        if (!data_source)
          throw core::Error(core::kErrObjectRequired, kExporterClass, "no data source");
        CheckPageSize(page_size);
        // One read in the pages' row order, cut into pages here: no query per page. It is
        // read out whole beside the walk, so that the database is not held while changes
        // are sent.
        CreateFolderOf(result_path);
        QueryPager pager(data_source->GetConnection(QvDataSource::kSharedConnection), sql,
                         result_path);

        line = 3;
        outbox_.BeginRule();
        const DeferredFlush flush(context_, result_path);
        const std::unique_ptr<PageWalk> walk =
            BeginPageWalk(result_path, import_rule, page_size, pager.Fields(),
                          [&pager] { return pager.TotalRows().value_or(0); });
        int32_t total_changed = 0;
        bool completed = true;
        for (int64_t start = 0;; start += page_size) {
          if (platform::StopRequested()) {
            completed = false;
            break;
          }
          const PageRows page = PageAt(start, page_size);
          const std::shared_ptr<ado::Recordset> rows = pager.NextPage(page_size);
          if (rows->RecordCount() == 0) break;
          context_.stats.rows_read += rows->RecordCount();
          ++context_.stats.pages;
          int32_t changed = 0;
          DiffPage(*walk, page.start, page.end, rows, changed);
          total_changed += changed;
          context_.NotifyProgress();
          if (rows->RecordCount() < page_size) break;
        }
        context_.TraceValueWarnings(pager.Warnings());
        walk->total_rows = pager.RowsRead();  // all of them, when the walk completed
        EndPageWalk(*walk, completed && !platform::StopRequested());
        total_changed += walk->entities_delivered;

        line = 4;
        context_.Trace(
            "QRT Total per Entity Level:: Total records:" + std::to_string(pager.RowsRead()) +
                ", Changed:" + std::to_string(total_changed),
            kEventInformation);
      },
      AtLine(kExporterClass + ".Export_EntGrpQuery_DiffPerEntity_VarFiles, @Line#"));
}

std::unique_ptr<PageWalk> PagedEntityWalk::BeginPageWalk(
    const std::string& result_path, const std::string& import_rule, int32_t page_size,
    const std::vector<ado::FieldDef>& fields, const std::function<int64_t()>& total_rows) {
  auto walk = std::make_unique<PageWalk>(ComparedNames(fields), fields);
  walk->result_path = result_path;
  walk->import_rule = import_rule;
  walk->transfers_in_flight = CQVFileXfer::TransfersInFlight();
  walk->last_folder = last_.GetLasDataFolder(result_path);
  const std::string result_name = std::filesystem::path(result_path).filename().string();
  walk->keys_file = PageKeys::FileOf(walk->last_folder, result_name);
  context_.Trace(
      "Trying to get last data from: " + walk->last_folder + " (the pages of " + result_name + ")",
      kEventInformation);
  // The pages' last data is only what this program wrote: a link in the folder's place
  // fails the rule before anything is sent.
  core::Folder::Open(walk->last_folder, core::Folder::Reach::kOwn, kExporterClass);

  std::vector<std::string> links;
  const std::vector<PageKeys::PageFile> pages =
      PageKeys::ListPages(walk->last_folder, result_name, page_size, links);
  // A page's last data could not be kept with a link in its place: nothing is sent.
  if (!links.empty()) throw core::LinkRefused(kExporterClass, links.front(), "file");
  RemoveLeftPageFiles(result_path, result_name);
  for (const auto& [page, reason] : walk->keys.Load(walk->keys_file, pages)) {
    // Left in place it would fail every later run the same way; its entities count as new.
    last_.SetAsideLastData(PageFilePath(result_path, page.start, page.end),
                           page.path + " cannot be read as a recordset: " + reason);
  }
  walk->failures_before = context_.stats.failures;
  if (walk->keys.PageCount() == 0) {
    walk->whole = true;
  } else if (!walk->reader.HasKey()) {
    throw core::Error(core::kErrItemNotFound, kExporterClass, "the query has no field tSID");
  } else if (walk->keys.OtherLayoutUpTo(INT64_MAX, walk->layout) &&
             // The row count waits for the whole read: asked only when a page differs.
             walk->keys.OtherLayoutUpTo(total_rows() - 1, walk->layout)) {
    walk->whole = true;
    context_.Trace(
        kExporterClass +
            ".Export_DiffPerEntity, the query's fields are not those of the last data: " +
            "its whole result is sent and becomes the last data: " + result_path,
        kEventWarning);
  }
  if (context_.deletions.send && !walk->whole) {
    walk->deletions.emplace(context_, outbox_);
    walk->deletions->Begin(walk->keys, walk->last_folder, result_name, fields);
  }
  return walk;
}

void PagedEntityWalk::RemoveLeftPageFiles(const std::string& result_path,
                                          const std::string& result_name) {
  // Whole pages a stopped run left beside the result: a run's own go to LastTx once
  // delivered, or wait in Unsent. Their pages are made again from the same last data.
  const std::string folder = FolderOf(result_path);
  std::vector<std::filesystem::path> found_links;  // warned about with the temporaries
  size_t left = 0;
  try {
    left = RemoveFilesIn(
        folder.empty() ? "." : folder, core::Folder::Reach::kFollow,
        [&](const std::string& file) { return IsPageFileOf(file, result_name); }, found_links);
  } catch (const core::Error&) {
    // A folder that cannot be listed fails the rule where its files are written.
  }
  if (left > 0) {
    context_.Trace(kExporterClass + ".Export_DiffPerEntity, " + std::to_string(left) +
                       " page file(s) an earlier run left beside the result were removed; " +
                       "their pages are sent again as needed: " + result_path,
                   kEventInformation);
  }
}

// What a page's settlement needs once its files' deliveries ended.
struct PagedEntityWalk::PageChanges {
  std::shared_ptr<ado::Recordset> rows;
  PageKeys::PageFile last;
  std::string page_file;
  PageRecords page;
  std::vector<size_t> moved_in;
  bool all_made = false;
  uint64_t rows_hash = 0;
};

void PagedEntityWalk::DiffPage(PageWalk& walk, int32_t start, int32_t end,
                               const std::shared_ptr<ado::Recordset>& rows, int32_t& changed) {
  changed = 0;
  // A page still being delivered may rewrite this page's last data once it is settled.
  walk.sends.WaitFor(start);
  walk.sends.WaitWhileMoreThan(kPagesInFlight);
  context_.Guarded(
      [&](int& line) {
        line = 1;
        auto changes = std::make_shared<PageChanges>();
        changes->rows = rows;
        changes->page_file = PageFilePath(walk.result_path, start, end);
        changes->last = {start, end, last_.GetLasDataFileName(changes->page_file)};
        // What an earlier run could not deliver for the page is made again below.
        outbox_.DropEarlierUndelivered(changes->page_file);

        // A page without last data whose entities are all new (one a stopped first run
        // did not reach) goes whole, as on a first run: one file, not one per entity.
        if (walk.whole || PageIsNew(walk, start, *rows)) {
          line = 4;
          // Its entities are in the result: no deletion may take them for gone.
          if (walk.deletions) MeetWhole(walk, start, *rows);
          SendPageWhole(walk, changes->last, rows, changes->page_file);
          return;
        }

        line = 2;
        changes->rows_hash = PageRowsHash(*rows, walk.rows_header);
        if (PageHoldsItsLastData(walk, start, *rows, changes->last.path, changes->rows_hash)) {
          walk.keys.MeetPage(start);
          context_.stats.entities_unchanged += rows->RecordCount();
          context_.Trace("The last data is up to date: " + changes->last.path, kEventInformation);
          return;
        }
        changes->page = ReadPageRecords(walk, *rows);

        line = 3;
        const std::shared_ptr<PageSends::Page> sending = walk.sends.Open(start);
        changes->all_made = SendPageChanges(walk, start, rows, changes->page_file, changes->page,
                                            sending, changes->moved_in);
        walk.sends.Close(sending, [this, &walk, changes](PageSends::Page& done) {
          SettleChanges(walk, *changes, done);
        });
      },
      AtLine(kExporterClass + ".Export_DiffPerEntity, u:0 @Line#"));
  // One transfer at a time: each page waits for its own files, as the run always did.
  if (walk.transfers_in_flight <= 1) walk.sends.WaitAll();
}

void PagedEntityWalk::SettleChanges(PageWalk& walk, PageChanges& changes, PageSends::Page& done) {
  SettlePage([&](int& step) {
    step = 3;
    CountSends(done);
    for (const std::string& file : done.undelivered) outbox_.SetAsideUndelivered(file);
    std::vector<const KeyedRecord*> sent;
    std::vector<bool> delivered_now(changes.page.now.size());
    for (const auto& [index, delivered] : done.ended) {
      if (!delivered) continue;
      sent.push_back(&changes.page.now[index]);
      delivered_now[index] = true;
    }
    walk.entities_delivered += static_cast<int32_t>(sent.size());
    if (!changes.all_made || !done.AllDelivered()) {
      // What was delivered moves on, what was not keeps its old state and is sent again;
      // the entities that only moved here stay too, so that they are not sent again when
      // their old pages are rewritten.
      KeepDelivered(walk, changes.last, changes.rows, changes.page, sent, delivered_now,
                    changes.moved_in);
      return KeepLastData(walk, changes.page_file);
    }

    step = 6;
    if (!DropOlderCopies(walk, changes.last.start, sent)) {
      walk.all_delivered = false;
      return;
    }
    ReplacePage(walk, changes.last.path, ado::RecordsetXmlToString(*changes.rows));
    walk.keys.Rewritten(changes.last, changes.page.now, walk.layout, changes.rows_hash);
  });
}

void PagedEntityWalk::SendPageWhole(PageWalk& walk, const PageKeys::PageFile& last,
                                    const std::shared_ptr<ado::Recordset>& rows,
                                    const std::string& page_file) {
  const std::shared_ptr<PageSends::Page> sending = walk.sends.Open(last.start);
  const bool written = SendWholeLater(rows, page_file, walk.import_rule, walk, sending);
  walk.sends.Close(sending, [this, &walk, rows, last, page_file, written](PageSends::Page& page) {
    SettlePage([&](int& step) {
      CountSends(page);
      if (!written || page.ended.empty() || !page.AllDelivered()) {
        if (written && !walk.import_rule.empty()) outbox_.SetAsideUndelivered(page_file);
        return KeepLastData(walk, page_file);
      }
      step = 6;
      PageRecords records = ReadPageRecords(walk, *rows);
      ReplacePage(walk, last.path, ado::RecordsetXmlToString(*rows));
      walk.keys.Rewritten(last, records.now, walk.layout, PageRowsHash(*rows, walk.rows_header));
    });
  });
}

bool PagedEntityWalk::PageIsNew(PageWalk& walk, int32_t start, const ado::Recordset& rows) {
  if (walk.keys.FileAt(start)) return false;
  const ado::RecordStore& store = rows.Records();
  std::string key;
  for (size_t record = 0; record < store.RecordCount(); ++record) {
    // A record without a key takes the comparison, which reports it.
    if (!walk.reader.Key(store, record, key) || walk.keys.Holds(key)) return false;
  }
  return store.RecordCount() > 0;
}

void PagedEntityWalk::SettlePage(const std::function<void(int&)>& settle) {
  context_.Guarded([&](int& line) { settle(line); },
                   AtLine(kExporterClass + ".Export_DiffPerEntity, u:0 @Line#"));
  context_.NotifyProgress();
}

void PagedEntityWalk::CountSends(const PageSends::Page& page) {
  const size_t delivered = page.Delivered();
  context_.stats.files_sent += static_cast<int32_t>(delivered);
  context_.stats.sends_failed += static_cast<int32_t>(page.ended.size() - delivered);
}

void PagedEntityWalk::KeepLastData(PageWalk& walk, const std::string& page_file) {
  walk.all_delivered = false;
  // A run that stopped sending says so once; its pages need not say it again.
  CQVFileXfer::WarnUnlessSendingStops(kExporterClass +
                                      ".Export_DiffPerEntity, not every change was delivered; " +
                                      "the last data stays as it was: " + page_file);
}

bool PagedEntityWalk::SendWholeLater(const std::shared_ptr<ado::Recordset>& rows,
                                     const std::string& page_file, const std::string& import_rule,
                                     PageWalk& walk, const std::shared_ptr<PageSends::Page>& page) {
  return context_.Guarded(
      false,
      [&](int&) {
        context_.Trace("No last data. Sending all entities. " + page_file, kEventInformation);
        context_.stats.entities_new += rows->RecordCount();
        CreateFolderOf(page_file);
        if (rows->Eof()) context_.Trace("The query returned no records", kEventWarning);
        context_.Trace("Save to " + page_file, kEventInformation);
        if (!CQvXMLManip().SaveRSToXML(rows, page_file, false, false, 1,
                                       context_.flush_each_file)) {
          context_.Trace(kExporterClass + ".Export, the file could not be written: " + page_file,
                         kEventWarning);
          ++context_.stats.failures;
          return false;
        }
        ++context_.stats.files_written;
        if (import_rule.empty()) return true;
        // Until the page's last data has them, their deletions need these rows.
        if (context_.deletions.send) {
          walk.records_made.push_back(outbox_.RecordSent(page_file, walk.last_folder));
        }
        walk.sends.Send(page, page_file, 0, [&](std::function<void(bool)> done) {
          CQVFileXfer transfer;
          transfer.MoveToLastTx = true;
          transfer.SendLater(page_file, import_rule, std::move(done));
        });
        return true;
      },
      Fixed(kExporterClass + ".Export"));
}

PagedEntityWalk::PageRecords PagedEntityWalk::ReadPageRecords(PageWalk& walk,
                                                              const ado::Recordset& rows) {
  const ado::RecordStore& store = rows.Records();
  PageRecords page;
  page.now.reserve(store.RecordCount());
  page.keyed.resize(store.RecordCount());
  std::string key;
  for (size_t record = 0; record < store.RecordCount(); ++record) {
    page.keyed[record] = walk.reader.Key(store, record, key);
    if (page.keyed[record]) page.now.emplace_back(key, walk.reader.Fingerprint(store, record));
  }
  return page;
}

bool PagedEntityWalk::PageHoldsItsLastData(PageWalk& walk, int32_t start,
                                           const ado::Recordset& rows, const std::string& last_file,
                                           uint64_t rows_hash) {
  const std::optional<bool> held = walk.keys.Holds(start, rows_hash);
  if (!held) {
    if (!FileHolds(last_file, ado::RecordsetXmlToString(rows))) return false;
    walk.keys.Holding(start, rows_hash);
  } else if (!*held) {
    return false;
  } else if (walk.keys.HeldDistinct(start, rows.Records().RecordCount())) {
    return true;  // the rows are those the page's records were taken from
  }
  // A null or a repeated key takes the comparison, which reports it.
  const ado::RecordStore& store = rows.Records();
  std::vector<std::string> keys(store.RecordCount());
  for (size_t record = 0; record < store.RecordCount(); ++record) {
    if (!walk.reader.Key(store, record, keys[record])) return false;
  }
  std::sort(keys.begin(), keys.end());
  return std::adjacent_find(keys.begin(), keys.end()) == keys.end();
}

bool PagedEntityWalk::SendPageChanges(PageWalk& walk, int32_t start,
                                      const std::shared_ptr<ado::Recordset>& rows,
                                      const std::string& page_file, const PageRecords& page,
                                      const std::shared_ptr<PageSends::Page>& sending,
                                      std::vector<size_t>& moved_in) {
  bool all_made = true;
  size_t next = 0;  // the next of page.now: the records with a key, in order
  int32_t processed = 0;
  int32_t made = 0;
  for (rows->MoveFirst(); !rows->Eof(); rows->MoveNext(), ++processed) {
    if (platform::StopRequested()) {
      all_made = false;  // the entities left were not compared
      break;
    }
    if (!page.keyed[*rows->CurrentRecord()]) {
      // A record without a key can never be matched: reported, not sent.
      context_.Guarded(
          [&](int& step) {
            step = 2;
            throw core::Error(core::kErrInvalidUseOfNull, kExporterClass,
                              "the record's tSID is null");
          },
          AtLine(kExporterClass + ".Process_DiffOneEntity, @Line#"));
      continue;
    }
    const size_t index = next++;
    const KeyedRecord& entity = page.now[index];
    const PageKeys::Outcome outcome = MeetEntity(walk, start, entity);
    if (outcome == PageKeys::Outcome::kMoved) moved_in.push_back(*rows->CurrentRecord());
    if (outcome == PageKeys::Outcome::kUnchanged || outcome == PageKeys::Outcome::kMoved) {
      continue;
    }
    // The pages whose older copies leave once this one is delivered (DropOlderCopies).
    for (const int32_t other : walk.keys.OlderCopies(entity.first, entity.second, start)) {
      sending->touches.insert(other);
    }
    const bool handed_over = context_.Guarded(
        false,
        [&](int& step) {
          return SendEntityLater(rows, page_file, walk.import_rule, walk, sending, index, step,
                                 outcome == PageKeys::Outcome::kNew);
        },
        AtLine(kExporterClass + ".Process_DiffOneEntity, @Line#"));
    if (handed_over) {
      ++made;
    } else {
      all_made = false;
    }
  }
  context_.Trace(
      "QRT Subset records:" + std::to_string(processed) + ", Changed:" + std::to_string(made),
      kEventInformation);
  return all_made;
}

PageKeys::Outcome PagedEntityWalk::MeetEntity(PageWalk& walk, int32_t start,
                                              const KeyedRecord& entity) {
  int32_t occurrence = 0;
  const PageKeys::Outcome outcome = walk.keys.Meet(entity.first, entity.second, start, occurrence);
  if (occurrence == 1 && !context_.repeated_key_reported) {
    context_.repeated_key_reported = true;
    context_.Trace(kExporterClass + ".Export_DiffPerEntity, tSID " + entity.first +
                       " occurs more than once in " + walk.result_path +
                       "; records of one key are compared with the last data's in the order " +
                       "the query returns them",
                   kEventWarning);
  }
  switch (outcome) {
    case PageKeys::Outcome::kMoved:
      ++context_.stats.entities_moved;
      ++context_.stats.entities_unchanged;
      break;
    case PageKeys::Outcome::kUnchanged:
      ++context_.stats.entities_unchanged;
      break;
    case PageKeys::Outcome::kNew:
      context_.Trace(
          kExporterClass + ".Process_DiffOneEntity, SID Not Found in last data: " + entity.first,
          kEventInformation);
      ++context_.stats.entities_new;
      break;
    case PageKeys::Outcome::kChanged:
      ++context_.stats.entities_changed;
      break;
  }
  return outcome;
}

bool PagedEntityWalk::SendEntityLater(const std::shared_ptr<ado::Recordset>& rs,
                                      const std::string& result_path,
                                      const std::string& import_rule, PageWalk& walk,
                                      const std::shared_ptr<PageSends::Page>& sending, size_t index,
                                      int& line, bool new_entity) {
  const std::string change_file = outbox_.WriteChangeFile(rs, result_path, line);
  line = 65;
  // Until its page's last data has it, the entity's deletion needs this row.
  if (walk.deletions && new_entity) outbox_.RecordSent(change_file, walk.last_folder);
  walk.sends.Send(sending, change_file, index, [&](std::function<void(bool)> done) {
    CQVFileXfer transfer;
    transfer.MoveToLastTx = true;
    transfer.SendLater(change_file, import_rule, std::move(done));
  });
  return true;
}

bool PagedEntityWalk::DropOlderCopies(PageWalk& walk, int32_t start,
                                      const std::vector<const KeyedRecord*>& sent) {
  // Older states of what was sent leave the other pages first (see the top).
  std::map<int32_t, std::vector<std::string>> older;
  for (const KeyedRecord* entity : sent) {
    for (const int32_t page : walk.keys.OlderCopies(entity->first, entity->second, start)) {
      older[page].push_back(entity->first);
    }
  }
  for (const auto& [page, keys] : older) {
    if (!DropFromPage(walk, page, keys)) return false;
  }
  return true;
}

void PagedEntityWalk::KeepDelivered(PageWalk& walk, const PageKeys::PageFile& last,
                                    const std::shared_ptr<ado::Recordset>& rows,
                                    const PageRecords& page,
                                    const std::vector<const KeyedRecord*>& sent,
                                    const std::vector<bool>& delivered_now,
                                    const std::vector<size_t>& moved_in) {
  if (sent.empty() && moved_in.empty()) return;
  context_.Guarded(
      [&](int&) {
        // Older states of what was delivered leave the other pages first (see the top).
        if (!DropOlderCopies(walk, last.start, sent)) return;
        std::set<std::string_view> replaced;
        for (const KeyedRecord* entity : sent) replaced.insert(entity->first);
        PageBuilder kept(*rows);
        if (walk.keys.FileAt(last.start)) {
          const std::shared_ptr<ado::Recordset> held = ReadLastDataPage(last.path);
          // Records of another layout cannot share the file: they are sent again.
          if (LayoutOf(held->FieldDefs()) != walk.layout) return;
          RowReader reader = walk.keys.ReaderFor(held->FieldDefs());
          std::string key;
          for (const size_t record : held->RecordsToSave()) {
            if (reader.Key(held->Records(), record, key) && replaced.contains(key)) continue;
            kept.Add(held->Records(), record);
          }
        }
        std::vector<bool> keep(rows->Records().RecordCount());
        for (const size_t record : moved_in) keep[record] = true;
        for (size_t record = 0, index = 0; record < keep.size(); ++record) {
          if (page.keyed[record] && delivered_now[index++]) keep[record] = true;
        }
        for (size_t record = 0; record < keep.size(); ++record) {
          if (keep[record]) kept.Add(rows->Records(), record);
        }
        context_.Trace(
            "The delivered entities and those that moved to the page enter its last data: " +
                last.path,
            kEventInformation);
        ReplacePage(walk, last.path, kept.Xml());
        // The page keys file no longer describes the file; the next walk reads the file.
        walk.keys.Unknown(last.start);
      },
      Fixed(kExporterClass + ".CreateLastDataFileFromRS, @Line#5"));
}

bool PagedEntityWalk::DropFromPage(PageWalk& walk, int32_t page_start,
                                   const std::vector<std::string>& keys, std::string_view why) {
  return context_.Guarded(
      false,
      [&](int&) {
        const std::optional<PageKeys::PageFile> page = walk.keys.FileAt(page_start);
        if (!page) return true;  // gone already
        const std::string last_file = page->path;
        const std::shared_ptr<ado::Recordset> held = ReadLastDataPage(last_file);
        RowReader reader = walk.keys.ReaderFor(held->FieldDefs());
        const ado::RecordStore& store = held->Records();
        PageBuilder rest(*held);
        std::string key;
        for (const size_t record : held->RecordsToSave()) {
          if (reader.Key(store, record, key) &&
              std::find(keys.begin(), keys.end(), key) != keys.end()) {
            continue;
          }
          rest.Add(store, record);
        }
        context_.Trace(std::string(why) + last_file, kEventInformation);
        ReplacePage(walk, last_file, rest.Xml());
        walk.keys.Dropped(page_start, keys);
        return true;
      },
      Fixed(kExporterClass + ".CreateLastDataFileFromRS, @Line#5"));
}

void PagedEntityWalk::EndPageWalk(PageWalk& walk, bool completed) {
  walk.sends.WaitAll();
  if (walk.whole && walk.all_delivered && completed) {
    // The pages past the end of a result sent whole hold what that result replaced.
    for (const PageKeys::PageFile& page : walk.keys.PagesAfter(walk.total_rows - 1)) {
      if (::unlink(page.path.c_str()) == 0) walk.keys.Removed(page.start);
    }
  }
  if (walk.deletions && completed) EndDeletions(walk);
  // A result sent whole is the last data now, as far as it was delivered.
  if (walk.whole && completed) {
    for (const std::string& record : walk.records_made) ::unlink(record.c_str());
  }
  if (!walk.keys.Dirty()) return;
  try {
    walk.keys.Save(walk.keys_file);
  } catch (const core::Error& error) {
    // Only a shortcut: the next run reads the pages themselves.
    context_.Trace(kExporterClass +
                       ".Export_DiffPerEntity, the page keys could not be saved: " + walk.keys_file,
                   kEventWarning, error.record());
  }
}

void PagedEntityWalk::ReplacePage(PageWalk& walk, const std::string& last_file,
                                  const std::string& xml) {
  if (walk.deletions) walk.deletions->BeforeReplace(last_file);
  last_.WriteLastDataFile(last_file, xml);
}

void PagedEntityWalk::EndDeletions(PageWalk& walk) {
  // A row that failed may hold an entity the walk did not meet: nothing is taken for gone.
  if (context_.stats.failures > walk.failures_before) {
    context_.Trace(kExporterClass + ".Export_DiffPerEntity, the walk had failures; no deletion " +
                       "is looked for: " + walk.result_path,
                   kEventWarning);
    return;
  }
  context_.Guarded(
      [&](int&) {
        const std::map<int32_t, std::vector<std::string>> delivered = walk.deletions->End(
            walk.keys, walk.result_path, walk.import_rule,
            outbox_.SentRecords(walk.last_folder,
                                std::filesystem::path(walk.result_path).filename().string()));
        for (const auto& [page, keys] : delivered) {
          DropFromPage(walk, page, keys,
                       "Entities whose deletion was delivered leave the last data: ");
        }
      },
      Fixed(kExporterClass + ".Export_DiffPerEntity, deletions"));
}

void PagedEntityWalk::MeetWhole(PageWalk& walk, int32_t start, const ado::Recordset& rows) {
  const ado::RecordStore& store = rows.Records();
  std::string key;
  for (size_t record = 0; record < store.RecordCount(); ++record) {
    if (!walk.reader.Key(store, record, key)) continue;
    int32_t occurrence = 0;
    walk.keys.Meet(key, walk.reader.Fingerprint(store, record), start, occurrence);
  }
}

}  // namespace qv

#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/File.h"
#include "export/EntityIndex.h"
#include "export/KeyMeetings.h"
#include "export/KeyedRecordFile.h"
#include "export/KeysFile.h"
#include "values/FieldDef.h"

namespace qv {

// What the pages of a paged rule's last data hold, taken together: each page's records
// as key and fingerprint, and every key's records over all pages, so that an entity
// that moved to another page is still found. The records stay in a file (KeyedRecordFile):
// memory holds a few bits per record, whatever the number of rows. Kept beside the pages as a page
// keys file (see FileOf), in which each page is stamped with its last-data file's size, time and
// inode: a page whose file no longer matches is read from the file itself, so the
// page keys file is only ever a shortcut and removing it is safe.
class PageKeys {
 public:
  // A last-data file of one page: rows `start` to `end` of the result.
  struct PageFile {
    int32_t start = 0;
    int32_t end = 0;
    std::string path;
  };
  // The page files of `result_name` in `last_folder` whose pages have `page_size` rows,
  // by their first row. Symbolic links named like one are not among them: they go to
  // `links`.
  static std::vector<PageFile> ListPages(const std::string& last_folder,
                                         const std::string& result_name, int32_t page_size,
                                         std::vector<std::string>& links);
  // The page keys file of the result `result_name` in `last_folder`.
  static std::string FileOf(const std::string& last_folder, const std::string& result_name);

  // The query's compared field names and its key field's name.
  PageKeys(std::vector<std::string> compared, std::string key);

  // Reads what `pages` hold: from the page keys file at `keys_path` for each page still
  // in step with it, else from the page's file. Returns the pages that could not be
  // read, each with the reason; they count as holding nothing.
  std::vector<std::pair<PageFile, std::string>> Load(const std::string& keys_path,
                                                     const std::vector<PageFile>& pages);
  // Writes the page keys file; throws core::Error when it cannot.
  void Save(const std::string& keys_path);

  size_t PageCount() const { return pages_.size(); }
  // The page starting at `start`; null when there is none.
  std::optional<PageFile> FileAt(int32_t start) {
    const Page* page = Find(start);
    if (!page || page->removed) return std::nullopt;
    return FileOf(*page);
  }
  // Whether the page keys file no longer says what the pages hold.
  bool Dirty() const { return dirty_; }
  // Whether a page starting at or before `last_row` has records of another layout
  // (field names and types) than `layout`.
  bool OtherLayoutUpTo(int64_t last_row, uint64_t layout) const;
  // The pages starting after `last_row`: the result no longer reaches them.
  std::vector<PageFile> PagesAfter(int64_t last_row) const;

  enum class Outcome { kNew, kChanged, kUnchanged, kMoved };
  // The query's record `key` with `fingerprint`, on the page starting at `page_start`:
  // unchanged when a record of the key with the same fingerprint lies on any page and
  // was not met yet in this walk (it is then met); changed when the key is there with
  // other values only; new when no page holds it. `occurrence` tells how often the walk
  // met the key before (0 the first time).
  Outcome Meet(std::string_view key, const RowFingerprint& fingerprint, int32_t page_start,
               int32_t& occurrence);
  // Every record of the page counts as met: its rows are its file's, unchanged.
  void MeetPage(int32_t page_start);
  // Whether the page held, as the walk began, `rows` records (none without a key) whose
  // keys no other record holds.
  bool HeldDistinct(int32_t page_start, size_t rows);
  // Whether a page of the last data held a record of `key` when the walk began.
  bool Holds(std::string_view key);

  // The pages other than `page_start`, not yet rewritten in this walk, that still hold a
  // record of `key` with other values than `fingerprint`: an older copy of an entity that
  // was just sent.
  std::vector<int32_t> OlderCopies(std::string_view key, const RowFingerprint& fingerprint,
                                   int32_t page_start);
  // The page's file now holds its old records less those of `keys`.
  void Dropped(int32_t page_start, const std::vector<std::string>& keys);
  // The page's file now holds `records` (key and fingerprint), of layout `layout`,
  // written from the rows of hash `rows_hash` (PageRowsHash).
  void Rewritten(const PageFile& file,
                 const std::vector<std::pair<std::string, RowFingerprint>>& records,
                 uint64_t layout, uint64_t rows_hash);
  // Whether the file of the page starting at `start` was written from rows of hash
  // `rows_hash`, while the file is as this program left it; nothing when not known.
  std::optional<bool> Holds(int32_t start, uint64_t rows_hash);
  // The file of the page starting at `start`, as it is, was found to hold what rows of
  // hash `rows_hash` write.
  void Holding(int32_t start, uint64_t rows_hash);
  // The page's file is gone.
  void Removed(int32_t page_start);
  // The page's file changed in a way the walk does not follow: the page keys file sends
  // the next walk to the file itself.
  void Unknown(int32_t page_start);

  // Whether the walk met `key`.
  bool Met(std::string_view key);
  // Whether every page the walk began with was met whole: then no key went unmet.
  bool AllPagesMetWhole() const;
  // Each key the walk never met that a page held when the walk began (an entity gone
  // from the query's result), with the first row of each page that held it and whether
  // that page's file still has the record.
  void ForEachUnmet(
      const std::function<void(std::string_view key, int32_t page_start, bool in_file)>& take);
  // The number of keys the pages held when the walk began.
  size_t HeldKeyCount();

  // A reader of keys and fingerprints for records of `fields`.
  RowReader ReaderFor(const std::vector<ado::FieldDef>& fields) const {
    return shape_.QueryReader(fields);
  }

 private:
  // What the page keys file says of a page: stamp, layout, and where its records lie.
  struct HeldPage {
    keys_file::FileStamp stamp;
    uint64_t layout = 0;
    uint64_t rows_hash = 0;  // of the rows the file was written from; 0: not known
    uint64_t offset = 0;     // of its first record
    uint32_t first = 0;      // its number
    uint32_t count = 0;
  };
  // Memory holds no path per page: a page's file is its first and last row in the name of
  // the pages (PathOf).
  struct Page {
    int32_t start = 0;
    int32_t end = 0;
    bool removed = false;  // its file is gone
    keys_file::FileStamp stamp;
    uint64_t layout = 0;
    uint64_t rows_hash = 0;  // of the rows the file was written from; 0: not known
    // Its records as the walk began, in base_: `count` from number `first` at `offset`.
    uint64_t offset = 0;
    uint32_t first = 0;
    uint32_t count = 0;
    bool rewritten = false;
    // The file holds records the walk does not know of (Unknown): its stamp stays unset.
    bool unknown = false;
    bool met_whole = false;
    // What a rewritten page's file holds now: `now_bytes` bytes at `now_at` in now_.
    uint64_t now_at = 0;
    uint64_t now_bytes = 0;
  };
  // One of the walk's records, as a look-up finds it.
  struct Found {
    uint32_t number = 0;
    uint64_t next = 0;  // the offset of the record after it
    RowFingerprint fingerprint;
  };
  // The records of `key` as the walk began, by number; the record after the last one Meet
  // matched is tried first, since the query's next record is most often that one.
  std::vector<Found> Lookup(std::string_view key);
  // The page holding record `number`.
  const Page& PageOf(uint32_t number) const;
  // Each record of the page as the walk began.
  void ForEachOf(const Page& page,
                 const std::function<void(std::string_view key, uint32_t number,
                                          const RowFingerprint& fingerprint)>& take);
  // Whether record `number` of `page` is still in the page's file.
  bool InFile(const Page& page, uint32_t number) const {
    return live_[number] && !page.rewritten && !page.removed;
  }
  // The path of the page's file, and the page as a PageFile.
  std::string PathOf(const Page& page) const;
  PageFile FileOf(const Page& page) const { return {page.start, page.end, PathOf(page)}; }
  // Takes the part of the pages' paths before their rows from `file`, once.
  void LearnPrefix(const PageFile& file);
  // Opens the page keys file at `keys_path` when it holds these names; what it says of each
  // page, by first row.
  using HeldPages = std::vector<std::pair<int32_t, HeldPage>>;  // by first row
  HeldPages OpenHeld(const std::string& keys_path, std::unique_ptr<KeyedRecordFile>& held);
  // The page's records read from its file; throws core::Error.
  std::vector<std::pair<std::string, RowFingerprint>> ReadPage(Page& page) const;
  // The page's file holds `records` now (Rewritten).
  void PutNow(Page& page, const std::vector<std::pair<std::string, RowFingerprint>>& records);
  // The page with the first row `start`; null when there is none.
  Page* Find(int32_t start);

  EntityIndex shape_;  // the compared names and the key's, and the readers made from them
  std::string scratch_folder_;
  std::string prefix_;  // the pages' paths up to their first row
  std::vector<Page> pages_;
  size_t base_pages_ = 0;  // the first pages of pages_: those the walk began with
  std::unordered_map<int32_t, uint32_t> page_by_start_;
  // The pages' records as the walk began, in page order; per record whether the walk met it
  // and whether its page's file still has it; per key (its first record) whether it was met.
  std::unique_ptr<KeyedRecordFile> base_;
  std::vector<bool> met_;
  std::vector<bool> live_;
  // The keys the walk met.
  KeyMeetings keys_met_;
  // Rewritten pages' records, in a scratch file.
  std::optional<core::File> now_;
  uint64_t now_end_ = 0;
  // Where the record after the one Meet matched last begins.
  uint64_t next_guess_ = 0;
  bool dirty_ = false;
};

}  // namespace qv

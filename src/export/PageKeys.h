#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "export/EntityIndex.h"
#include "export/KeyTable.h"
#include "export/KeysFile.h"
#include "values/FieldDef.h"

namespace qv {

// What the pages of a paged rule's last data hold, taken together: each page's records
// as key and fingerprint, and every key's records over all pages, so that an entity
// that moved to another page is still found. Kept beside the pages as a page keys file
// (see FileOf), in which each page is stamped with its last-data file's size, time and
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
  void Save(const std::string& keys_path) const;

  size_t PageCount() const { return pages_.size(); }
  // The page starting at `start`; null when there is none.
  const PageFile* FileAt(int32_t start) {
    const Page* page = Find(start);
    return page && !page->file.path.empty() ? &page->file : nullptr;
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
  // Whether a page of the last data held a record of `key` when the walk began.
  bool Holds(std::string_view key);

  // The pages other than `page_start`, not yet rewritten in this walk, that still hold a
  // record of `key` with other values than `fingerprint`: an older copy of an entity that
  // was just sent.
  std::vector<int32_t> OlderCopies(std::string_view key, const RowFingerprint& fingerprint,
                                   int32_t page_start) const;
  // The page's file now holds its old records less those of `keys`.
  void Dropped(int32_t page_start, const std::vector<std::string>& keys);
  // The page's file now holds `records` (key and fingerprint), of layout `layout`.
  void Rewritten(const PageFile& file, std::vector<std::pair<std::string, RowFingerprint>> records,
                 uint64_t layout);
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
  // What the page keys file says of a page: stamp, layout, and where its records lie in
  // the file's bytes (read only for the pages still in step).
  struct HeldPage {
    keys_file::FileStamp stamp;
    uint64_t layout = 0;
    uint32_t count = 0;
    std::string_view records;
  };
  // Reads the page keys file into held_bytes_ and what it says of each page, by its first
  // row; nothing without one, or with one of other fields or not whole.
  std::unordered_map<int32_t, HeldPage> ReadHeld(const std::string& keys_path);
  static constexpr uint32_t kNone = UINT32_MAX;
  // What the walk knows of a key of table_, by its number.
  struct KeyState {
    uint32_t first = kNone;  // its first record
    int32_t met = 0;
  };
  struct Record {
    RowFingerprint fingerprint;
    uint32_t key = 0;  // in keys_
    uint32_t page = 0;
    uint32_t next = kNone;  // the key's next record
    bool live = true;       // still in its page's file
    bool met = false;
  };
  struct Page {
    PageFile file;
    keys_file::FileStamp stamp;
    uint64_t layout = 0;
    std::vector<uint32_t> records;  // as the walk began
    bool rewritten = false;
    // The file holds records the walk does not know of (Unknown): its stamp stays unset.
    bool unknown = false;
    // What a rewritten page's file holds now.
    std::vector<std::pair<std::string, RowFingerprint>> now;
    // Records still only in the page keys file's bytes (see Materialize), and whether
    // the walk met them all already.
    std::string_view held;
    uint32_t held_count = 0;
    bool met_whole = false;
  };
  // Adds the records of the pages still held in the page keys file's bytes. A walk that
  // only meets unchanged pages never needs them.
  void Materialize();
  // A page's records read from its file; throws core::Error.
  void ReadPage(Page& page, uint32_t index);
  void AddRecord(uint32_t page, std::string_view key, const RowFingerprint& fingerprint,
                 uint64_t hash);
  // The key's number in table_ and keys_ (`hash` is its KeyTable::Hash), made when missing.
  uint32_t AddKey(std::string_view key, uint64_t hash);
  // The page starting at `start`; null when there is none.
  Page* Find(int32_t start);

  EntityIndex shape_;  // the compared names and the key's, and the readers made from them
  std::vector<Page> pages_;
  std::unordered_map<int32_t, uint32_t> page_by_start_;
  std::vector<Record> records_;
  // The keys in one open-addressing table over one block of key bytes: per slot the key
  // hash's high half and the key's index + 1, 0 for a free slot.
  KeyTable table_;
  std::vector<KeyState> keys_;
  // The record after the one Meet matched last: the query's next record is most often
  // that one, found without a look-up in table_.
  uint32_t next_guess_ = 0;
  bool dirty_ = false;
  std::string held_bytes_;  // the page keys file, until Materialize
  bool materialized_ = false;
};

}  // namespace qv

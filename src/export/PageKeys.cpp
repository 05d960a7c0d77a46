#include "export/PageKeys.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <map>
#include <set>

#define XXH_INLINE_ALL
#include <fcntl.h>
#include <xxhash.h>

#include "core/AtomicFile.h"
#include "core/Error.h"
#include "core/Folder.h"
#include "export/ResultFileNames.h"
#include "xmlformat/XmlReader.h"

namespace qv {
namespace {

using keys_file::FileStamp;
using keys_file::Put;
using keys_file::PutStamp;
using keys_file::PutText;

// Page keys files of earlier versions ("QvPageKeys1", "QvPageKeys2") are not taken: the
// pages are read themselves once, and their keys saved anew.
constexpr std::string_view kMagic = "QvPageKeys3\n";
const char* const kSource = "PageKeys";

// The number at the start of `text`, which it leaves; nothing when there is none.
std::optional<int32_t> TakeNumber(std::string_view& text) {
  int32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data()) return std::nullopt;
  text.remove_prefix(static_cast<size_t>(end - text.data()));
  return value;
}

// Hands a page file's rows to the page keys.
class PageRows : public ado::XmlRowHandler {
 public:
  PageRows(const PageKeys& keys, std::vector<std::pair<std::string, RowFingerprint>>& out,
           uint64_t& layout)
      : keys_(keys), out_(out), layout_(layout) {}
  void Fields(const std::vector<ado::FieldDef>& fields) override {
    reader_.emplace(keys_.ReaderFor(fields));
    layout_ = LayoutOf(fields);
  }
  void Row(std::span<const char* const> values) override {
    std::string key;
    if (!reader_->Key(values, key)) return;
    out_.emplace_back(std::move(key), reader_->Fingerprint(values));
  }

 private:
  const PageKeys& keys_;
  std::vector<std::pair<std::string, RowFingerprint>>& out_;
  uint64_t& layout_;
  std::optional<RowReader> reader_;
};

// The `size` bytes at `offset` of `file`. Throws core::Error.
std::string ReadBytes(const core::File& file, uint64_t offset, size_t size) {
  std::string bytes(size, '\0');
  if (!ReadAt(file, bytes.data(), size, offset)) {
    throw core::Error(core::kErrPathFileAccess, kSource, file.Path() + " ended early");
  }
  return bytes;
}

}  // namespace

std::vector<PageKeys::PageFile> PageKeys::ListPages(const std::string& last_folder,
                                                    const std::string& result_name,
                                                    int32_t page_size,
                                                    std::vector<std::string>& links) {
  const std::string prefix = result_name + "_";
  // The page's first and last row when `name` is one of its files.
  const auto page_of = [&](const std::string& name) -> std::optional<std::pair<int32_t, int32_t>> {
    if (!name.starts_with(prefix) || !name.ends_with(".xml")) return std::nullopt;
    std::string_view range(name);
    range.remove_prefix(prefix.size());
    range.remove_suffix(4);
    const std::optional<int32_t> start = TakeNumber(range);
    if (!start || !range.starts_with('-')) return std::nullopt;
    range.remove_prefix(1);
    const std::optional<int32_t> end = TakeNumber(range);
    if (!end || !range.empty() || *start < 0 || int64_t{*end} - *start + 1 != page_size ||
        *start % page_size != 0 ||
        std::to_string(*start) + "-" + std::to_string(*end) !=
            name.substr(prefix.size(), name.size() - prefix.size() - 4)) {
      return std::nullopt;
    }
    return std::pair(*start, *end);
  };
  // Names only: a folder of a hundred thousand pages is listed without a path per file.
  std::vector<PageFile> pages;
  std::vector<core::FolderEntry> entries;
  try {
    entries = core::Folder::Open(last_folder, core::Folder::Reach::kOwn, "ListPages").List();
  } catch (const core::Error&) {
    return pages;  // a folder that cannot be listed holds no pages
  }
  const std::string folder = (std::filesystem::path(last_folder) / "").string();
  for (const core::FolderEntry& entry : entries) {
    if (entry.kind != core::EntryKind::kFile && entry.kind != core::EntryKind::kLink) continue;
    const auto page = page_of(entry.name);
    if (!page) continue;
    if (entry.kind == core::EntryKind::kLink) {
      links.push_back(folder + entry.name);
    } else {
      pages.push_back({page->first, page->second, folder + entry.name});
    }
  }
  std::sort(pages.begin(), pages.end(),
            [](const PageFile& a, const PageFile& b) { return a.start < b.start; });
  return pages;
}

std::string PageKeys::FileOf(const std::string& last_folder, const std::string& result_name) {
  return (std::filesystem::path(last_folder) / ("." + result_name + ".pages")).string();
}

PageKeys::PageKeys(std::vector<std::string> compared, std::string key)
    : shape_(std::move(compared), std::move(key)) {}

std::vector<std::pair<std::string, RowFingerprint>> PageKeys::ReadPage(Page& page) const {
  std::vector<std::pair<std::string, RowFingerprint>> rows;
  PageRows handler(*this, rows, page.layout);
  const std::string bytes = core::File::ReadWhole(PathOf(page), kSource);
  ado::ReadRecordsetXmlRows(bytes, handler);
  return rows;
}

PageKeys::HeldPages PageKeys::OpenHeld(const std::string& keys_path,
                                       std::unique_ptr<KeyedRecordFile>& held) {
  HeldPages pages;
  core::File file = core::File::TryOpen(keys_path, O_RDONLY | O_NOFOLLOW, kSource);
  if (!file.IsOpen()) return pages;
  try {
    held = KeyedRecordFile::Open(std::move(file), kMagic);
  } catch (const core::Error&) {
    held.reset();
  }
  if (!held) return pages;
  keys_file::Reader in(held->Meta());
  const auto page_count =
      keys_file::NamesMatch(in, shape_.KeyName(), shape_.Compared()) ? in.Get<uint32_t>() : 0;
  bool whole = true;  // every page's records lie among the file's
  for (uint32_t p = 0; in.Ok() && whole && p < page_count; ++p) {
    const auto start = in.Get<int32_t>();
    HeldPage& page = pages.emplace_back(start, HeldPage()).second;
    page.stamp = in.Stamp();
    page.layout = in.Get<uint64_t>();
    page.rows_hash = in.Get<uint64_t>();
    page.offset = in.Get<uint64_t>();
    page.first = in.Get<uint32_t>();
    page.count = in.Get<uint32_t>();
    whole = uint64_t{page.first} + page.count <= held->Count();
  }
  // Saved by first row, each page once.
  const bool in_order =
      std::adjacent_find(pages.begin(), pages.end(), [](const auto& a, const auto& b) {
        return a.first >= b.first;
      }) == pages.end();
  if (page_count == 0 || !whole || !in_order || !in.Ok() || !in.AtEnd()) {
    pages.clear();
    held.reset();
  }
  return pages;
}

std::vector<std::pair<PageKeys::PageFile, std::string>> PageKeys::Load(
    const std::string& keys_path, const std::vector<PageFile>& pages) {
  scratch_folder_ = std::filesystem::path(keys_path).parent_path().string();
  if (pages.empty()) return {};  // nothing held: every entity is new
  std::unique_ptr<KeyedRecordFile> held_file;
  const HeldPages held = OpenHeld(keys_path, held_file);
  const auto held_page = [&](int32_t start) -> const HeldPage* {
    const auto at = std::lower_bound(held.begin(), held.end(), start,
                                     [](const auto& page, int32_t s) { return page.first < s; });
    return at != held.end() && at->first == start ? &at->second : nullptr;
  };
  std::vector<std::pair<PageFile, std::string>> unreadable;
  std::vector<std::optional<FileStamp>> stamps;
  pages_.reserve(pages.size());
  for (const PageFile& file : pages) LearnPrefix(file);
  bool in_step = held_file && held.size() == pages.size();
  for (const PageFile& file : pages) {
    stamps.push_back(keys_file::StampOf(file.path));
    const HeldPage* known = held_page(file.start);
    if (!stamps.back() || !known || !(known->stamp == *stamps.back())) in_step = false;
  }
  if (in_step) {
    // The page keys file says what every page holds: the walk reads it as it is.
    for (const PageFile& file : pages) {
      const HeldPage& known = *held_page(file.start);
      page_by_start_[file.start] = static_cast<uint32_t>(pages_.size());
      pages_.push_back({file.start, file.end, false, known.stamp, known.layout, known.rows_hash,
                        known.offset, known.first, known.count});
    }
    base_ = std::move(held_file);
  } else {
    // Put together anew in a scratch file: from the page keys file for the pages still in
    // step with it, else from the page's own file.
    dirty_ = true;
    core::File scratch = ScratchFile(scratch_folder_, kSource);
    KeyedRecordWriter out([&](std::string_view bytes) { scratch.WriteAll(bytes); }, scratch_folder_,
                          kMagic);
    for (size_t i = 0; i < pages.size(); ++i) {
      if (!stamps[i]) continue;
      Page page{pages[i].start, pages[i].end, false, *stamps[i]};
      page.offset = out.Offset();
      page.first = static_cast<uint32_t>(out.Count());
      const HeldPage* known = held_page(page.start);
      if (known && known->stamp == page.stamp) {
        page.layout = known->layout;
        page.rows_hash = known->rows_hash;
        uint64_t at = known->offset;
        for (uint32_t r = 0; r < known->count; ++r) {
          const KeyedRecordFile::Record record = held_file->At(at);
          out.Add(record.key, record.fingerprint);
          at = record.next;
        }
      } else {
        try {
          for (const auto& [key, fingerprint] : ReadPage(page)) out.Add(key, fingerprint);
        } catch (const core::Error& error) {
          // A page that cannot be read whole holds nothing; Add saw none of it.
          unreadable.emplace_back(pages[i], error.record().description);
          continue;
        }
      }
      page.count = static_cast<uint32_t>(out.Count() - page.first);
      page_by_start_[page.start] = static_cast<uint32_t>(pages_.size());
      pages_.push_back(page);
    }
    out.Finish({});
    base_ = KeyedRecordFile::Open(std::move(scratch), kMagic);
    if (!base_) throw core::Error(core::kErrPathFileAccess, kSource, "the page keys were not kept");
  }
  base_pages_ = pages_.size();
  met_.assign(base_->Count(), false);
  live_.assign(base_->Count(), true);
  keys_met_.Reset(base_->Count());
  return unreadable;
}

void PageKeys::Save(const std::string& keys_path) {
  core::AtomicFile file(keys_path, kSource);
  KeyedRecordWriter out([&](std::string_view bytes) { file.Write(bytes); }, scratch_folder_,
                        kMagic);
  std::vector<const Page*> order;
  for (const Page& page : pages_) {
    if (!page.removed) order.push_back(&page);
  }
  std::sort(order.begin(), order.end(),
            [](const Page* a, const Page* b) { return a->start < b->start; });
  std::string meta;
  keys_file::PutNames(meta, shape_.KeyName(), shape_.Compared());
  Put(meta, static_cast<uint32_t>(order.size()));
  for (const Page* page : order) {
    const uint64_t offset = out.Offset();
    const auto first = static_cast<uint32_t>(out.Count());
    if (page->rewritten) {
      const std::string bytes =
          page->now_bytes > 0 ? ReadBytes(*now_, page->now_at, page->now_bytes) : std::string();
      keys_file::Reader in(bytes);
      while (in.Ok() && !in.AtEnd()) {
        const std::string_view key = in.Text();
        RowFingerprint fingerprint;
        fingerprint.low = in.Get<uint64_t>();
        fingerprint.high = in.Get<uint64_t>();
        out.Add(key, fingerprint);
      }
    } else {
      ForEachOf(*page, [&](std::string_view key, uint32_t number, const RowFingerprint& print) {
        if (live_[number]) out.Add(key, print);
      });
    }
    Put(meta, page->start);
    PutStamp(meta, page->stamp);
    Put(meta, page->layout);
    Put(meta, page->rows_hash);
    Put(meta, offset);
    Put(meta, first);
    Put(meta, static_cast<uint32_t>(out.Count() - first));
  }
  out.Finish(meta);
  file.Commit(core::AtomicFile::Durability::kRenameOnly);
}

bool PageKeys::OtherLayoutUpTo(int64_t last_row, uint64_t layout) const {
  return std::any_of(pages_.begin(), pages_.end(), [&](const Page& page) {
    return !page.removed && page.start <= last_row && page.layout != layout;
  });
}

std::vector<PageKeys::PageFile> PageKeys::PagesAfter(int64_t last_row) const {
  std::vector<PageFile> after;
  for (const Page& page : pages_) {
    if (!page.removed && page.start > last_row) after.push_back(FileOf(page));
  }
  return after;
}

std::string PageKeys::PathOf(const Page& page) const {
  return prefix_ + std::to_string(page.start) + "-" + std::to_string(page.end) + ".xml";
}

void PageKeys::LearnPrefix(const PageFile& file) {
  if (!prefix_.empty()) return;
  const std::string rows = std::to_string(file.start) + "-" + std::to_string(file.end) + ".xml";
  if (file.path.ends_with(rows)) prefix_ = file.path.substr(0, file.path.size() - rows.size());
}

PageKeys::Page* PageKeys::Find(int32_t start) {
  const auto it = page_by_start_.find(start);
  return it == page_by_start_.end() ? nullptr : &pages_[it->second];
}

const PageKeys::Page& PageKeys::PageOf(uint32_t number) const {
  // The pages the walk began with hold the records in order; a page added since holds none.
  const auto end = pages_.begin() + static_cast<std::ptrdiff_t>(base_pages_);
  const auto after = std::upper_bound(pages_.begin(), end, number,
                                      [](uint32_t n, const Page& page) { return n < page.first; });
  return *std::prev(after);
}

void PageKeys::ForEachOf(const Page& page,
                         const std::function<void(std::string_view key, uint32_t number,
                                                  const RowFingerprint& fingerprint)>& take) {
  std::string key;  // the record's key outlives later reads of the file
  uint64_t at = page.offset;
  for (uint32_t i = 0; i < page.count; ++i) {
    const KeyedRecordFile::Record record = base_->At(at);
    key.assign(record.key);
    at = record.next;
    take(key, record.number, record.fingerprint);
  }
}

std::vector<PageKeys::Found> PageKeys::Lookup(std::string_view key) {
  std::vector<Found> found;
  if (!base_) return found;
  for (const KeyedRecordFile::Record& record : base_->Find(key, next_guess_)) {
    found.push_back({record.number, record.next, record.fingerprint});
  }
  return found;
}

PageKeys::Outcome PageKeys::Meet(std::string_view key, const RowFingerprint& fingerprint,
                                 int32_t page_start, int32_t& occurrence) {
  const std::vector<Found> records = Lookup(key);
  if (records.empty()) {
    occurrence = keys_met_.MeetMissing(key);
    return Outcome::kNew;
  }
  occurrence = keys_met_.Meet(records.front().number);
  // A record on the entity's own page first, so that an entity that did not move is
  // never taken for one that did.
  const Found* same = nullptr;
  for (const Found& record : records) {
    if (met_[record.number] || !(record.fingerprint == fingerprint)) continue;
    if (!same || PageOf(record.number).start == page_start) same = &record;
  }
  if (!same) {
    next_guess_ = records.front().next;
    return Outcome::kChanged;
  }
  met_[same->number] = true;
  next_guess_ = same->next;
  return PageOf(same->number).start == page_start ? Outcome::kUnchanged : Outcome::kMoved;
}

void PageKeys::MeetPage(int32_t page_start) {
  Page* page = Find(page_start);
  if (!page) return;
  page->met_whole = true;
  bool repeated = false;
  for (uint32_t number = page->first; number < page->first + page->count; ++number) {
    met_[number] = true;
    if (base_->Repeated(number)) {
      repeated = true;
    } else {
      keys_met_.Meet(number);
    }
  }
  if (!repeated) return;
  ForEachOf(*page, [&](std::string_view key, uint32_t number, const RowFingerprint&) {
    if (base_->Repeated(number)) keys_met_.Meet(Lookup(key).front().number);
  });
}

bool PageKeys::HeldDistinct(int32_t page_start, size_t rows) {
  const Page* page = Find(page_start);
  if (!page || page->rewritten || page->unknown || page->removed || page->count != rows) {
    return false;
  }
  for (uint32_t number = page->first; number < page->first + page->count; ++number) {
    if (base_->Repeated(number)) return false;
  }
  return true;
}

std::optional<bool> PageKeys::Holds(int32_t start, uint64_t rows_hash) {
  const Page* page = Find(start);
  if (!page || page->rows_hash == 0 || page->unknown || page->removed) return std::nullopt;
  // A file changed behind the walk's back is compared as it is.
  if (keys_file::StampOf(PathOf(*page)) != std::optional<FileStamp>(page->stamp))
    return std::nullopt;
  return rows_hash == page->rows_hash;
}

void PageKeys::Holding(int32_t start, uint64_t rows_hash) {
  Page* page = Find(start);
  if (!page || page->unknown || page->removed || page->rows_hash == rows_hash) return;
  page->rows_hash = rows_hash;
  dirty_ = true;
}

bool PageKeys::Holds(std::string_view key) {
  // Records of pages rewritten in this walk count too: an entity that moved on from its
  // page is still the walk's to meet (Meet).
  return !Lookup(key).empty();
}

std::vector<int32_t> PageKeys::OlderCopies(std::string_view key, const RowFingerprint& fingerprint,
                                           int32_t page_start) {
  std::set<int32_t> pages;
  for (const Found& record : Lookup(key)) {
    const Page& page = PageOf(record.number);
    if (!live_[record.number] || page.rewritten || page.start == page_start ||
        record.fingerprint == fingerprint) {
      continue;
    }
    pages.insert(page.start);
  }
  return {pages.begin(), pages.end()};
}

void PageKeys::Dropped(int32_t page_start, const std::vector<std::string>& keys) {
  dirty_ = true;
  Page* page = Find(page_start);
  if (!page) return;
  page->rows_hash = 0;
  const std::set<std::string_view> gone(keys.begin(), keys.end());
  ForEachOf(*page, [&](std::string_view key, uint32_t number, const RowFingerprint&) {
    if (gone.contains(key)) live_[number] = false;
  });
  if (page->unknown) return;
  if (const std::optional<FileStamp> stamp = keys_file::StampOf(PathOf(*page))) {
    page->stamp = *stamp;
  }
}

void PageKeys::PutNow(Page& page,
                      const std::vector<std::pair<std::string, RowFingerprint>>& records) {
  if (!now_) now_.emplace(ScratchFile(scratch_folder_, kSource));
  std::string bytes;
  for (const auto& [key, fingerprint] : records) {
    PutText(bytes, key);
    Put(bytes, fingerprint.low);
    Put(bytes, fingerprint.high);
  }
  now_->WriteAll(bytes);
  page.now_at = now_end_;
  page.now_bytes = bytes.size();
  now_end_ += bytes.size();
}

void PageKeys::Rewritten(const PageFile& file,
                         const std::vector<std::pair<std::string, RowFingerprint>>& records,
                         uint64_t layout, uint64_t rows_hash) {
  dirty_ = true;
  auto it = page_by_start_.find(file.start);
  if (it == page_by_start_.end()) {
    it = page_by_start_.emplace(file.start, static_cast<uint32_t>(pages_.size())).first;
    Page& added = pages_.emplace_back();
    added.start = file.start;
    added.end = file.end;
    LearnPrefix(file);
  }
  Page& page = pages_[it->second];
  // The records the walk began with stay known for lookups; the file no longer has them.
  for (uint32_t number = page.first; number < page.first + page.count; ++number) {
    live_[number] = false;
  }
  page.rewritten = true;
  page.unknown = false;
  PutNow(page, records);
  page.layout = layout;
  page.rows_hash = rows_hash;
  if (const std::optional<FileStamp> stamp = keys_file::StampOf(file.path)) page.stamp = *stamp;
}

void PageKeys::Removed(int32_t page_start) {
  dirty_ = true;
  Page* page = Find(page_start);
  if (!page) return;
  for (uint32_t number = page->first; number < page->first + page->count; ++number) {
    live_[number] = false;
  }
  page->now_bytes = 0;
  page->rows_hash = 0;
  page->removed = true;
}

bool PageKeys::Met(std::string_view key) {
  const std::vector<Found> records = Lookup(key);
  if (!records.empty()) return keys_met_.Met(records.front().number);
  return keys_met_.MetMissing(key);
}

bool PageKeys::AllPagesMetWhole() const {
  return std::all_of(pages_.begin(), pages_.end(),
                     [](const Page& page) { return page.met_whole || page.removed; });
}

void PageKeys::ForEachUnmet(
    const std::function<void(std::string_view key, int32_t page_start, bool in_file)>& take) {
  for (size_t p = 0; p < base_pages_; ++p) {
    const Page& page = pages_[p];
    ForEachOf(page, [&](std::string_view key, uint32_t number, const RowFingerprint&) {
      if (!base_->Repeated(number)) {
        if (!keys_met_.Met(number)) take(key, page.start, InFile(page, number));
        return;
      }
      // A key of several records goes once, with all of them, at its first.
      const std::vector<Found> records = Lookup(key);
      if (records.empty() || records.front().number != number || keys_met_.Met(number)) return;
      for (const Found& record : records) {
        const Page& on = PageOf(record.number);
        take(key, on.start, InFile(on, record.number));
      }
    });
  }
}

size_t PageKeys::HeldKeyCount() { return base_ ? static_cast<size_t>(base_->KeyCount()) : 0; }

void PageKeys::Unknown(int32_t page_start) {
  dirty_ = true;
  if (Page* page = Find(page_start)) {
    page->unknown = true;
    page->stamp = {};
    page->rows_hash = 0;
  }
}

}  // namespace qv

#include "export/PageKeys.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <set>

#include "core/Error.h"
#include "export/ResultFileNames.h"
#include "xmlformat/XmlReader.h"

namespace qv {
namespace {

using keys_file::FileStamp;
using keys_file::Put;
using keys_file::PutStamp;
using keys_file::PutText;

constexpr std::string_view kMagic = "QvPageKeys1\n";
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
  const FolderFiles found = ListFiles(last_folder, core::Folder::Reach::kOwn);
  std::vector<PageFile> pages;
  for (const std::filesystem::path& path : found.files) {
    if (const auto page = page_of(path.filename().string())) {
      pages.push_back({page->first, page->second, path.string()});
    }
  }
  for (const std::filesystem::path& path : found.links) {
    if (page_of(path.filename().string())) links.push_back(path.string());
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

uint32_t PageKeys::AddKey(std::string_view key, uint64_t hash) {
  const uint32_t number = table_.Add(key, hash);
  if (number == keys_.size()) keys_.emplace_back();
  return number;
}

void PageKeys::AddRecord(uint32_t page, std::string_view key, const RowFingerprint& fingerprint,
                         uint64_t hash) {
  const uint32_t key_index = AddKey(key, hash);
  KeyState& state = keys_[key_index];
  const auto index = static_cast<uint32_t>(records_.size());
  records_.push_back({fingerprint, key_index, page, kNone, true, false});
  if (state.first == kNone) {
    state.first = index;
  } else {
    uint32_t last = state.first;
    while (records_[last].next != kNone) last = records_[last].next;
    records_[last].next = index;
  }
  pages_[page].records.push_back(index);
}

void PageKeys::ReadPage(Page& page, uint32_t index) {
  std::vector<std::pair<std::string, RowFingerprint>> rows;
  PageRows handler(*this, rows, page.layout);
  ado::ReadRecordsetXmlFileRows(page.file.path, handler);
  for (const auto& [key, fingerprint] : rows)
    AddRecord(index, key, fingerprint, KeyTable::Hash(key));
}

std::unordered_map<int32_t, PageKeys::HeldPage> PageKeys::ReadHeld(const std::string& keys_path) {
  std::unordered_map<int32_t, HeldPage> held;
  // Without one (or with one of other fields), every page is read from its file.
  held_bytes_ = keys_file::ReadFileOrNothing(keys_path, kSource);
  if (const std::optional<std::string_view> body = keys_file::Unseal(held_bytes_, kMagic)) {
    keys_file::Reader in(*body);
    const bool same = keys_file::NamesMatch(in, shape_.KeyName(), shape_.Compared());
    const auto page_count = same ? in.Get<uint32_t>() : 0;
    for (uint32_t p = 0; in.Ok() && p < page_count; ++p) {
      const auto start = in.Get<int32_t>();
      HeldPage& page = held[start];
      page.stamp = in.Stamp();
      page.layout = in.Get<uint64_t>();
      page.count = in.Get<uint32_t>();
      const size_t from = in.Offset();
      for (uint32_t r = 0; in.Ok() && r < page.count; ++r) {
        in.Text();
        in.Get<uint64_t>();
        in.Get<uint64_t>();
      }
      page.records = body->substr(from, in.Offset() - from);
    }
    if (!in.Ok() || !in.AtEnd()) held.clear();
  }
  if (held.empty()) held_bytes_.clear();
  return held;
}

std::vector<std::pair<PageKeys::PageFile, std::string>> PageKeys::Load(
    const std::string& keys_path, const std::vector<PageFile>& pages) {
  const std::unordered_map<int32_t, HeldPage> held = ReadHeld(keys_path);
  std::vector<std::pair<PageFile, std::string>> unreadable;
  size_t from_held = 0;
  for (const PageFile& file : pages) {
    const std::optional<FileStamp> stamp = keys_file::StampOf(file.path);
    if (!stamp) continue;
    const auto index = static_cast<uint32_t>(pages_.size());
    Page& added = pages_.emplace_back();
    added.file = file;
    added.stamp = *stamp;
    page_by_start_[file.start] = index;
    const auto known = held.find(file.start);
    if (known != held.end() && known->second.stamp == *stamp) {
      pages_[index].layout = known->second.layout;
      pages_[index].held = known->second.records;
      pages_[index].held_count = known->second.count;
      ++from_held;
      continue;
    }
    dirty_ = true;
    try {
      ReadPage(pages_[index], index);
    } catch (const core::Error& error) {
      // ReadPage adds nothing of a page it could not read whole.
      pages_.pop_back();
      page_by_start_.erase(file.start);
      unreadable.emplace_back(file, error.record().description);
    }
  }
  // Pages the file names that are gone, or read from their files instead.
  if (from_held != held.size()) dirty_ = true;
  return unreadable;
}

void PageKeys::Materialize() {
  if (materialized_) return;
  materialized_ = true;
  size_t records = records_.size();
  for (const Page& page : pages_) records += page.held_count;
  records_.reserve(records);
  keys_.reserve(records);
  table_.Reserve(records, held_bytes_.size());
  // A page's keys are hashed and their slots fetched before they are added: a million
  // look-ups into a table far larger than the cache then wait on memory side by side.
  struct Held {
    std::string_view key;
    RowFingerprint fingerprint;
    uint64_t hash = 0;
  };
  std::vector<Held> page_records;
  for (uint32_t index = 0; index < pages_.size(); ++index) {
    Page& page = pages_[index];
    keys_file::Reader in(page.held);
    page.records.reserve(page.held_count);
    page_records.resize(page.held_count);
    for (Held& held : page_records) {
      held.key = in.Text();
      held.fingerprint.low = in.Get<uint64_t>();
      held.fingerprint.high = in.Get<uint64_t>();
      held.hash = KeyTable::Hash(held.key);
      table_.Prefetch(held.hash);
    }
    for (const Held& held : page_records) {
      AddRecord(index, held.key, held.fingerprint, held.hash);
      if (page.met_whole) {
        records_.back().met = true;
        ++keys_[records_.back().key].met;
      }
    }
    page.held = {};
    page.held_count = 0;
  }
  held_bytes_ = std::string();
}

void PageKeys::Save(const std::string& keys_path) const {
  std::string out(kMagic);
  keys_file::PutNames(out, shape_.KeyName(), shape_.Compared());
  uint32_t page_count = 0;
  for (const Page& page : pages_) page_count += page.file.path.empty() ? 0U : 1U;
  Put(out, page_count);
  for (const Page& page : pages_) {
    if (page.file.path.empty()) continue;  // removed
    Put(out, page.file.start);
    PutStamp(out, page.stamp);
    Put(out, page.layout);
    const auto put = [&](std::string_view key, const RowFingerprint& fingerprint) {
      PutText(out, key);
      Put(out, fingerprint.low);
      Put(out, fingerprint.high);
    };
    if (page.rewritten) {
      Put(out, static_cast<uint32_t>(page.now.size()));
      for (const auto& [key, fingerprint] : page.now) put(key, fingerprint);
      continue;
    }
    if (page.held_count > 0) {
      Put(out, page.held_count);
      out.append(page.held);
      continue;
    }
    uint32_t live = 0;
    for (const uint32_t record : page.records) live += records_[record].live ? 1U : 0U;
    Put(out, live);
    for (const uint32_t record : page.records) {
      if (records_[record].live)
        put(table_.Key(records_[record].key), records_[record].fingerprint);
    }
  }
  keys_file::WriteSealed(keys_path, std::move(out), kSource);
}

bool PageKeys::OtherLayoutUpTo(int64_t last_row, uint64_t layout) const {
  return std::any_of(pages_.begin(), pages_.end(), [&](const Page& page) {
    return !page.file.path.empty() && page.file.start <= last_row && page.layout != layout;
  });
}

std::vector<PageKeys::PageFile> PageKeys::PagesAfter(int64_t last_row) const {
  std::vector<PageFile> after;
  for (const Page& page : pages_) {
    if (!page.file.path.empty() && page.file.start > last_row) after.push_back(page.file);
  }
  return after;
}

PageKeys::Page* PageKeys::Find(int32_t start) {
  const auto it = page_by_start_.find(start);
  return it == page_by_start_.end() ? nullptr : &pages_[it->second];
}

PageKeys::Outcome PageKeys::Meet(std::string_view key, const RowFingerprint& fingerprint,
                                 int32_t page_start, int32_t& occurrence) {
  Materialize();
  uint32_t key_index = kNone;
  if (next_guess_ < records_.size() && table_.Key(records_[next_guess_].key) == key) {
    key_index = records_[next_guess_].key;
  } else {
    key_index = AddKey(key, KeyTable::Hash(key));
  }
  occurrence = keys_[key_index].met++;
  if (keys_[key_index].first == kNone) return Outcome::kNew;
  // A record on the entity's own page first, so that an entity that did not move is
  // never taken for one that did.
  uint32_t same = kNone;
  for (uint32_t r = keys_[key_index].first; r != kNone; r = records_[r].next) {
    const Record& record = records_[r];
    if (record.met || !(record.fingerprint == fingerprint)) continue;
    if (same == kNone || pages_[record.page].file.start == page_start) same = r;
  }
  if (same == kNone) {
    next_guess_ = keys_[key_index].first + 1;
    return Outcome::kChanged;
  }
  records_[same].met = true;
  next_guess_ = same + 1;
  return pages_[records_[same].page].file.start == page_start ? Outcome::kUnchanged
                                                              : Outcome::kMoved;
}

void PageKeys::MeetPage(int32_t page_start) {
  Page* page = Find(page_start);
  if (!page) return;
  page->met_whole = true;  // for records still held
  for (const uint32_t record : page->records) {
    records_[record].met = true;
    ++keys_[records_[record].key].met;
  }
}

bool PageKeys::Holds(std::string_view key) {
  Materialize();
  // Records of pages rewritten in this walk count too: an entity that moved on from its
  // page is still the walk's to meet (Meet).
  const uint32_t key_index = table_.Find(key);
  return key_index != kNone && keys_[key_index].first != kNone;
}

std::vector<int32_t> PageKeys::OlderCopies(std::string_view key, const RowFingerprint& fingerprint,
                                           int32_t page_start) const {
  std::set<int32_t> pages;
  const uint32_t key_index = table_.Find(key);
  if (key_index == kNone) return {};
  for (uint32_t r = keys_[key_index].first; r != kNone; r = records_[r].next) {
    const Record& record = records_[r];
    const Page& page = pages_[record.page];
    if (!record.live || page.rewritten || page.file.start == page_start ||
        record.fingerprint == fingerprint) {
      continue;
    }
    pages.insert(page.file.start);
  }
  return {pages.begin(), pages.end()};
}

void PageKeys::Dropped(int32_t page_start, const std::vector<std::string>& keys) {
  Materialize();
  dirty_ = true;
  Page* page = Find(page_start);
  if (!page) return;
  const std::set<std::string_view> gone(keys.begin(), keys.end());
  for (const uint32_t record : page->records) {
    if (gone.contains(table_.Key(records_[record].key))) records_[record].live = false;
  }
  if (page->unknown) return;
  if (const std::optional<FileStamp> stamp = keys_file::StampOf(page->file.path)) {
    page->stamp = *stamp;
  }
}

void PageKeys::Rewritten(const PageFile& file,
                         std::vector<std::pair<std::string, RowFingerprint>> records,
                         uint64_t layout) {
  Materialize();
  dirty_ = true;
  auto it = page_by_start_.find(file.start);
  if (it == page_by_start_.end()) {
    it = page_by_start_.emplace(file.start, static_cast<uint32_t>(pages_.size())).first;
    pages_.emplace_back().file = file;
  }
  Page& page = pages_[it->second];
  // The records the walk began with stay known for lookups; the file no longer has them.
  for (const uint32_t record : page.records) records_[record].live = false;
  page.rewritten = true;
  page.unknown = false;
  page.now = std::move(records);
  page.layout = layout;
  if (const std::optional<FileStamp> stamp = keys_file::StampOf(file.path)) page.stamp = *stamp;
}

void PageKeys::Removed(int32_t page_start) {
  Materialize();
  dirty_ = true;
  Page* page = Find(page_start);
  if (!page) return;
  for (const uint32_t record : page->records) records_[record].live = false;
  page->now.clear();
  page->file.path.clear();
}

bool PageKeys::Met(std::string_view key) {
  Materialize();  // the keys of pages met whole are known only then
  const uint32_t key_index = table_.Find(key);
  return key_index != kNone && keys_[key_index].met > 0;
}

bool PageKeys::AllPagesMetWhole() const {
  return std::all_of(pages_.begin(), pages_.end(),
                     [](const Page& page) { return page.met_whole || page.file.path.empty(); });
}

void PageKeys::ForEachUnmet(
    const std::function<void(std::string_view key, int32_t page_start, bool in_file)>& take) {
  Materialize();
  for (uint32_t key_index = 0; key_index < keys_.size(); ++key_index) {
    const KeyState& state = keys_[key_index];
    if (state.met > 0 || state.first == kNone) continue;
    for (uint32_t r = state.first; r != kNone; r = records_[r].next) {
      const Page& page = pages_[records_[r].page];
      take(table_.Key(key_index), page.file.start,
           records_[r].live && !page.rewritten && !page.file.path.empty());
    }
  }
}

size_t PageKeys::HeldKeyCount() {
  Materialize();
  return static_cast<size_t>(std::count_if(
      keys_.begin(), keys_.end(), [](const KeyState& state) { return state.first != kNone; }));
}

void PageKeys::Unknown(int32_t page_start) {
  dirty_ = true;
  if (Page* page = Find(page_start)) {
    page->unknown = true;
    page->stamp = {};
  }
}

}  // namespace qv

#include "export/PageDeletions.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <unordered_set>

#include "core/AtomicFile.h"
#include "core/PosixError.h"
#include "export/ResultFileNames.h"
#include "platform/StopSignal.h"
#include "upload/CQVFileXfer.h"
#include "xmlformat/XmlReader.h"
#include "xmlformat/XmlWriter.h"

namespace qv {
namespace {

// Rows of `fields`, none yet.
ado::RecordsetData EmptyLike(const std::vector<ado::FieldDef>& fields) {
  ado::RecordsetData rows;
  rows.fields = fields;
  rows.records = ado::RecordStore(fields.size());
  return rows;
}

// Reads the key of records of `fields`.
RowReader KeyReader(const std::vector<ado::FieldDef>& fields) {
  return EntityIndex({}, kKeyField).QueryReader(fields);
}

void Append(ado::RecordsetData& to, const ado::RecordStore& from, size_t record) {
  std::string bytes;
  from.Serialize(record, bytes);
  std::string_view in(bytes);
  to.records.AppendSerialized(in);
}

}  // namespace

void PageDeletions::Begin(PageKeys& keys, const std::string& last_folder,
                          const std::string& result_name,
                          const std::vector<ado::FieldDef>& fields) {
  active_ = true;
  last_folder_ = last_folder;
  result_name_ = result_name;
  fields_ = fields;
  pending_ = EmptyLike(fields);
  std::set<std::string> keys_in;
  const std::string pending_file = PendingDeletionsFileOf(last_folder, result_name);
  if (std::filesystem::exists(pending_file)) {
    AddRows(pending_file, pending_, keys_in, [](const std::string&) { return true; });
  }
  // Only files: a link named like one is not the program's.
  for (const std::filesystem::path& file :
       ListFiles(last_folder, core::Folder::Reach::kOwn).files) {
    if (IsFormerPageFileOf(file.filename().string(), result_name)) {
      former_pages_.push_back(file.string());
    }
  }
  if (former_pages_.empty()) return;
  // A stopped run replaced these pages: what they held and no page holds now may be gone.
  for (const std::string& former : former_pages_) {
    AddRows(former, pending_, keys_in, [&](const std::string& key) { return !keys.Holds(key); });
  }
  WritePending(pending_);
  RemoveFormerPages();
}

void PageDeletions::BeforeReplace(const std::string& page_last_file) {
  if (!active_ || ending_) return;
  const std::string former = FormerPageFileOf(page_last_file);
  // Kept once a walk: the first replacement holds every row a later one could drop.
  if (::link(page_last_file.c_str(), former.c_str()) == 0) {
    former_pages_.push_back(former);
  } else if (errno != EEXIST && errno != ENOENT) {
    throw core::ErrorFromErrno(errno, kExporterClass, "Cannot keep " + page_last_file);
  }
}

std::map<int32_t, std::vector<std::string>> PageDeletions::End(
    PageKeys& keys, const std::string& result_path, const std::string& import_rule,
    const std::vector<std::string>& sent_records) {
  ending_ = true;
  // The deletions an earlier run could not deliver are made again below from the pending
  // rows, those of entities back in the result not at all.
  outbox_.DropEarlierUndelivered(result_path);
  std::map<int32_t, std::set<std::string>> on_pages;
  std::map<int32_t, std::set<std::string>> in_files;
  if (!keys.AllPagesMetWhole()) {
    keys.ForEachUnmet([&](std::string_view key, int32_t page_start, bool in_file) {
      on_pages[page_start].emplace(key);
      if (in_file) in_files[page_start].emplace(key);
    });
  }
  const ado::RecordsetData gone = GoneRows(keys, on_pages, sent_records);
  // The rows are safe in the pending deletions before the former pages and records go.
  WritePending(gone);
  RemoveFormerPages();
  for (const std::string& record : sent_records) ::unlink(record.c_str());
  const auto count = static_cast<int64_t>(gone.records.RecordCount());
  if (count == 0) return {};
  context_.stats.entities_deleted += count;
  // The entities of the last data: those its pages hold and those pending deletion.
  int64_t entities = static_cast<int64_t>(keys.HeldKeyCount());
  const RowReader pending_keys = KeyReader(pending_.fields);
  std::string pending_key;
  for (size_t record = 0; record < pending_.records.RecordCount(); ++record) {
    if (pending_keys.Key(pending_.records, record, pending_key) && !keys.Holds(pending_key)) {
      ++entities;
    }
  }
  if (!context_.deletions.Allows(count, entities)) {
    // A query that suddenly returns nearly nothing deletes nothing: the rule fails and
    // the entities stay in the last data, to be found gone again next time.
    context_.Failed(".Export_DiffPerEntity",
                    core::Error(core::kErrInvalidProcedureCall, kExporterClass,
                                context_.deletions.HeldBackText(count, entities, result_path))
                        .record());
    return {};
  }
  const std::set<std::string> delivered = outbox_.SendDeletions(gone, result_path, import_rule);
  ado::RecordsetData waiting = EmptyLike(gone.fields);
  waiting.properties = gone.properties;
  const RowReader reader = KeyReader(gone.fields);
  std::string key;
  for (size_t record = 0; record < gone.records.RecordCount(); ++record) {
    if (!reader.Key(gone.records, record, key) || !delivered.contains(key)) {
      Append(waiting, gone.records, record);
    }
  }
  WritePending(waiting);
  std::map<int32_t, std::vector<std::string>> drop;
  for (const auto& [page, page_keys] : in_files) {
    for (const std::string& page_key : page_keys) {
      if (delivered.contains(page_key)) drop[page].push_back(page_key);
    }
  }
  return drop;
}

ado::RecordsetData PageDeletions::GoneRows(PageKeys& keys,
                                           const std::map<int32_t, std::set<std::string>>& pages,
                                           const std::vector<std::string>& sent_records) {
  ado::RecordsetData rows = EmptyLike(fields_);
  rows.properties = pending_.properties;
  std::set<std::string> keys_in;
  const std::unordered_set<std::string> formers(former_pages_.begin(), former_pages_.end());
  for (const auto& on_page : pages) {
    const std::set<std::string>& page_keys = on_page.second;
    const std::optional<PageKeys::PageFile> page = keys.FileAt(on_page.first);
    if (!page) continue;
    // The page as the walk began: its former file when the walk replaced it.
    const std::string former = FormerPageFileOf(page->path);
    const std::string& file = formers.contains(former) ? former : page->path;
    AddRows(file, rows, keys_in, [&](const std::string& key) { return page_keys.contains(key); });
  }
  // A pending deletion whose entity is back is none.
  const RowReader reader = KeyReader(pending_.fields);
  std::string key;
  for (size_t record = 0; record < pending_.records.RecordCount(); ++record) {
    if (!reader.Key(pending_.records, record, key) || keys.Met(key) || keys_in.contains(key)) {
      continue;
    }
    keys_in.insert(key);
    Append(rows, pending_.records, record);
  }
  for (const std::string& record : sent_records) {
    if (outbox_.MadeThisRun(record)) continue;  // its entities are in this walk's result
    AddRows(record, rows, keys_in, [&](const std::string& sent) { return !keys.Met(sent); });
  }
  return rows;
}

void PageDeletions::AddRows(const std::string& file, ado::RecordsetData& rows,
                            std::set<std::string>& keys_in,
                            const std::function<bool(const std::string& key)>& take) const {
  // A page or the pending deletions: a few rows, read whole.
  const ado::RecordsetData read = ado::ReadRecordsetXmlFile(file);
  if (!SameRecordShape(read.fields, fields_)) return;  // of another layout: none of this query
  if (rows.records.RecordCount() == 0) rows.properties = read.properties;
  const RowReader reader = KeyReader(read.fields);
  std::string key;
  for (size_t record = 0; record < read.records.RecordCount(); ++record) {
    if (!reader.Key(read.records, record, key) || keys_in.contains(key) || !take(key)) continue;
    keys_in.insert(key);
    Append(rows, read.records, record);
  }
}

void PageDeletions::WritePending(const ado::RecordsetData& rows) const {
  const std::string path = PendingDeletionsFileOf(last_folder_, result_name_);
  if (rows.records.RecordCount() == 0) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      throw core::ErrorFromErrno(errno, kExporterClass, "Cannot remove " + path);
    }
    return;
  }
  core::AtomicFile file(path, kExporterClass);
  file.Write(ado::RecordsetDataXmlToString(rows));
  file.Commit(core::AtomicFile::Durability::kFlushed);
}

void PageDeletions::RemoveFormerPages() {
  for (const std::string& former : former_pages_) ::unlink(former.c_str());
  former_pages_.clear();
}

}  // namespace qv

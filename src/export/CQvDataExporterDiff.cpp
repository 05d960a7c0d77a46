// The per-entity diff export.

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "ado/RecordsetXml.h"
#include "core/AtomicFile.h"
#include "core/Folder.h"
#include "core/PosixError.h"
#include "core/Random.h"
#include "core/Text.h"
#include "export/CQvDataExporter.h"
#include "export/PageKeys.h"
#include "export/QueryPager.h"
#include "export/ResultFileNames.h"
#include "fs/basFileSystemPaths.h"
#include "platform/StopSignal.h"
#include "records/CQvRecordset.h"
#include "shared/ErrorBoundary.h"
#include "shared/QvSharedADO.h"
#include "shared/QvSharedFileSystem.h"
#include "shared/QvSharedRecordCopier.h"
#include "shared/QvSharedStrings.h"
#include "store/CQvXMLManip.h"
#include "store/XmlFileStream.h"
#include "upload/CQVFileXfer.h"
#include "util/basCQvStringManipulation.h"
#include "values/FieldValue.h"

namespace qv {
namespace {

const std::string kClass = "CQvDataExporter";
constexpr const char* kKeyField = "tSID";
constexpr int32_t kMaxChangeFileNumber = 999999;
constexpr const char* kDeliveredFolder = "LastTx";
// Where a former version kept files to rewrite; removed when found.
constexpr const char* kFormerSpareFolder = ".qvdataexporter-spare";
constexpr const char* kUndeliveredFolder = "Unsent";
// Rows of the query held at once while it is compared with its last data.
constexpr auto kDiffPageRows = static_cast<int32_t>(ado::kBlockRows);

// Whether a field's value changed: null only equals null, byte arrays compare byte by
// byte, everything else by VB's comparison (texts by code, numbers by value). Values
// that cannot be compared at all count as changed, so that they are sent.
bool ValuesDiffer(const ado::Variant& now, const ado::Variant& before) {
  if (now.IsNull() || before.IsNull()) return now.IsNull() != before.IsNull();
  if (now.IsArray() || before.IsArray() || now.IsObject() || before.IsObject()) {
    return !(now == before);
  }
  try {
    return ado::Compare(now, before) != ado::CompareResult::kEqual;
  } catch (const core::Error&) {
    return true;
  }
}

}  // namespace

bool CQvDataExporter::IsTS_TypeAttribute(const std::string& field_name) {
  return core::EqualsIgnoreCase(field_name, "Source_Timestamp");
}

void CQvDataExporter::Export_DiffPerEntity(const std::string& sql,
                                           const std::shared_ptr<QvDataSource>& data_source,
                                           const std::string& result_path,
                                           const std::string& import_rule, int32_t& changed_count) {
  folder_listings_.clear();
  const auto connection = [&] {
    if (!data_source) throw core::Error(core::kErrObjectRequired, kClass, "no data source");
    return data_source->GetConnection(QvDataSource::kSharedConnection);
  };
  DiffPerEntity(
      [&] {
        std::shared_ptr<ado::Recordset> rs = GetRS(sql, connection());
        if (rs) stats_.rows_read += rs->RecordCount();
        return rs;
      },
      result_path, import_rule, changed_count,
      [&]() -> std::unique_ptr<QueryPager> {
        const std::shared_ptr<ado::Connection> shared = connection();
        std::unique_ptr<ado::QueryCursor> cursor = OpenQuery(sql, shared);
        if (!cursor) return nullptr;
        // Read out whole first, so that the database is not held while changes are sent.
        CreateFolderOf(result_path);
        return std::make_unique<QueryPager>(shared, sql, std::move(cursor), result_path);
      });
}

void CQvDataExporter::DiffPerEntity(
    const std::function<std::shared_ptr<ado::Recordset>()>& query, const std::string& result_path,
    const std::string& import_rule, int32_t& changed_count,
    const std::function<std::unique_ptr<QueryPager>()>& open_pages) {
  changed_count = 0;
  Guarded(
      [&](int& line) {
        line = 1;
        Trace(kClass + ".Export_DiffPerEntity, Test Start ZRA 001, File: " + result_path,
              kEventInformation);
        Trace("Checking each entity vs Last data to identify changes. Set: " + result_path,
              kEventInformation);
        // The last data could not be kept with a link in its place: nothing is sent.
        const std::string last_path = GetLasDataFileName(result_path);
        core::Folder::Open(FolderOf(last_path), core::Folder::Reach::kOwn, kClass);
        if (core::KindOf(last_path) == core::EntryKind::kLink) {
          throw core::LinkRefused(kClass, last_path, "file");
        }

        line = 2;
        const std::string last_file = Guarded(
            std::string(), [&](int&) { return FindLastData(result_path); },
            Fixed(kClass + ".GetRS"));

        line = 3;
        bool whole = last_file.empty();
        if (!whole) {
          // The pager goes before the whole result is read again.
          const std::unique_ptr<QueryPager> pages = open_pages();
          if (!pages) {
            throw core::Error(core::kErrObjectRequired, kClass, "the query gave no recordset");
          }
          whole = !DiffPages(*pages, result_path, last_file, import_rule, changed_count, line);
        }

        if (whole) {
          line = 7;
          DiffWhole(query, result_path, import_rule);
        }
      },
      AtLine(kClass + ".Export_DiffPerEntity, u:0 @Line#"));
  entity_fields_.reset();
}

bool CQvDataExporter::DiffPages(QueryPager& pages, const std::string& result_path,
                                const std::string& last_file, const std::string& import_rule,
                                int32_t& changed_count, int& line) {
  line = 4;
  std::shared_ptr<ado::Recordset> rs = Guarded(
      nullptr, [&](int&) { return pages.NextPage(kDiffPageRows); }, Fixed(kClass + ".GetRS"));
  if (!rs) throw core::Error(core::kErrObjectRequired, kClass, "the query gave no recordset");
  line = 5;
  if (!OpenLastDataIndex(rs, result_path, last_file)) return false;
  line = 6;
  // What an earlier run could not deliver is made again below, from the same last data.
  DropEarlierUndelivered(result_path);

  // The new last data, written from the same pages; it replaces the last data only once
  // the walk is done. A step of it that fails drops it.
  std::optional<XmlFileStream> new_last;
  const auto on_new_last = [&](const auto& step) {
    Guarded([&](int) { new_last.reset(); }, [&](int&) { step(); },
            Fixed(kClass + ".CreateLastDataFileFromRS, @Line#5"));
  };
  on_new_last([&] { new_last.emplace(GetLasDataFileName(result_path), rs->FieldDefs()); });

  bool all_delivered = true;
  bool unusable = false;  // the last data cannot be looked up after all
  int64_t unchanged = 0;
  int32_t processed = 0;
  for (bool stopped = false; !stopped;) {
    if (new_last) on_new_last([&] { new_last->WriteRows(rs->Records()); });
    for (; !rs->Eof(); rs->MoveNext()) {
      if (platform::StopRequested()) {
        all_delivered = false;  // the entities left were not compared: keep the last data
        stopped = true;
        break;
      }
      const EntityOutcome outcome = DiffOneEntity(rs, nullptr, result_path, import_rule);
      if (outcome == EntityOutcome::kLastUnusable) {
        unusable = true;
        stopped = true;
        break;
      }
      if (outcome == EntityOutcome::kDelivered) ++changed_count;
      if (outcome == EntityOutcome::kUndelivered) all_delivered = false;
      if (outcome == EntityOutcome::kUnchanged) ++unchanged;
      ++processed;
    }
    if (stopped) break;
    rs = pages.NextPage(kDiffPageRows);
    if (rs->Eof()) break;
    BindQueryFields(*entity_fields_, rs);
  }
  // Every entity matched one of the last data's, unchanged, and none is gone: the last
  // data already holds what the receiver has.
  const bool same_as_last = !unusable && rs->Eof() && unchanged == pages.RowsRead() &&
                            entity_fields_->index.RecordCount() == static_cast<size_t>(unchanged);
  // Used only when the walk completed: with the last data up to date or replaced.
  std::optional<EntityIndex> next_keys = std::move(entity_fields_->next);
  const bool keys_file_current = entity_fields_->from_keys_file;
  entity_fields_.reset();
  if (unusable) {
    SetAsideLastData(result_path, "its tSID values cannot be looked up");
    return false;
  }
  Trace("QRT Subset records:" + std::to_string(processed) +
            ", Changed:" + std::to_string(changed_count),
        kEventInformation);
  TraceValueWarnings(pages.Warnings());
  stats_.rows_read += pages.RowsRead();

  if (same_as_last) {
    Trace("The last data is up to date: " + GetLasDataFileName(result_path), kEventInformation);
    if (next_keys && !keys_file_current) SaveLastDataKeys(result_path, *next_keys);
    return true;
  }
  CommitOrKeepLastData(all_delivered, result_path, [&] {
    if (new_last && CommitNewLastData(result_path, *new_last) && next_keys) {
      SaveLastDataKeys(result_path, *next_keys);
    }
  });
  return true;
}

void CQvDataExporter::DiffWhole(const std::function<std::shared_ptr<ado::Recordset>()>& query,
                                const std::string& result_path, const std::string& import_rule) {
  std::shared_ptr<ado::Recordset> rs = query();
  if (!rs) throw core::Error(core::kErrObjectRequired, kClass, "the query gave no recordset");
  // What an earlier run could not deliver is made again, as part of the whole result.
  DropEarlierUndelivered(result_path);
  CommitOrKeepLastData(SendWhole(rs, result_path, import_rule), result_path, [&] {
    // The keys go beside the last data, so that the next run need not read it itself.
    if (CreateLastDataFileFromRS(result_path, rs)) {
      EntityIndex keys(ComparedNames(*rs), kKeyField);
      keys.AddRecordset(*rs);
      SaveLastDataKeys(result_path, keys);
    }
  });
  QvSharedADO().Release(rs);
}

void CQvDataExporter::CommitOrKeepLastData(bool all_delivered, const std::string& result_path,
                                           const std::function<void()>& commit) {
  // Last data that ran ahead of the receiver would hide the undelivered changes from
  // every later run; kept as it is, the next run finds and sends them again.
  if (all_delivered) {
    commit();
    return;
  }
  Trace(kClass + ".Export_DiffPerEntity, not every change was delivered; the last data " +
            "stays as it was: " + result_path,
        kEventWarning);
}

bool CQvDataExporter::OpenLastDataIndex(const std::shared_ptr<ado::Recordset>& rs,
                                        const std::string& result_path,
                                        const std::string& last_file) {
  if (!rs->Fields().Find(kKeyField)) {
    throw core::Error(core::kErrItemNotFound, kClass, "the query has no field tSID");
  }
  entity_fields_ = ReadLastDataIndex(rs, result_path, last_file);
  if (!entity_fields_) return false;
  const std::string mismatch = KeyMismatch(rs, entity_fields_->index.LastKeyType());
  if (!mismatch.empty()) {
    SetAsideLastData(result_path, mismatch);
  } else if (!entity_fields_->index.LastFieldsAmong(rs->FieldDefs())) {
    // Entities of another layout cannot be compared; left alone, a dropped column would
    // stay in the last data for good.
    Trace(kClass + ".Export_DiffPerEntity, the query's fields are not those of the last data: " +
              "its whole result is sent and becomes the last data: " + result_path,
          kEventWarning);
  } else {
    return true;
  }
  entity_fields_.reset();
  return false;
}

bool CQvDataExporter::SendWhole(const std::shared_ptr<ado::Recordset>& rs,
                                const std::string& result_path, const std::string& import_rule) {
  Trace("No last data. Sending all entities. " + result_path, kEventInformation);
  stats_.entities_new += rs->RecordCount();
  const int32_t sent_before = stats_.files_sent;
  const bool written = SaveAndSend(rs, result_path, false, import_rule);
  const bool delivered = written && stats_.files_sent > sent_before;
  if (written && !delivered && !import_rule.empty()) SetAsideUndelivered(result_path);
  return delivered;
}

bool CQvDataExporter::Process_DiffOneEntity(const std::shared_ptr<ado::Recordset>& rs,
                                            const std::shared_ptr<ado::Recordset>& last,
                                            const std::string& result_path,
                                            const std::string& import_rule) {
  return DiffOneEntity(rs, last, result_path, import_rule) == EntityOutcome::kDelivered;
}

CQvDataExporter::EntityOutcome CQvDataExporter::DiffOneEntity(
    const std::shared_ptr<ado::Recordset>& rs, const std::shared_ptr<ado::Recordset>& last,
    const std::string& result_path, const std::string& import_rule) {
  return Guarded(
      // A record without a key can never be matched, so it does not hold the last data
      // back; any later failure may have lost a change, so it does.
      [](int line) { return line <= 2 ? EntityOutcome::kSkipped : EntityOutcome::kUndelivered; },
      [&](int& line) {
        line = 2;
        EntityFields* known = KnownFields(rs, last) ? &*entity_fields_ : nullptr;
        const ado::Variant key =
            known ? known->rs_key->Value() : rs->Fields().Item(kKeyField).Value();
        if (key.IsNull()) {
          throw core::Error(core::kErrInvalidUseOfNull, kClass, "the record's tSID is null");
        }
        const std::string sid = QvSharedStrings::ToText(key);

        // The k-th record of a key in the query stands for its k-th record in the last data.
        int32_t occurrence = 0;
        const RowFingerprint* before = nullptr;  // found through the walk's index
        if (known) {
          ReadEntityRow(*known, *rs);
          const EntityIndex::Meeting meeting = known->index.Meet(known->key);
          occurrence = meeting.occurrence;
          before = meeting.before;
          if (occurrence == 1 && !repeated_key_reported_) {
            repeated_key_reported_ = true;
            Trace(kClass + ".Export_DiffPerEntity, tSID " + sid + " occurs more than once in " +
                      result_path + "; records of one key are compared in the order the query " +
                      "returns them",
                  kEventWarning);
          }
        }

        line = 3;
        if (!last && !known) {
          throw core::Error(core::kErrObjectRequired, kClass, "no last data");
        }
        bool found = before != nullptr;
        // Last data without the key field cannot hold the entity.
        const std::optional<ado::Field> last_key =
            known ? std::nullopt : last->Fields().Find(kKeyField);
        if (last_key) {
          try {
            last->SetFilter(std::string(kKeyField) + "='" + QvStrMan_EscapeSQLQuotes(key) + "'");
          } catch (const core::Error&) {
            Trace(kClass + ".Process_DiffOneEntity, @Line#" + std::to_string(line), kEventWarning,
                  CurrentErrorRecord());
            return EntityOutcome::kLastUnusable;
          }
          // The filter ignores case; the key does not.
          for (int32_t skipped = 0; !last->Eof(); last->MoveNext()) {
            if (QvSharedStrings::ToText(last_key->Value()) != sid) continue;
            if (skipped++ == occurrence) break;
          }
          found = !last->Eof();
        }

        line = 4;
        bool changed = true;
        if (!found) {
          Trace(kClass + ".Process_DiffOneEntity, SID Not Found in last data: " + sid,
                kEventInformation);
        } else {
          line = 5;
          // A field the last data lacks was never sent for the entity; an entity that
          // could not be compared may have changed: either way it is sent.
          changed = before ? !known->index.HasEveryField() || known->fingerprint != *before
                           : CompareEntity(rs, last).value_or(true);
        }
        if (!changed) {
          ++stats_.entities_unchanged;
          return EntityOutcome::kUnchanged;
        }
        ++(found ? stats_.entities_changed : stats_.entities_new);

        return SendEntity(rs, result_path, import_rule, line);
      },
      AtLine(kClass + ".Process_DiffOneEntity, @Line#"));
}

std::string CQvDataExporter::WriteChangeFile(const std::shared_ptr<ado::Recordset>& rs,
                                             const std::string& result_path, int& line) {
  line = 61;
  CQvRecordset wrapper;
  const std::shared_ptr<ado::Recordset> one = wrapper.CreateInMemory(rs, true);
  if (!one) throw core::Error(core::kErrObjectRequired, kClass, "no in-memory recordset");

  line = 62;
  QvSharedRecordCopier copier;
  copier.CopyRecord(rs, one, true);

  line = 63;
  std::string change_file = NewChangeFilePath(result_path);
  if (trace_) trace_("Save to " + change_file, {}, kEventInformation, kLevelDetail);

  line = 64;
  // Without the flush to disk: a change file lives until its upload, and one lost in a
  // crash is made again by the next run, since the last data has not moved on. The
  // flushes would cost more than the rest of the run when many entities change. Its name
  // was free: whatever took it meanwhile is left as it is.
  try {
    core::AtomicFile file(change_file, kClass);
    file.Write(ado::RecordsetXmlToString(*one));
    file.CommitNew(core::AtomicFile::Durability::kRenameOnly);
  } catch (const core::Error& error) {
    core::ErrorRecord record = error.record();
    record.description = change_file + " not written: " + record.description;
    throw core::Error(std::move(record));
  }
  ++stats_.files_written;
  return change_file;
}

CQvDataExporter::EntityOutcome CQvDataExporter::SendEntity(
    const std::shared_ptr<ado::Recordset>& rs, const std::string& result_path,
    const std::string& import_rule, int& line) {
  const std::string change_file = WriteChangeFile(rs, result_path, line);

  line = 65;
  CQVFileXfer transfer;
  transfer.MoveToLastTx = true;
  const bool delivered = transfer.TransferFile(change_file, import_rule);
  if (delivered) {
    ++stats_.files_sent;
    NotifyProgress();
    return EntityOutcome::kDelivered;
  }
  ++stats_.sends_failed;
  NotifyProgress();
  // Without an upload address the file is still where it was written.
  SetAsideUndelivered(change_file);
  return EntityOutcome::kUndelivered;
}

bool CQvDataExporter::EntityHasChangedAttributes(const std::shared_ptr<ado::Recordset>& rs,
                                                 const std::shared_ptr<ado::Recordset>& last) {
  return CompareEntity(rs, last).value_or(false);
}

std::optional<bool> CQvDataExporter::CompareEntity(const std::shared_ptr<ado::Recordset>& rs,
                                                   const std::shared_ptr<ado::Recordset>& last) {
  return Guarded(
      std::nullopt,
      [&](int& line) -> std::optional<bool> {
        line = 1;
        if (!rs || !last) throw core::Error(core::kErrObjectRequired, kClass, "no recordset");
        if (last->Eof()) return false;

        line = 2;
        const ado::Fields fields = rs->Fields();
        const ado::Fields last_fields = last->Fields();
        const int32_t count = fields.Count();
        for (int32_t i = 0; i < count; ++i) {
          const ado::Field field = fields.Item(static_cast<size_t>(i));
          if (IsTS_TypeAttribute(field.Name())) continue;
          const std::optional<ado::Field> before = last_fields.Find(field.Name());
          // A column the last data lacks has never been sent for this entity.
          if (!before) return true;
          if (ValuesDiffer(field.Value(), before->Value())) return true;
        }
        return false;
      },
      AtLine(kClass + ".EntityHasChangedAttributes, @Line#"));
}

std::vector<std::string> CQvDataExporter::ComparedNames(const ado::Recordset& rs) {
  return ComparedNames(rs.FieldDefs());
}

std::vector<std::string> CQvDataExporter::ComparedNames(const std::vector<ado::FieldDef>& fields) {
  std::vector<std::string> names;
  for (const ado::FieldDef& field : fields) {
    if (!IsTS_TypeAttribute(field.name)) names.push_back(field.name);
  }
  return names;
}

void CQvDataExporter::BindQueryFields(EntityFields& known,
                                      const std::shared_ptr<ado::Recordset>& rs) {
  known.rs = rs.get();
  known.rs_key = rs->Fields().Find(kKeyField);
  known.query = known.index.QueryReader(rs->FieldDefs());
}

std::optional<CQvDataExporter::EntityFields> CQvDataExporter::ReadLastDataIndex(
    const std::shared_ptr<ado::Recordset>& rs, const std::string& result_path,
    const std::string& last_file) {
  EntityIndex index(ComparedNames(*rs), kKeyField);
  const bool from_keys_file = index.Load(last_file);
  if (from_keys_file) {
    Trace("Last data keys read from: " + EntityIndex::KeysFileOf(last_file), kEventInformation);
  }
  try {
    if (!from_keys_file) index.AddFile(last_file);
  } catch (const core::Error& error) {
    // Left in place it would fail every later run the same way.
    SetAsideLastData(result_path,
                     last_file + " cannot be read as a recordset: " + error.record().description);
    return std::nullopt;
  }
  EntityFields known(std::move(index));
  known.from_keys_file = from_keys_file;
  known.next.emplace(ComparedNames(*rs), kKeyField);
  known.next->StartFrom(rs->FieldDefs(), known.index);
  BindQueryFields(known, rs);
  return known;
}

void CQvDataExporter::ReadEntityRow(EntityFields& known, const ado::Recordset& rs) {
  const size_t record = *rs.CurrentRecord();
  const bool has_key = known.query.Key(rs.Records(), record, known.key);
  known.fingerprint = known.query.Fingerprint(rs.Records(), record);
  if (known.next && has_key) known.next->Add(known.key, known.fingerprint);
}

void CQvDataExporter::SaveLastDataKeys(const std::string& result_path, const EntityIndex& keys) {
  const std::string last_file = GetLasDataFileName(result_path);
  try {
    keys.Save(last_file);
  } catch (const core::Error& error) {
    // Only a shortcut: the next run reads the last data itself.
    Trace(kClass + ".Export_DiffPerEntity, the keys of the last data could not be saved: " +
              EntityIndex::KeysFileOf(last_file),
          kEventWarning, error.record());
  }
}

const CQvDataExporter::EntityFields* CQvDataExporter::KnownFields(
    const std::shared_ptr<ado::Recordset>& rs, const std::shared_ptr<ado::Recordset>& last) const {
  if (!entity_fields_ || entity_fields_->rs != rs.get() || entity_fields_->last != last.get() ||
      !entity_fields_->rs_key) {
    return nullptr;
  }
  return &*entity_fields_;
}

void CQvDataExporter::SetAsideUndelivered(const std::string& path) {
  namespace fs = std::filesystem;
  if (core::KindOf(path) != core::EntryKind::kFile) return;
  const fs::path file(path);
  const fs::path unsent = file.parent_path() / kUndeliveredFolder;
  try {
    if (!core::Folder::Make(unsent.string(), core::Folder::Reach::kOwn, kClass)
             .MoveIn(path, file.filename().string())) {
      throw core::ErrorFromErrno(EXDEV, kClass, "Cannot move " + path);
    }
  } catch (const core::Error& error) {
    Trace(kClass + ".Export_DiffPerEntity, an undelivered file could not be moved to " +
              unsent.string() + ": " + path,
          kEventWarning, error.record());
    ++stats_.failures;
    return;
  }
  Trace(kClass + ".Export_DiffPerEntity, not delivered, kept in " + unsent.string() + ": " + path,
        kEventWarning);
}

std::string CQvDataExporter::KeyMismatch(const std::shared_ptr<ado::Recordset>& rs,
                                         std::optional<int32_t> last_key_type) {
  const std::optional<ado::Field> key = rs->Fields().Find(kKeyField);
  if (!last_key_type) return "it has no field tSID";
  if (!key) return {};
  const int32_t last_type = *last_key_type;
  const auto kind = [](int32_t type) {
    if (ado::IsTextType(type)) return 1;
    if (ado::IsNumericType(type)) return 2;
    if (ado::IsDateType(type)) return 3;
    return 4;
  };
  if (kind(key->Type()) == kind(last_type)) return {};
  return "its tSID is of type " + std::to_string(last_type) + ", the query's of type " +
         std::to_string(key->Type());
}

void CQvDataExporter::DropEarlierUndelivered(const std::string& result_path) {
  namespace fs = std::filesystem;
  const fs::path result(result_path);
  const std::string name = result.filename().string();
  const fs::path folder = result.has_parent_path() ? result.parent_path() : fs::path(".");
  const auto drop = [&](const fs::path& path) { RemoveOwnFile(path); };
  for (const fs::path& where : {folder, folder / kUndeliveredFolder}) {
    FolderListing& listing = ListingOf(where);
    if (const auto files = listing.change_files.find(name); files != listing.change_files.end()) {
      for (const fs::path& path : files->second) {
        listing.by_name.erase(path.filename().string());
        drop(path);
      }
      listing.change_files.erase(files);
    }
    if (where == folder) continue;
    if (const auto whole = listing.by_name.find(name); whole != listing.by_name.end()) {
      drop(whole->second);
      listing.by_name.erase(whole);
    }
  }
}

CQvDataExporter::FolderListing& CQvDataExporter::ListingOf(const std::filesystem::path& folder) {
  // Listed once per rule: a paged rule asks for every page, and the files the run makes
  // itself are in change_files_.
  auto listed = folder_listings_.find(folder.string());
  if (listed != folder_listings_.end()) return listed->second;
  // The result's own folder may be reached through a link, its Unsent and LastTx not.
  const bool own = folder.filename() == kUndeliveredFolder || folder.filename() == kDeliveredFolder;
  FolderFiles found =
      ListFiles(folder, own ? core::Folder::Reach::kOwn : core::Folder::Reach::kFollow);
  FolderListing listing;
  for (std::filesystem::path& path : found.files) {
    std::string file = path.filename().string();
    for (const std::string_view owner : ResultsOfChangeFile(file)) {
      listing.change_files[std::string(owner)].push_back(path);
    }
    listing.by_name.emplace(std::move(file), std::move(path));
  }
  // A link's name is taken too, though the link is not the program's file.
  for (std::filesystem::path& path : found.links) {
    listing.taken.insert(path.filename().string());
  }
  return folder_listings_.emplace(folder.string(), std::move(listing)).first->second;
}

void CQvDataExporter::WarnLinks(const std::vector<std::filesystem::path>& links) {
  for (const std::filesystem::path& link : links) {
    if (!warned_links_.insert(link.string()).second) continue;
    Trace(kClass + ".ExportAll, a symbolic link where this program keeps its own files is " +
              "left as it is and not taken for one of them: " + link.string(),
          kEventWarning);
  }
}

void CQvDataExporter::RemoveOwnFile(const std::filesystem::path& path) {
  const std::optional<core::EntryKind> kind = core::KindOf(path.string());
  if (kind == core::EntryKind::kLink) WarnLinks({path});
  if (kind == core::EntryKind::kFile) ::unlink(path.c_str());
}

void CQvDataExporter::ClearOwnFolder(const std::string& path) {
  std::vector<std::filesystem::path> links;
  try {
    RemoveFilesIn(
        path, core::Folder::Reach::kOwn, [](const std::string&) { return true; }, links);
    // Only when that left it empty; a link in its place is not a folder to remove.
    ::rmdir(path.c_str());
  } catch (const core::Error& error) {
    Trace(kClass + ".ExportAll, the folder could not be emptied: " + path, kEventWarning,
          error.record());
  }
  WarnLinks(links);
}

void CQvDataExporter::CreateOwnFolderOf(const std::string& file) {
  const std::string folder = FolderOf(file);
  if (!folder.empty()) core::Folder::Make(folder, core::Folder::Reach::kOwn, kClass);
}

std::string CQvDataExporter::NewChangeFilePath(const std::string& result_path) {
  namespace fs = std::filesystem;
  const fs::path result(result_path);
  const fs::path folder = result.has_parent_path() ? result.parent_path() : fs::path(".");
  std::uniform_int_distribution<int32_t> number(0, kMaxChangeFileNumber);
  // A name taken once in a hundred draws is the rare case; a million taken ones, never.
  for (int attempt = 0; attempt < 10000; ++attempt) {
    std::string path = result_path + std::to_string(number(core::Random())) + ".xml";
    const std::string name = fs::path(path).filename().string();
    const auto taken = [&](const fs::path& where) {
      const FolderListing& listing = ListingOf(where);
      return listing.by_name.contains(name) || listing.taken.contains(name);
    };
    if (change_files_.contains(path) || taken(folder) || taken(folder / kUndeliveredFolder) ||
        taken(folder / kDeliveredFolder)) {
      continue;
    }
    change_files_.insert(path);
    return path;
  }
  throw core::Error(core::kErrPathNotFound, kClass, "no free change-file name for " + result_path);
}

void CQvDataExporter::RemoveTemporaries(const std::string& target_path) {
  namespace fs = std::filesystem;
  const fs::path target(target_path);
  const std::string name = target.filename().string();
  if (name.empty()) return;
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const auto temporary = [&](const std::string& file) {
    // The last data's keys files are written the same way.
    return IsTemporaryOf(file, name) || IsTemporaryOf(file, EntityIndex::KeysFileOf(name)) ||
           IsTemporaryOf(file, fs::path(PageKeys::FileOf("", name)).filename().string());
  };
  for (const char* sub : {"", "last", kDeliveredFolder, kUndeliveredFolder}) {
    std::vector<fs::path> links;
    try {
      RemoveFilesIn(folder / sub, *sub ? core::Folder::Reach::kOwn : core::Folder::Reach::kFollow,
                    temporary, links);
    } catch (const core::Error&) {
      // A folder that cannot be listed holds nothing to remove now.
    }
    // Warned about here, once a rule: in the result's folder, links named like its files.
    for (const fs::path& link : links) {
      const std::string file = link.filename().string();
      if (*sub || file.starts_with(name) || temporary(file)) WarnLinks({link});
    }
  }
  // What a former version kept to rewrite holds nothing anything reads.
  ClearOwnFolder((folder / kFormerSpareFolder).string());
}

}  // namespace qv

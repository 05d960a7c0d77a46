#include "export/EntityDiff.h"

#include <unistd.h>

#include <unordered_set>

#include "core/Folder.h"
#include "core/Text.h"
#include "export/QueryPager.h"
#include "export/ResultFileNames.h"
#include "platform/StopSignal.h"
#include "shared/QvSharedErrorLog.h"
#include "shared/QvSharedStrings.h"
#include "store/XmlFileStream.h"
#include "upload/CQVFileXfer.h"
#include "util/basCQvStringManipulation.h"
#include "values/FieldValue.h"
#include "xmlformat/XmlReader.h"

namespace qv {
namespace {

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

// Why the keys of the last data (the type of its key field) cannot be matched with those
// of `rs`; empty when they can.
std::string KeyMismatch(const ado::Recordset& rs, std::optional<int32_t> last_key_type) {
  const std::optional<ado::Field> key = rs.Fields().Find(kKeyField);
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

}  // namespace

void EntityDiff::Export_DiffPerEntity(const std::string& sql,
                                      const std::shared_ptr<QvDataSource>& data_source,
                                      const std::string& result_path,
                                      const std::string& import_rule, int32_t& changed_count) {
  outbox_.BeginRule();
  const auto connection = [&] {
    if (!data_source) throw core::Error(core::kErrObjectRequired, kExporterClass, "no data source");
    return data_source->GetConnection(QvDataSource::kSharedConnection);
  };
  std::shared_ptr<ado::Connection> whole_connection;  // kept open while its cursor reads
  DiffPerEntity(
      [&] {
        whole_connection = connection();
        return results_.OpenQuery(sql, whole_connection);
      },
      result_path, import_rule, changed_count,
      [&]() -> std::unique_ptr<QueryPager> {
        const std::shared_ptr<ado::Connection> shared = connection();
        std::unique_ptr<ado::QueryCursor> cursor = results_.OpenQuery(sql, shared);
        if (!cursor) return nullptr;
        // Read out whole first, so that the database is not held while changes are sent.
        CreateFolderOf(result_path);
        return std::make_unique<QueryPager>(shared, sql, std::move(cursor), result_path);
      });
}

void EntityDiff::DiffPerEntity(const std::function<std::unique_ptr<ado::QueryCursor>()>& open_query,
                               const std::string& result_path, const std::string& import_rule,
                               int32_t& changed_count,
                               const std::function<std::unique_ptr<QueryPager>()>& open_pages) {
  changed_count = 0;
  context_.Guarded(
      [&](int& line) {
        line = 1;
        context_.Trace(
            kExporterClass + ".Export_DiffPerEntity, Test Start ZRA 001, File: " + result_path,
            kEventInformation);
        context_.Trace("Checking each entity vs Last data to identify changes. Set: " + result_path,
                       kEventInformation);
        // The last data could not be kept with a link in its place: nothing is sent.
        const std::string last_path = last_.GetLasDataFileName(result_path);
        core::Folder::Open(FolderOf(last_path), core::Folder::Reach::kOwn, kExporterClass);
        if (core::KindOf(last_path) == core::EntryKind::kLink) {
          throw core::LinkRefused(kExporterClass, last_path, "file");
        }

        line = 2;
        const std::string last_file = context_.Guarded(
            std::string(), [&](int&) { return last_.FindLastData(result_path); },
            Fixed(kExporterClass + ".GetRS"));

        line = 3;
        bool whole = last_file.empty();
        if (!whole) {
          // The pager goes before the whole result is read again.
          const std::unique_ptr<QueryPager> pages = open_pages();
          if (!pages) {
            throw core::Error(core::kErrObjectRequired, kExporterClass,
                              "the query gave no recordset");
          }
          whole = !DiffPages(*pages, result_path, last_file, import_rule, changed_count, line);
        }

        if (whole) {
          line = 7;
          DiffWhole(open_query, result_path, import_rule);
        }
      },
      AtLine(kExporterClass + ".Export_DiffPerEntity, u:0 @Line#"));
  entity_fields_.reset();
}

void EntityDiff::DiffWhole(const std::function<std::unique_ptr<ado::QueryCursor>()>& open_query,
                           const std::string& result_path, const std::string& import_rule) {
  std::optional<XmlFileStream> new_last;
  std::optional<EntityIndex> keys;
  const std::optional<int64_t> rows = WriteWhole(open_query, result_path, new_last, keys);
  // What an earlier run could not deliver is made again, as part of the whole result.
  if (rows) outbox_.DropEarlierUndelivered(result_path);
  std::optional<std::string> record;
  CommitOrKeepLastData(SendWhole(rows.has_value(), result_path, import_rule, record), result_path,
                       [&] {
                         // The keys go beside the last data, so that the next run need not
                         // read it itself.
                         if (new_last && last_.CommitNewLastData(result_path, *new_last) && keys) {
                           last_.SaveLastDataKeys(result_path, *keys);
                         }
                       });
  // The last data has the entities now, or the receiver did not get them.
  if (record) ::unlink(record->c_str());
}

std::optional<int64_t> EntityDiff::WriteWhole(
    const std::function<std::unique_ptr<ado::QueryCursor>()>& open_query,
    const std::string& result_path, std::optional<XmlFileStream>& new_last,
    std::optional<EntityIndex>& keys) {
  const std::unique_ptr<ado::QueryCursor> cursor = open_query();
  if (!cursor) {
    throw core::Error(core::kErrObjectRequired, kExporterClass, "the query gave no recordset");
  }
  const std::vector<ado::FieldDef>& fields = cursor->Fields();
  context_.Trace("No last data. Sending all entities. " + result_path, kEventInformation);
  const std::string last_file = last_.GetLasDataFileName(result_path);
  // The new last data is written from the same blocks as the result file; a step of it
  // that fails drops it, and the last data then stays as it was.
  const auto on_new_last = [&](const auto& step) {
    context_.Guarded([&](int) { new_last.reset(); }, [&](int&) { step(); },
                     Fixed(kExporterClass + ".CreateLastDataFileFromRS, @Line#5"));
  };
  on_new_last([&] {
    CreateOwnFolderOf(last_file, kExporterClass);
    new_last.emplace(last_file, fields);
  });
  // Its keys too; without them the next run reads the last data itself.
  const auto on_keys = [&](const auto& step) {
    try {
      if (keys) step();
    } catch (const core::Error& error) {
      context_.Trace(kExporterClass +
                         ".Export_DiffPerEntity, the keys of the last data could not be saved: " +
                         EntityIndex::KeysFileOf(last_file),
                     kEventWarning, error.record());
      keys.reset();
    }
  };
  keys.emplace(ComparedNames(fields), kKeyField);
  keys->StartFrom(fields, EntityIndex(keys->Compared(), kKeyField));
  if (new_last) keys->SetScratchFolder(last_.GetLasDataFolder(result_path));
  RowReader reader = keys->QueryReader(fields);
  std::string key;
  const std::optional<int64_t> rows = results_.SaveStreamed(
      *cursor, result_path, context_.flush_each_file, [&](const ado::RecordStore& block) {
        if (new_last) on_new_last([&] { new_last->WriteRows(block); });
        on_keys([&] {
          for (size_t record = 0; record < block.RecordCount(); ++record) {
            if (reader.Key(block, record, key)) keys->Add(key, reader.Fingerprint(block, record));
          }
        });
      });
  if (rows) context_.stats.entities_new += *rows;
  return rows;
}

void EntityDiff::CommitOrKeepLastData(bool all_delivered, const std::string& result_path,
                                      const std::function<void()>& commit) {
  // Last data that ran ahead of the receiver would hide the undelivered changes from
  // every later run; kept as it is, the next run finds and sends them again.
  if (all_delivered) {
    commit();
    return;
  }
  context_.Trace(kExporterClass +
                     ".Export_DiffPerEntity, not every change was delivered; the last data " +
                     "stays as it was: " + result_path,
                 kEventWarning);
}

bool EntityDiff::OpenLastDataIndex(const std::shared_ptr<ado::Recordset>& rs,
                                   const std::string& result_path, const std::string& last_file) {
  if (!rs->Fields().Find(kKeyField)) {
    throw core::Error(core::kErrItemNotFound, kExporterClass, "the query has no field tSID");
  }
  entity_fields_ = ReadLastDataIndex(rs, result_path, last_file);
  if (!entity_fields_) return false;
  const std::string mismatch = KeyMismatch(*rs, entity_fields_->index.LastKeyType());
  if (!mismatch.empty()) {
    last_.SetAsideLastData(result_path, mismatch);
  } else if (!entity_fields_->index.LastFieldsAmong(rs->FieldDefs())) {
    // Entities of another layout cannot be compared; left alone, a dropped column would
    // stay in the last data for good.
    context_.Trace(
        kExporterClass +
            ".Export_DiffPerEntity, the query's fields are not those of the last data: " +
            "its whole result is sent and becomes the last data: " + result_path,
        kEventWarning);
  } else {
    return true;
  }
  entity_fields_.reset();
  return false;
}

std::optional<EntityDiff::EntityFields> EntityDiff::ReadLastDataIndex(
    const std::shared_ptr<ado::Recordset>& rs, const std::string& result_path,
    const std::string& last_file) {
  EntityIndex index(ComparedNames(rs->FieldDefs()), kKeyField);
  const bool from_keys_file = index.Load(last_file);
  if (from_keys_file) {
    context_.Trace("Last data keys read from: " + EntityIndex::KeysFileOf(last_file),
                   kEventInformation);
  }
  try {
    if (!from_keys_file) index.AddFile(last_file);
  } catch (const core::Error& error) {
    // Left in place it would fail every later run the same way.
    last_.SetAsideLastData(
        result_path, last_file + " cannot be read as a recordset: " + error.record().description);
    return std::nullopt;
  }
  EntityFields known(std::move(index));
  known.from_keys_file = from_keys_file;
  known.next.emplace(ComparedNames(rs->FieldDefs()), kKeyField);
  known.next->StartFrom(rs->FieldDefs(), known.index);
  BindQueryFields(known, rs);
  return known;
}

bool EntityDiff::SendWhole(bool written, const std::string& result_path,
                           const std::string& import_rule, std::optional<std::string>& record) {
  const int32_t sent_before = context_.stats.files_sent;
  try {
    // Until the last data has them, their deletions need these rows (a run stopped after
    // the delivery): DiffWhole removes the record once the last data moved on or not.
    if (written && context_.deletions.send && !import_rule.empty()) {
      record = outbox_.RecordSent(result_path, last_.GetLasDataFolder(result_path));
    }
    written = outbox_.SendWritten(written, result_path, import_rule);
  } catch (...) {
    context_.Failed(".Export");
    return false;
  }
  const bool delivered = written && context_.stats.files_sent > sent_before;
  if (written && !delivered && !import_rule.empty()) outbox_.SetAsideUndelivered(result_path);
  return delivered;
}

bool EntityDiff::Process_DiffOneEntity(const std::shared_ptr<ado::Recordset>& rs,
                                       const std::shared_ptr<ado::Recordset>& last,
                                       const std::string& result_path,
                                       const std::string& import_rule) {
  return DiffOneEntity(rs, last, result_path, import_rule) == EntityOutcome::kDelivered;
}

EntityDiff::EntityOutcome EntityDiff::SendEntity(const std::shared_ptr<ado::Recordset>& rs,
                                                 const std::string& result_path,
                                                 const std::string& import_rule, int& line,
                                                 bool record_sent) {
  const std::string change_file = outbox_.WriteChangeFile(rs, result_path, line);
  line = 65;
  // Until the last data has the entity, its deletion needs this row.
  if (record_sent) outbox_.RecordSent(change_file, last_.GetLasDataFolder(result_path));
  return SendChangeFile(change_file, import_rule);
}

EntityDiff::EntityOutcome EntityDiff::SendChangeFile(const std::string& change_file,
                                                     const std::string& import_rule) {
  CQVFileXfer transfer;
  transfer.MoveToLastTx = true;
  const bool delivered = transfer.TransferFile(change_file, import_rule);
  if (delivered) {
    ++context_.stats.files_sent;
    context_.NotifyProgress();
    return EntityOutcome::kDelivered;
  }
  ++context_.stats.sends_failed;
  context_.NotifyProgress();
  // Without an upload address the file is still where it was written.
  outbox_.SetAsideUndelivered(change_file);
  return EntityOutcome::kUndelivered;
}

bool EntityDiff::EntityHasChangedAttributes(const std::shared_ptr<ado::Recordset>& rs,
                                            const std::shared_ptr<ado::Recordset>& last) {
  return CompareEntity(rs, last).value_or(false);
}

std::optional<bool> EntityDiff::CompareEntity(const std::shared_ptr<ado::Recordset>& rs,
                                              const std::shared_ptr<ado::Recordset>& last) {
  return context_.Guarded(
      std::nullopt,
      [&](int& line) -> std::optional<bool> {
        line = 1;
        if (!rs || !last)
          throw core::Error(core::kErrObjectRequired, kExporterClass, "no recordset");
        if (last->Eof()) return false;

        line = 2;
        const ado::Fields fields = rs->Fields();
        const ado::Fields last_fields = last->Fields();
        const int32_t count = fields.Count();
        for (int32_t i = 0; i < count; ++i) {
          const ado::Field field = fields.Item(static_cast<size_t>(i));
          if (IsSourceTimestamp(field.Name())) continue;
          const std::optional<ado::Field> before = last_fields.Find(field.Name());
          // A column the last data lacks has never been sent for this entity.
          if (!before) return true;
          if (ValuesDiffer(field.Value(), before->Value())) return true;
        }
        return false;
      },
      AtLine(kExporterClass + ".EntityHasChangedAttributes, @Line#"));
}

const EntityDiff::EntityFields* EntityDiff::KnownFields(
    const std::shared_ptr<ado::Recordset>& rs, const std::shared_ptr<ado::Recordset>& last) const {
  if (!entity_fields_ || entity_fields_->rs != rs.get() || entity_fields_->last != last.get() ||
      !entity_fields_->rs_key) {
    return nullptr;
  }
  return &*entity_fields_;
}

void EntityDiff::BindQueryFields(EntityFields& known, const std::shared_ptr<ado::Recordset>& rs) {
  known.rs = rs.get();
  known.rs_key = rs->Fields().Find(kKeyField);
  known.query = known.index.QueryReader(rs->FieldDefs());
}

void EntityDiff::ReadEntityRow(EntityFields& known, const ado::Recordset& rs) {
  const size_t record = *rs.CurrentRecord();
  const bool has_key = known.query.Key(rs.Records(), record, known.key);
  known.fingerprint = known.query.Fingerprint(rs.Records(), record);
  if (known.next && has_key) known.next->Add(known.key, known.fingerprint);
}

bool EntityDiff::DiffPages(QueryPager& pages, const std::string& result_path,
                           const std::string& last_file, const std::string& import_rule,
                           int32_t& changed_count, int& line) {
  line = 4;
  std::shared_ptr<ado::Recordset> rs = context_.Guarded(
      nullptr, [&](int&) { return pages.NextPage(kDiffPageRows); },
      Fixed(kExporterClass + ".GetRS"));
  if (!rs) {
    throw core::Error(core::kErrObjectRequired, kExporterClass, "the query gave no recordset");
  }
  line = 5;
  if (!OpenLastDataIndex(rs, result_path, last_file)) return false;
  line = 6;
  // What an earlier run could not deliver is made again below, from the same last data.
  outbox_.DropEarlierUndelivered(result_path);

  // The new last data, written from the same pages; it replaces the last data only once
  // the walk is done. A step of it that fails drops it.
  std::optional<XmlFileStream> new_last;
  const auto on_new_last = [&](const auto& step) {
    context_.Guarded([&](int) { new_last.reset(); }, [&](int&) { step(); },
                     Fixed(kExporterClass + ".CreateLastDataFileFromRS, @Line#5"));
  };
  on_new_last([&] { new_last.emplace(last_.GetLasDataFileName(result_path), rs->FieldDefs()); });
  const PagesWalked walked = WalkPages(
      pages, rs, result_path, import_rule, changed_count, [&](const ado::Recordset& page) {
        if (new_last) on_new_last([&] { new_last->WriteRows(page.Records()); });
      });
  return EndPages(pages, *rs, walked, result_path, last_file, import_rule, changed_count, new_last);
}

EntityDiff::PagesWalked EntityDiff::WalkPages(
    QueryPager& pages, std::shared_ptr<ado::Recordset>& rs, const std::string& result_path,
    const std::string& import_rule, int32_t& changed_count,
    const std::function<void(const ado::Recordset&)>& write_page) {
  PagesWalked walked;
  for (;;) {
    write_page(*rs);
    for (; !rs->Eof(); rs->MoveNext()) {
      if (platform::StopRequested()) {
        walked.all_delivered = false;  // the entities left were not compared: keep the last data
        return walked;
      }
      const EntityOutcome outcome = DiffOneEntity(rs, nullptr, result_path, import_rule);
      if (outcome == EntityOutcome::kLastUnusable) {
        walked.unusable = true;
        return walked;
      }
      if (outcome == EntityOutcome::kDelivered) ++changed_count;
      if (outcome == EntityOutcome::kUndelivered) walked.all_delivered = false;
      if (outcome == EntityOutcome::kUnchanged) ++walked.unchanged;
      // A record whose key could not be read may be an entity of the last data.
      if (outcome == EntityOutcome::kSkipped && !HasNullKey(*rs)) walked.unmatched = true;
      ++walked.processed;
    }
    rs = pages.NextPage(kDiffPageRows);
    if (rs->Eof()) {
      walked.completed = true;
      return walked;
    }
    BindQueryFields(*entity_fields_, rs);
  }
}

bool EntityDiff::EndPages(QueryPager& pages, const ado::Recordset& rs, const PagesWalked& walked,
                          const std::string& result_path, const std::string& last_file,
                          const std::string& import_rule, int32_t changed_count,
                          std::optional<XmlFileStream>& new_last) {
  // Every entity matched one of the last data's, unchanged, and none is gone: the last
  // data already holds what the receiver has.
  const bool same_as_last =
      !walked.unusable && rs.Eof() && walked.unchanged == pages.RowsRead() &&
      entity_fields_->index.RecordCount() == static_cast<size_t>(walked.unchanged);
  // Used only when the walk completed: with the last data up to date or replaced.
  std::optional<EntityIndex> next_keys = std::move(entity_fields_->next);
  const bool keys_file_current = entity_fields_->from_keys_file;
  bool delivered = walked.all_delivered;
  // Records of entities sent that the last data may lack; gone with its commit.
  const std::vector<std::string> sent_records =
      context_.deletions.send
          ? outbox_.SentRecords(last_.GetLasDataFolder(result_path),
                                std::filesystem::path(result_path).filename().string())
          : std::vector<std::string>();
  if (context_.deletions.send && walked.completed && !walked.unmatched &&
      (!same_as_last || !sent_records.empty())) {
    delivered =
        EndDeletions(result_path, last_file, import_rule, new_last, next_keys, sent_records) &&
        delivered;
  }
  entity_fields_.reset();
  if (walked.unusable) {
    last_.SetAsideLastData(result_path, "its tSID values cannot be looked up");
    return false;
  }
  context_.Trace("QRT Subset records:" + std::to_string(walked.processed) +
                     ", Changed:" + std::to_string(changed_count),
                 kEventInformation);
  context_.TraceValueWarnings(pages.Warnings());
  context_.stats.rows_read += pages.RowsRead();

  if (same_as_last) {
    context_.Trace("The last data is up to date: " + last_.GetLasDataFileName(result_path),
                   kEventInformation);
    if (next_keys && !keys_file_current) last_.SaveLastDataKeys(result_path, *next_keys);
    for (const std::string& record : sent_records) ::unlink(record.c_str());
    return true;
  }
  CommitOrKeepLastData(delivered, result_path, [&] {
    if (new_last && last_.CommitNewLastData(result_path, *new_last)) {
      if (next_keys) last_.SaveLastDataKeys(result_path, *next_keys);
      for (const std::string& record : sent_records) ::unlink(record.c_str());
    }
  });
  return true;
}

EntityDiff::EntityOutcome EntityDiff::DiffOneEntity(const std::shared_ptr<ado::Recordset>& rs,
                                                    const std::shared_ptr<ado::Recordset>& last,
                                                    const std::string& result_path,
                                                    const std::string& import_rule) {
  return context_.Guarded(
      // A record without a key can never be matched, so it does not hold the last data
      // back; any later failure may have lost a change, so it does.
      [](int line) { return line <= 2 ? EntityOutcome::kSkipped : EntityOutcome::kUndelivered; },
      [&](int& line) {
        line = 2;
        EntityFields* known = KnownFields(rs, last) ? &*entity_fields_ : nullptr;
        const ado::Variant key =
            known ? known->rs_key->Value() : rs->Fields().Item(kKeyField).Value();
        if (key.IsNull()) {
          throw core::Error(core::kErrInvalidUseOfNull, kExporterClass,
                            "the record's tSID is null");
        }
        const std::string sid = QvSharedStrings::ToText(key);
        // The k-th record of a key in the query stands for its k-th record in the last data.
        int32_t occurrence = 0;
        const RowFingerprint* before =
            known ? MeetInIndex(*known, *rs, sid, result_path, occurrence) : nullptr;

        line = 3;
        if (!last && !known) {
          throw core::Error(core::kErrObjectRequired, kExporterClass, "no last data");
        }
        bool found = before != nullptr;
        if (!known) {
          const std::optional<bool> in_last = FindInLast(last, key, sid, occurrence, line);
          if (!in_last) return EntityOutcome::kLastUnusable;
          found = *in_last;
        }

        line = 4;
        bool changed = true;
        if (!found) {
          context_.Trace(
              kExporterClass + ".Process_DiffOneEntity, SID Not Found in last data: " + sid,
              kEventInformation);
        } else {
          line = 5;
          // A field the last data lacks was never sent for the entity; an entity that
          // could not be compared may have changed: either way it is sent.
          changed = before ? !known->index.HasEveryField() || known->fingerprint != *before
                           : CompareEntity(rs, last).value_or(true);
        }
        if (!changed) {
          ++context_.stats.entities_unchanged;
          return EntityOutcome::kUnchanged;
        }
        ++(found ? context_.stats.entities_changed : context_.stats.entities_new);
        return SendEntity(rs, result_path, import_rule, line,
                          !found && context_.deletions.send && known != nullptr);
      },
      AtLine(kExporterClass + ".Process_DiffOneEntity, @Line#"));
}

const RowFingerprint* EntityDiff::MeetInIndex(EntityFields& known, const ado::Recordset& rs,
                                              const std::string& sid,
                                              const std::string& result_path, int32_t& occurrence) {
  ReadEntityRow(known, rs);
  const EntityIndex::Meeting meeting = known.index.Meet(known.key);
  occurrence = meeting.occurrence;
  if (occurrence == 1 && !context_.repeated_key_reported) {
    context_.repeated_key_reported = true;
    context_.Trace(kExporterClass + ".Export_DiffPerEntity, tSID " + sid +
                       " occurs more than once in " + result_path +
                       "; records of one key are compared in the order the query returns them",
                   kEventWarning);
  }
  return meeting.before;
}

std::optional<bool> EntityDiff::FindInLast(const std::shared_ptr<ado::Recordset>& last,
                                           const ado::Variant& key, const std::string& sid,
                                           int32_t occurrence, int line) {
  // Last data without the key field cannot hold the entity.
  const std::optional<ado::Field> last_key = last->Fields().Find(kKeyField);
  if (!last_key) return false;
  try {
    last->SetFilter(std::string(kKeyField) + "='" + QvStrMan_EscapeSQLQuotes(key) + "'");
  } catch (const core::Error&) {
    context_.Trace(kExporterClass + ".Process_DiffOneEntity, @Line#" + std::to_string(line),
                   kEventWarning, CurrentErrorRecord());
    return std::nullopt;
  }
  // The filter ignores case; the key does not.
  for (int32_t skipped = 0; !last->Eof(); last->MoveNext()) {
    if (QvSharedStrings::ToText(last_key->Value()) != sid) continue;
    if (skipped++ == occurrence) break;
  }
  return !last->Eof();
}

bool EntityDiff::HasNullKey(const ado::Recordset& rs) const {
  try {
    const std::optional<ado::Field> key = entity_fields_ && entity_fields_->rs_key
                                              ? entity_fields_->rs_key
                                              : rs.Fields().Find(kKeyField);
    return key && key->Value().IsNull();
  } catch (const core::Error&) {
    return false;
  }
}

bool EntityDiff::EndDeletions(const std::string& result_path, const std::string& last_file,
                              const std::string& import_rule,
                              std::optional<XmlFileStream>& new_last,
                              std::optional<EntityIndex>& next_keys,
                              const std::vector<std::string>& sent_records) {
  EntityIndex& index = entity_fields_->index;
  std::unordered_set<std::string> gone;
  index.ForEachUnmet([&](std::string_view key, const RowFingerprint&) { gone.emplace(key); });
  ado::RecordsetData rows;
  if (!gone.empty()) rows = ReadGoneRows(index, last_file, gone);
  // Entities sent by a run stopped before the last data had them, and gone since.
  AddSentRows(
      index, sent_records, [&](const std::string& record) { return outbox_.MadeThisRun(record); },
      rows, gone);
  if (gone.empty()) return true;
  if (KeysOf(index, rows).size() != gone.size()) {
    // Without its last row an entity's deletion cannot be made: the last data keeps it.
    context_.Trace(kExporterClass + ".Export_DiffPerEntity, the last rows of entities gone " +
                       "were not all found; the last data stays as it was: " + last_file,
                   kEventWarning);
    return false;
  }
  context_.stats.entities_deleted += static_cast<int64_t>(gone.size());
  const auto entities = static_cast<int64_t>(index.KeyCount());
  if (context_.deletions.Allows(static_cast<int64_t>(gone.size()), entities)) {
    return SendDeletions(rows, result_path, import_rule);
  }
  // A query that suddenly returns nearly nothing deletes nothing: the rule fails and the
  // last data keeps the entities, so that they are found gone again next time.
  context_.Failed(".Export_DiffPerEntity",
                  core::Error(core::kErrInvalidProcedureCall, kExporterClass,
                              context_.deletions.HeldBackText(static_cast<int64_t>(gone.size()),
                                                              entities, result_path))
                      .record());
  return KeepGoneRows(index, rows, new_last, next_keys);
}

void EntityDiff::AddSentRows(EntityIndex& index, const std::vector<std::string>& sent_records,
                             const std::function<bool(const std::string&)>& made_this_run,
                             ado::RecordsetData& rows, std::unordered_set<std::string>& gone) {
  for (const std::string& record : sent_records) {
    if (made_this_run(record)) continue;  // its entities are in this run's result
    const ado::RecordsetData sent = ado::ReadRecordsetXmlFile(record);
    if (rows.records.RecordCount() > 0 && !SameRecordShape(sent.fields, rows.fields)) continue;
    if (rows.records.RecordCount() == 0 && !SameRecordShape(rows.fields, sent.fields)) {
      rows.fields = sent.fields;
      rows.records = ado::RecordStore(sent.fields.size());
      rows.properties = sent.properties;
    }
    const RowReader reader = index.QueryReader(sent.fields);
    std::string key;
    for (size_t r = 0; r < sent.records.RecordCount(); ++r) {
      if (!reader.Key(sent.records, r, key) || index.Met(key) || gone.contains(key)) continue;
      gone.insert(key);
      std::string bytes;
      sent.records.Serialize(r, bytes);
      std::string_view in(bytes);
      rows.records.AppendSerialized(in);
    }
  }
}

ado::RecordsetData EntityDiff::ReadGoneRows(const EntityIndex& index, const std::string& last_file,
                                            const std::unordered_set<std::string>& gone) {
  std::optional<RowReader> reader;
  std::string key;
  const ado::RowFilter keep = [&](const std::vector<ado::FieldDef>& fields,
                                  std::span<const char* const> values) {
    if (!reader) reader.emplace(index.QueryReader(fields));
    return reader->Key(values, key) && gone.contains(key);
  };
  // A text key is in the file as it is compared: the rows of the few keys gone are found
  // by a scan, without parsing the others.
  if (index.LastKeyType() && ado::IsTextType(*index.LastKeyType())) {
    std::optional<ado::RecordsetData> rows = ado::ReadRecordsetXmlFileRowsWith(
        last_file, kKeyField,
        [&](std::string_view text) { return gone.contains(std::string(text)); }, keep);
    // A key the scan did not find sends the file to the whole read.
    if (rows && KeysOf(index, *rows).size() == gone.size()) return std::move(*rows);
  }
  return ado::ReadRecordsetXmlFile(last_file, keep);
}

std::unordered_set<std::string> EntityDiff::KeysOf(const EntityIndex& index,
                                                   const ado::RecordsetData& rows) {
  std::unordered_set<std::string> keys;
  const RowReader reader = index.QueryReader(rows.fields);
  std::string key;
  for (size_t record = 0; record < rows.records.RecordCount(); ++record) {
    if (reader.Key(rows.records, record, key)) keys.insert(key);
  }
  return keys;
}

bool EntityDiff::SendDeletions(const ado::RecordsetData& rows, const std::string& result_path,
                               const std::string& import_rule) {
  const std::set<std::string> delivered = outbox_.SendDeletions(rows, result_path, import_rule);
  const RowReader reader = EntityIndex({}, kKeyField).QueryReader(rows.fields);
  std::string key;
  for (size_t record = 0; record < rows.records.RecordCount(); ++record) {
    if (reader.Key(rows.records, record, key) && !delivered.contains(key)) return false;
  }
  return true;
}

bool EntityDiff::KeepGoneRows(const EntityIndex& index, const ado::RecordsetData& rows,
                              std::optional<XmlFileStream>& new_last,
                              std::optional<EntityIndex>& next_keys) {
  // Rows of other fields cannot join the new last data: the last data stays as it was.
  if (!new_last || !SameRecordShape(new_last->Fields(), rows.fields)) return false;
  new_last->WriteRows(rows.records);
  if (next_keys) {
    RowReader reader = index.QueryReader(rows.fields);
    std::string key;
    for (size_t record = 0; record < rows.records.RecordCount(); ++record) {
      if (reader.Key(rows.records, record, key))
        next_keys->Add(key, reader.Fingerprint(rows.records, record));
    }
  }
  return true;
}

}  // namespace qv

#include "ado/Recordset.h"

#include <utility>

#include "ado/Connection.h"
#include "ado/RecordsetXml.h"
#include "core/Text.h"
#include "values/FieldValue.h"
#include "values/Filter.h"
#include "values/RecordsetErrors.h"
#include "xmlformat/XmlReader.h"

namespace ado {

namespace {

bool IsGone(int32_t status) { return (status & (adRecDeleted | kRecordGone)) != 0; }

void RequirePersistFormat(int32_t persist_format) {
  if (persist_format != adPersistXML) {
    ThrowAdoError(core::kErrFeatureNotAvailable, kRecordsetSource,
                  "only the XML persistence format (adPersistXML) is supported");
  }
}

}  // namespace

Recordset::Recordset() = default;
Recordset::~Recordset() = default;

void Recordset::SetCursorLocation(int32_t location) {
  if (open_) ThrowAdoError(core::kErrObjectOpen, kRecordsetSource, "CursorLocation");
  cursor_location_ = location;
}

void Recordset::SetCursorType(int32_t type) {
  if (open_) ThrowAdoError(core::kErrObjectOpen, kRecordsetSource, "CursorType");
  cursor_type_ = type;
}

void Recordset::SetLockType(int32_t type) {
  if (open_) ThrowAdoError(core::kErrObjectOpen, kRecordsetSource, "LockType");
  lock_type_ = type;
}

void Recordset::SetSource(std::string source) {
  if (open_) ThrowAdoError(core::kErrObjectOpen, kRecordsetSource, "Source");
  source_ = std::move(source);
}

void Recordset::SetActiveConnection(std::shared_ptr<Connection> connection) {
  // A client cursor may drop or change its connection while open (disconnecting).
  connection_ = std::move(connection);
}

void Recordset::RequireOpen() const {
  if (!open_) ThrowAdoError(core::kErrObjectClosed, kRecordsetSource);
}

size_t Recordset::RequireCurrent() const {
  RequireOpen();
  if (position_ < 0 || position_ >= static_cast<int64_t>(view_.size())) {
    ThrowAdoError(core::kErrNoCurrentRecord, kRecordsetSource);
  }
  const size_t record = view_[static_cast<size_t>(position_)];
  if (IsGone(records_.Status(record))) ThrowAdoError(core::kErrNoCurrentRecord, kRecordsetSource);
  return record;
}

void Recordset::RequireUpdatable() const {
  if (!updatable_) {
    ThrowAdoError(core::kErrFeatureNotAvailable, kRecordsetSource,
                  "the recordset is read-only and does not support updating");
  }
}

bool Recordset::CommitsImmediately() const {
  return lock_type_ == adLockOptimistic || lock_type_ == adLockPessimistic;
}

bool Recordset::IsShown(size_t record) const { return !IsGone(records_.Status(record)); }

bool Recordset::Eof() const {
  RequireOpen();
  return position_ >= static_cast<int64_t>(view_.size()) || (position_ < 0 && LiveCount() == 0);
}

bool Recordset::Bof() const {
  RequireOpen();
  return position_ < 0 || (position_ >= static_cast<int64_t>(view_.size()) && LiveCount() == 0);
}

int64_t Recordset::RecordCount() const {
  RequireOpen();
  return static_cast<int64_t>(LiveCount());
}

int32_t Recordset::Status() const {
  RequireOpen();
  const auto record = CurrentRecord();
  if (!record) ThrowAdoError(core::kErrNoCurrentRecord, kRecordsetSource);
  return records_.Status(*record);
}

std::optional<size_t> Recordset::CurrentRecord() const {
  if (!open_ || position_ < 0 || position_ >= static_cast<int64_t>(view_.size())) {
    return std::nullopt;
  }
  return view_[static_cast<size_t>(position_)];
}

void Recordset::SetFilter(std::string criteria) {
  RequireOpen();
  CommitEdit();
  // Parse first: unreadable criteria leave the recordset as it was.
  const FilterCriteria parsed = FilterCriteria::Parse(criteria, fields_);
  filter_ = std::move(criteria);
  RebuildView(parsed);
  MoveFirst();
}

void Recordset::RebuildView() { RebuildView(FilterCriteria::Parse(filter_, fields_)); }

void Recordset::RebuildView(const FilterCriteria& criteria) {
  view_.clear();
  deleted_in_view_ = 0;
  if (criteria.SelectsAll()) {
    view_.reserve(records_.RecordCount());
    for (size_t r = 0; r < records_.RecordCount(); ++r) {
      if (IsShown(r)) view_.push_back(r);
    }
    return;
  }
  if (auto probe = criteria.IndexableEquality()) {
    for (size_t r : filter_index_->Lookup(records_, fields_, probe->field, probe->key)) {
      if (IsShown(r) && criteria.Matches(records_, r)) view_.push_back(r);
    }
    return;
  }
  for (size_t r = 0; r < records_.RecordCount(); ++r) {
    if (IsShown(r) && criteria.Matches(records_, r)) view_.push_back(r);
  }
}

void Recordset::RebuildFieldOrder() {
  field_order_.clear();
  field_lookup_.clear();
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (fields_[i].hidden) continue;
    field_order_.push_back(i);
    // The first of two fields with one name wins, as a lookup by name finds it first.
    field_lookup_.try_emplace(core::FoldCase(fields_[i].name), i);
  }
}

void Recordset::Open(const Variant& source, std::shared_ptr<Connection> connection,
                     int32_t cursor_type, int32_t lock_type, [[maybe_unused]] int32_t options) {
  // Options (adCmdFile, adCmdText ...) add nothing: the connection tells what the source is.
  if (open_) ThrowAdoError(core::kErrObjectOpen, kRecordsetSource);
  if (cursor_type != adOpenUnspecified) cursor_type_ = cursor_type;
  if (lock_type != adLockUnspecified) lock_type_ = lock_type;
  if (connection) connection_ = std::move(connection);
  std::string text = source_;
  if (!source.IsEmpty() && !source.IsNull()) {
    try {
      text = source.ToText();
    } catch (const core::Error&) {
      ThrowAdoError(core::kErrInvalidArgument, kRecordsetSource, "Source is not a text");
    }
  }

  if (connection_) {
    RecordsetData data = connection_->Query(text);
    data.properties.updatable = lock_type_ != adLockReadOnly && lock_type_ != adLockUnspecified;
    source_ = std::move(text);
    OpenWith(std::move(data));
    return;
  }
  if (!text.empty()) {
    RecordsetData data = ReadRecordsetXmlFile(text);
    source_ = std::move(text);
    OpenWith(std::move(data));
    return;
  }

  // A fabricated recordset: the appended fields, no records, always updatable.
  if (fields_.empty()) {
    ThrowAdoError(core::kErrInvalidArgument, kRecordsetSource,
                  "a recordset without a source and a connection needs appended fields");
  }
  records_ = RecordStore(fields_.size());
  properties_ = PersistProperties{};
  fabricated_ = true;
  updatable_ = true;
  if (!CommitsImmediately()) lock_type_ = adLockBatchOptimistic;
  FinishOpen();
}

void Recordset::OpenWith(RecordsetData data) {
  if (open_) ThrowAdoError(core::kErrObjectOpen, kRecordsetSource);
  if (data.records.FieldCount() != data.fields.size()) {
    if (data.records.RecordCount() != 0) {
      ThrowAdoError(core::kErrInvalidArgument, kRecordsetSource,
                    "the records do not have one value per field");
    }
    data.records = RecordStore(data.fields.size());
  }
  fields_ = std::move(data.fields);
  records_ = std::move(data.records);
  properties_ = std::move(data.properties);
  fabricated_ = false;
  updatable_ = properties_.updatable;
  if (!updatable_) {
    lock_type_ = adLockReadOnly;
  } else if (!CommitsImmediately()) {
    lock_type_ = adLockBatchOptimistic;
  }
  FinishOpen();
}

void Recordset::FinishOpen() {
  cursor_location_ = adUseClient;
  cursor_type_ = adOpenStatic;
  filter_.clear();
  filter_index_ = std::make_unique<FilterIndex>();
  edit_mode_ = adEditNone;
  edit_backup_.clear();
  RebuildFieldOrder();
  open_ = true;
  RebuildView();
  position_ = view_.empty() ? -1 : 0;
}

void Recordset::Close() {
  RequireOpen();
  open_ = false;
  view_.clear();
  deleted_in_view_ = 0;
  position_ = -1;
  filter_.clear();
  filter_index_.reset();
  edit_mode_ = adEditNone;
  edit_backup_.clear();
  if (fabricated_) {
    // The appended fields stay, so that the recordset can be opened again.
    records_ = RecordStore(fields_.size());
  } else {
    fields_.clear();
    records_ = RecordStore();
    RebuildFieldOrder();
  }
  properties_ = PersistProperties{};
}

void Recordset::CommitEdit() {
  if (edit_mode_ != adEditNone) Update();
}

void Recordset::MoveFirst() {
  RequireOpen();
  CommitEdit();
  int64_t p = 0;
  const auto size = static_cast<int64_t>(view_.size());
  while (p < size && !IsShown(view_[static_cast<size_t>(p)])) ++p;
  position_ = p < size ? p : -1;
}

void Recordset::MoveLast() {
  RequireOpen();
  CommitEdit();
  int64_t p = static_cast<int64_t>(view_.size()) - 1;
  while (p >= 0 && !IsShown(view_[static_cast<size_t>(p)])) --p;
  position_ = p;
}

void Recordset::MoveNext() {
  if (Eof()) ThrowAdoError(core::kErrNoCurrentRecord, kRecordsetSource);
  CommitEdit();
  int64_t p = position_ + 1;
  const auto size = static_cast<int64_t>(view_.size());
  while (p < size && !IsShown(view_[static_cast<size_t>(p)])) ++p;
  position_ = p;
}

void Recordset::MovePrevious() {
  if (Bof()) ThrowAdoError(core::kErrNoCurrentRecord, kRecordsetSource);
  CommitEdit();
  int64_t p = position_ - 1;
  while (p >= 0 && !IsShown(view_[static_cast<size_t>(p)])) --p;
  position_ = p;
}

Variant Recordset::GetValue(size_t field) const { return records_.Get(RequireCurrent(), field); }

void Recordset::SetValue(size_t field, const Variant& value) {
  const size_t record = RequireCurrent();
  RequireUpdatable();
  const bool began = edit_mode_ == adEditNone;
  if (began) {
    edit_mode_ = adEditInProgress;
    edit_backup_.clear();
    edit_had_original_ = records_.HasOriginal(record);
  }
  if (edit_mode_ == adEditInProgress) {
    bool saved = false;
    for (const auto& entry : edit_backup_) saved = saved || entry.first == field;
    if (!saved) edit_backup_.emplace_back(field, records_.Get(record, field));
    // Originals are the values before the first change; new records have none.
    if (!(records_.Status(record) & adRecNew)) records_.KeepOriginal(record);
  }
  try {
    StoreFieldValue(records_, record, field, fields_[field], value);
  } catch (const core::Error&) {
    if (began) {
      if (!edit_had_original_) records_.DropOriginal(record);
      edit_mode_ = adEditNone;
      edit_backup_.clear();
    }
    throw;
  }
  filter_index_->Drop(field);
}

void Recordset::Update() {
  RequireOpen();
  if (edit_mode_ == adEditNone) return;
  const size_t record = view_[static_cast<size_t>(position_)];
  const int32_t status = records_.Status(record);
  if (CommitsImmediately()) {
    records_.SetStatus(record, adRecUnmodified);
    records_.DropOriginal(record);
  } else if (edit_mode_ == adEditAdd || (status & adRecNew)) {
    records_.SetStatus(record, adRecNew);
  } else {
    records_.SetStatus(record, adRecModified);
  }
  edit_mode_ = adEditNone;
  edit_backup_.clear();
}

void Recordset::CancelUpdate() {
  RequireOpen();
  if (edit_mode_ == adEditAdd) {
    records_.SetStatus(view_.back(), kRecordGone);
    view_.pop_back();
    position_ = position_before_add_;
  } else if (edit_mode_ == adEditInProgress) {
    const size_t record = view_[static_cast<size_t>(position_)];
    for (const auto& [column, before] : edit_backup_) records_.Set(record, column, before);
    if (!edit_had_original_) records_.DropOriginal(record);
    for (const auto& entry : edit_backup_) filter_index_->Drop(entry.first);
  }
  edit_mode_ = adEditNone;
  edit_backup_.clear();
}

void Recordset::AddNew() {
  RequireOpen();
  RequireUpdatable();
  CommitEdit();
  const size_t record = records_.AppendRecord(adRecNew);
  for (size_t f = 0; f < fields_.size(); ++f) records_.SetNull(record, f);
  position_before_add_ = position_;
  view_.push_back(record);
  position_ = static_cast<int64_t>(view_.size()) - 1;
  edit_mode_ = adEditAdd;
  edit_backup_.clear();
  filter_index_->Clear();
}

void Recordset::Delete() {
  RequireOpen();
  RequireUpdatable();
  CommitEdit();
  const size_t record = RequireCurrent();
  const int32_t status = records_.Status(record);
  if (CommitsImmediately() || (status & adRecNew)) {
    records_.SetStatus(record, kRecordGone);
    records_.DropOriginal(record);
  } else {
    records_.SetStatus(record, adRecDeleted);
  }
  ++deleted_in_view_;
}

void Recordset::UpdateBatch() {
  RequireOpen();
  CommitEdit();
  for (size_t r = 0; r < records_.RecordCount(); ++r) {
    const int32_t status = records_.Status(r);
    if (status & kRecordGone) continue;
    if (status & adRecDeleted) {
      records_.SetStatus(r, kRecordGone);
    } else if (status != adRecUnmodified) {
      records_.SetStatus(r, adRecUnmodified);
    }
  }
  records_.DropAllOriginals();
}

void Recordset::CancelBatch() {
  RequireOpen();
  CancelUpdate();
  for (size_t r = 0; r < records_.RecordCount(); ++r) {
    const int32_t status = records_.Status(r);
    if (status & kRecordGone) continue;
    if (status & adRecNew) {
      records_.SetStatus(r, kRecordGone);
      continue;
    }
    if (records_.HasOriginal(r)) {
      const std::vector<Variant> original = records_.Original(r);
      for (size_t f = 0; f < original.size(); ++f) records_.Set(r, f, original[f]);
    }
    if (status != adRecUnmodified) records_.SetStatus(r, adRecUnmodified);
  }
  records_.DropAllOriginals();
  filter_index_->Clear();
  RebuildView();
  MoveFirst();
}

std::vector<size_t> Recordset::RecordsToSave() const {
  std::vector<size_t> records;
  records.reserve(LiveCount());
  for (size_t r : view_) {
    if (IsShown(r)) records.push_back(r);
  }
  for (size_t r = 0; r < records_.RecordCount(); ++r) {
    const int32_t status = records_.Status(r);
    if ((status & adRecDeleted) && !(status & kRecordGone)) records.push_back(r);
  }
  return records;
}

void Recordset::Save(Stream& destination, int32_t persist_format) const {
  RequireOpen();
  RequirePersistFormat(persist_format);
  destination.WriteText(RecordsetXmlToString(*this));
}

void Recordset::Save(OutputSink& destination, int32_t persist_format) const {
  RequireOpen();
  RequirePersistFormat(persist_format);
  WriteRecordsetXml(*this, destination);
}

void Recordset::SaveToFile(const std::string& path, int32_t persist_format) const {
  RequireOpen();
  RequirePersistFormat(persist_format);
  WriteRecordsetXmlFile(*this, path);
}

}  // namespace ado

#include <utility>

#include "ado/Recordset.h"
#include "core/Text.h"
#include "values/FieldValue.h"
#include "values/RecordsetErrors.h"

namespace ado {

const FieldDef& Field::Definition() const { return recordset_->fields_[index_]; }
const std::string& Field::Name() const { return Definition().name; }
int32_t Field::Type() const { return Definition().type; }
int64_t Field::DefinedSize() const { return Definition().defined_size; }
int32_t Field::Attributes() const { return Definition().attributes; }
uint8_t Field::Precision() const { return Definition().precision; }
uint8_t Field::NumericScale() const { return Definition().numeric_scale; }

void Field::SetPrecision(uint8_t precision) {
  if (recordset_->open_) ThrowAdoError(core::kErrObjectOpen, kFieldSource, "Precision");
  recordset_->fields_[index_].precision = precision;
}

void Field::SetNumericScale(uint8_t scale) {
  if (recordset_->open_) ThrowAdoError(core::kErrObjectOpen, kFieldSource, "NumericScale");
  recordset_->fields_[index_].numeric_scale = scale;
}

Variant Field::Value() const { return recordset_->GetValue(index_); }

void Field::SetValue(const Variant& value) { recordset_->SetValue(index_, value); }

Variant Field::OriginalValue() const {
  const size_t record = recordset_->RequireCurrent();
  const RecordStore& records = recordset_->records_;
  if (records.HasOriginal(record)) return records.Original(record)[index_];
  if (records.Status(record) & adRecNew) return Variant::Null();
  return records.Get(record, index_);
}

int32_t Fields::Count() const { return static_cast<int32_t>(recordset_->field_order_.size()); }

Field Fields::Item(size_t index) const {
  if (index >= recordset_->field_order_.size()) {
    ThrowAdoError(core::kErrItemNotFound, kFieldsSource,
                  "no field at ordinal " + std::to_string(index));
  }
  return Field(recordset_, recordset_->field_order_[index]);
}

Field Fields::Item(std::string_view name) const {
  if (auto field = Find(name)) return *field;
  ThrowAdoError(core::kErrItemNotFound, kFieldsSource,
                "no field named '" + std::string(name) + "'");
}

std::optional<Field> Fields::Find(std::string_view name) const {
  const auto& lookup = recordset_->field_lookup_;
  auto it = lookup.find(core::FoldCase(name));
  if (it == lookup.end()) return std::nullopt;
  return Field(recordset_, it->second);
}

void Fields::Append(std::string name, int32_t type, int64_t defined_size, int32_t attributes) {
  if (recordset_->open_) ThrowAdoError(core::kErrObjectOpen, kFieldsSource);
  if (name.empty()) ThrowAdoError(core::kErrInvalidArgument, kFieldsSource, "a field needs a name");
  if (Find(name)) {
    ThrowAdoError(kErrObjectInCollection, kFieldsSource, "a field named '" + name + "'");
  }
  recordset_->fields_.push_back(AppendedFieldDef(std::move(name), type, defined_size, attributes));
  recordset_->records_.AppendField();
  recordset_->fabricated_ = true;
  recordset_->RebuildFieldOrder();
}

}  // namespace ado

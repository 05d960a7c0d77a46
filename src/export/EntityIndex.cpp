#include "export/EntityIndex.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <utility>

#include "ado/Recordset.h"
#include "core/Error.h"
#include "core/Text.h"
#include "export/KeysFile.h"
#include "values/AdoEnums.h"
#include "xmlformat/XmlReader.h"
#include "xmlformat/XmlWriter.h"

namespace qv {
namespace {

using keys_file::FileStamp;
using keys_file::Put;
using keys_file::PutStamp;
using keys_file::PutText;
using keys_file::StampOf;

using ado::xml::ValueKind;

ValueKind KindOf(const ado::FieldDef& field) { return ado::xml::LayoutOf(field.type).kind; }

// The first field of the name, ignoring case, as a recordset's Fields finds it.
std::optional<size_t> FindField(const std::vector<ado::FieldDef>& fields, std::string_view name) {
  const std::string folded = core::FoldCase(name);
  for (size_t i = 0; i < fields.size(); ++i) {
    if (core::FoldCase(fields[i].name) == folded) return i;
  }
  return std::nullopt;
}

constexpr std::string_view kKeysMagic = "QvKeys2\n";
constexpr int32_t kNoKeyType = INT32_MIN;

}  // namespace

bool IsSourceTimestamp(const std::string& field_name) {
  return core::EqualsIgnoreCase(field_name, "Source_Timestamp");
}

std::vector<std::string> ComparedNames(const std::vector<ado::FieldDef>& fields) {
  std::vector<std::string> names;
  for (const ado::FieldDef& field : fields) {
    if (!IsSourceTimestamp(field.name)) names.push_back(field.name);
  }
  return names;
}

uint64_t LayoutOf(const std::vector<ado::FieldDef>& fields) {
  std::vector<std::string> named;
  named.reserve(fields.size());
  for (const ado::FieldDef& field : fields) {
    named.push_back(field.name + '\0' + std::to_string(field.type));
  }
  std::sort(named.begin(), named.end());
  std::string all;
  for (const std::string& one : named) all += one + '\n';
  return XXH3_64bits(all.data(), all.size());
}

bool SameRecordShape(const std::vector<ado::FieldDef>& a, const std::vector<ado::FieldDef>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const ado::FieldDef& x, const ado::FieldDef& y) {
                      return x.name == y.name && x.type == y.type;
                    });
}

bool EntityIndex::LastFieldsAmong(const std::vector<ado::FieldDef>& fields) const {
  return std::all_of(last_fields_.begin(), last_fields_.end(), [&](const auto& last) {
    return std::any_of(fields.begin(), fields.end(), [&](const ado::FieldDef& field) {
      return field.name == last.first && field.type == last.second;
    });
  });
}

RowReader::RowReader(std::optional<size_t> key, std::vector<std::optional<size_t>> compared,
                     const std::vector<ado::FieldDef>& fields)
    : key_(key), compared_(std::move(compared)) {
  if (key_) key_kind_ = KindOf(fields[*key_]);
  kinds_.reserve(compared_.size());
  for (const std::optional<size_t>& field : compared_) {
    kinds_.push_back(field ? KindOf(fields[*field]) : ValueKind{});
    if (!field) has_every_field_ = false;
  }
}

bool RowReader::Key(const ado::RecordStore& store, size_t record, std::string& out) const {
  out.clear();
  return key_ && ado::AppendFileText(store, record, *key_, key_kind_, out);
}

bool RowReader::Key(std::span<const char* const> values, std::string& out) const {
  out.clear();
  if (!key_ || !values[*key_]) return false;
  AppendFileText(values[*key_], key_kind_, out);
  return true;
}

// Each value is a marker, its text and its length, or another marker for a value left
// out, so that no two different rows run together into the same bytes.
template <typename Append>
RowFingerprint RowReader::FingerprintOf(const Append& append) {
  buffer_.clear();
  for (size_t i = 0; i < compared_.size(); ++i) {
    const size_t start = buffer_.size();
    buffer_.push_back('\1');
    if (!compared_[i] || !append(*compared_[i], kinds_[i])) {
      buffer_.resize(start);
      buffer_.push_back('\0');
      continue;
    }
    const uint64_t length = buffer_.size() - start - 1;
    buffer_.append(reinterpret_cast<const char*>(&length), sizeof length);
  }
  const XXH128_hash_t hash = XXH3_128bits(buffer_.data(), buffer_.size());
  return {hash.low64, hash.high64};
}

RowFingerprint RowReader::Fingerprint(const ado::RecordStore& store, size_t record) {
  return FingerprintOf([&](size_t field, ValueKind kind) {
    return ado::AppendFileText(store, record, field, kind, buffer_);
  });
}

RowFingerprint RowReader::Fingerprint(std::span<const char* const> values) {
  return FingerprintOf([&](size_t field, ValueKind kind) {
    if (!values[field]) return false;
    AppendFileText(values[field], kind, buffer_);
    return true;
  });
}

void RowReader::AppendFileText(const char* text, ValueKind kind, std::string& out) {
  if (kind != ValueKind::kBinary) {
    out.append(text);
    return;
  }
  // bin.hex: written in lower case, its line breaks read back as spaces.
  for (const char* c = text; *c; ++c) {
    if (*c == ' ' || *c == '\t' || *c == '\n' || *c == '\r') continue;
    out.push_back(*c >= 'A' && *c <= 'F' ? static_cast<char>(*c - 'A' + 'a') : *c);
  }
}

EntityIndex::EntityIndex(std::vector<std::string> compared, std::string key)
    : compared_(std::move(compared)), key_name_(std::move(key)) {}

RowReader EntityIndex::QueryReader(const std::vector<ado::FieldDef>& fields) const {
  std::vector<std::optional<size_t>> compared;
  compared.reserve(compared_.size());
  for (const std::string& name : compared_) compared.push_back(FindField(fields, name));
  return RowReader(FindField(fields, key_name_), std::move(compared), fields);
}

RowReader EntityIndex::LastReader(const std::vector<ado::FieldDef>& fields) {
  const std::optional<size_t> key = FindField(fields, key_name_);
  last_key_type_.reset();
  if (key) last_key_type_ = fields[*key].type;
  last_fields_.clear();
  for (const ado::FieldDef& field : fields) last_fields_.emplace_back(field.name, field.type);
  RowReader reader = QueryReader(fields);
  has_every_field_ = reader.HasEveryField();
  return reader;
}

void EntityIndex::StartFrom(const std::vector<ado::FieldDef>& fields, const EntityIndex& expected) {
  LastReader(fields);
  Reserve(expected.entries_.size(), expected.keys_.Bytes());
}

void EntityIndex::Reserve(size_t records, size_t key_bytes) {
  entries_.reserve(records);
  first_.reserve(records);
  keys_.Reserve(records, key_bytes);
}

void EntityIndex::Clear() {
  entries_.clear();
  first_.clear();
  keys_.Clear();
}

void EntityIndex::Add(std::string_view key, const RowFingerprint& fingerprint) {
  if (entries_.size() >= kNoEntry - 1) {
    throw core::Error(core::kErrOverflow, "EntityIndex", "too many records in the last data");
  }
  const uint32_t number = keys_.Add(key);
  const auto added = static_cast<uint32_t>(entries_.size());
  entries_.push_back({fingerprint, number, kNoEntry});
  if (number == first_.size()) {
    first_.push_back(added);
    return;
  }
  uint32_t entry = first_[number];
  while (entries_[entry].next != kNoEntry) entry = entries_[entry].next;
  entries_[entry].next = added;
}

EntityIndex::Meeting EntityIndex::Meet(std::string_view key) {
  const uint32_t number = keys_.Find(key);
  if (number == KeyTable::kNone) return {new_keys_[std::string(key)]++, nullptr};
  if (seen_.empty()) seen_.assign(first_.size(), 0);
  Meeting meeting{seen_[number]++, nullptr};
  uint32_t entry = first_[number];
  for (int32_t k = 0; k < meeting.occurrence && entry != kNoEntry; ++k) {
    entry = entries_[entry].next;
  }
  if (entry != kNoEntry) meeting.before = &entries_[entry].fingerprint;
  return meeting;
}

bool EntityIndex::Met(std::string_view key) const {
  const uint32_t number = keys_.Find(key);
  if (number == KeyTable::kNone) return new_keys_.contains(std::string(key));
  return !seen_.empty() && seen_[number] > 0;
}

void EntityIndex::ForEachUnmet(
    const std::function<void(std::string_view key, const RowFingerprint& fingerprint)>& take)
    const {
  for (uint32_t number = 0; number < first_.size(); ++number) {
    if (!seen_.empty() && seen_[number] > 0) continue;
    for (uint32_t entry = first_[number]; entry != kNoEntry; entry = entries_[entry].next) {
      take(keys_.Key(number), entries_[entry].fingerprint);
    }
  }
}

void EntityIndex::AddRecordset(const ado::Recordset& last) {
  RowReader reader = LastReader(last.FieldDefs());
  if (!reader.HasKey()) return;
  const ado::RecordStore& store = last.Records();
  Reserve(store.RecordCount(), 0);
  std::string key;
  for (size_t record = 0; record < store.RecordCount(); ++record) {
    if (store.Status(record) & ado::adRecDeleted) continue;
    if (!reader.Key(store, record, key)) continue;
    Add(key, reader.Fingerprint(store, record));
  }
}

class EntityIndex::FileRows : public ado::XmlRowHandler {
 public:
  explicit FileRows(EntityIndex& index) : index_(index) {}

  void Fields(const std::vector<ado::FieldDef>& fields) override {
    reader_.emplace(index_.LastReader(fields));
  }

  void Row(std::span<const char* const> values) override {
    if (!reader_->Key(values, key_)) return;
    index_.Add(key_, reader_->Fingerprint(values));
  }

 private:
  EntityIndex& index_;
  std::optional<RowReader> reader_;
  std::string key_;
};

void EntityIndex::AddFile(const std::string& path) {
  FileRows rows(*this);
  ado::ReadRecordsetXmlFileRows(path, rows);
}

std::string EntityIndex::KeysFileOf(const std::string& last_file) {
  const size_t slash = last_file.rfind('/');
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  return last_file.substr(0, name) + "." + last_file.substr(name) + ".keys";
}

void EntityIndex::Save(const std::string& last_file) const {
  const std::optional<FileStamp> stamp = StampOf(last_file);
  if (!stamp) {
    throw core::Error(core::kErrFileNotFound, "EntityIndex",
                      "cannot read the state of " + last_file);
  }
  std::string out(kKeysMagic);
  PutStamp(out, *stamp);
  keys_file::PutNames(out, key_name_, compared_);
  Put(out, last_key_type_.value_or(kNoKeyType));
  Put(out, static_cast<uint8_t>(has_every_field_));
  Put(out, static_cast<uint32_t>(last_fields_.size()));
  for (const auto& [name, type] : last_fields_) {
    PutText(out, name);
    Put(out, type);
  }
  Put(out, static_cast<uint64_t>(entries_.size()));
  for (const Entry& entry : entries_) {
    PutText(out, keys_.Key(entry.key));
    Put(out, entry.fingerprint.low);
    Put(out, entry.fingerprint.high);
  }
  keys_file::WriteSealed(KeysFileOf(last_file), std::move(out), "EntityIndex");
}

bool EntityIndex::Load(const std::string& last_file) {
  const std::optional<FileStamp> stamp = StampOf(last_file);
  if (!stamp) return false;
  const std::string bytes = keys_file::ReadFileOrNothing(KeysFileOf(last_file), "EntityIndex");
  const std::optional<std::string_view> body = keys_file::Unseal(bytes, kKeysMagic);
  if (!body) return false;
  keys_file::Reader in(*body);
  if (in.Stamp() != *stamp || !keys_file::NamesMatch(in, key_name_, compared_)) return false;
  const auto key_type = in.Get<int32_t>();
  const bool every_field = in.Get<uint8_t>() != 0;
  const auto field_count = in.Get<uint32_t>();
  if (field_count > bytes.size()) return false;
  std::vector<std::pair<std::string, int32_t>> last_fields(field_count);
  for (auto& [name, type] : last_fields) {
    name = in.Text();
    type = in.Get<int32_t>();
  }
  const auto count = in.Get<uint64_t>();
  if (!in.Ok() || count > bytes.size()) return false;
  Clear();
  Reserve(static_cast<size_t>(count), bytes.size());
  for (uint64_t i = 0; i < count && in.Ok(); ++i) {
    const std::string_view key = in.Text();
    RowFingerprint fingerprint;
    fingerprint.low = in.Get<uint64_t>();
    fingerprint.high = in.Get<uint64_t>();
    if (in.Ok()) Add(key, fingerprint);
  }
  if (!in.Ok() || !in.AtEnd()) {
    Clear();
    return false;
  }
  last_key_type_.reset();
  if (key_type != kNoKeyType) last_key_type_ = key_type;
  has_every_field_ = every_field;
  last_fields_ = std::move(last_fields);
  return true;
}

}  // namespace qv

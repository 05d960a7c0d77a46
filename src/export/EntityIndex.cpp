#include "export/EntityIndex.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <fcntl.h>

#include <algorithm>
#include <filesystem>
#include <utility>

#include "ado/Recordset.h"
#include "core/AtomicFile.h"
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

// Keys files of earlier versions ("QvKeys2") are not taken: the last data is read itself
// once, and its keys saved anew.
constexpr std::string_view kKeysMagic = "QvKeys3\n";
const char* const kSource = "EntityIndex";

// The folder of `path`; "." for a bare name.
std::string FolderOfFile(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? "." : folder;
}
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

struct EntityIndex::Adding {
  core::File scratch;
  std::unique_ptr<KeyedRecordWriter> writer;
};

EntityIndex::~EntityIndex() = default;
EntityIndex::EntityIndex(EntityIndex&&) noexcept = default;
EntityIndex& EntityIndex::operator=(EntityIndex&&) noexcept = default;

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
  scratch_folder_ = expected.scratch_folder_;
}

void EntityIndex::Add(std::string_view key, const RowFingerprint& fingerprint) {
  if (!adding_) {
    adding_ = std::make_unique<Adding>();
    const std::string folder =
        scratch_folder_.empty() ? std::filesystem::temp_directory_path().string() : scratch_folder_;
    adding_->scratch = ScratchFile(folder, kSource);
    core::File* scratch = &adding_->scratch;
    adding_->writer = std::make_unique<KeyedRecordWriter>(
        [scratch](std::string_view bytes) { scratch->WriteAll(bytes); }, folder, kKeysMagic);
  }
  adding_->writer->Add(key, fingerprint);
}

size_t EntityIndex::RecordCount() const {
  if (adding_) return static_cast<size_t>(adding_->writer->Count());
  return records_ ? static_cast<size_t>(records_->Count()) : 0;
}

std::string EntityIndex::Meta(const FileStamp& stamp) const {
  std::string out;
  PutStamp(out, stamp);
  keys_file::PutNames(out, key_name_, compared_);
  Put(out, last_key_type_.value_or(kNoKeyType));
  Put(out, static_cast<uint8_t>(has_every_field_));
  Put(out, static_cast<uint32_t>(last_fields_.size()));
  for (const auto& [name, type] : last_fields_) {
    PutText(out, name);
    Put(out, type);
  }
  return out;
}

void EntityIndex::Seal() {
  if (!adding_) return;
  adding_->writer->Finish(Meta({}));
  records_ = KeyedRecordFile::Open(std::move(adding_->scratch), kKeysMagic);
  adding_.reset();
  if (!records_) throw core::Error(core::kErrPathFileAccess, kSource, "the keys were not kept");
  met_.Reset(records_->Count());
}

std::vector<KeyedRecordFile::Record> EntityIndex::Lookup(std::string_view key) {
  Seal();
  if (!records_) return {};
  return records_->Find(key, next_guess_);
}

EntityIndex::Meeting EntityIndex::Meet(std::string_view key) {
  const std::vector<KeyedRecordFile::Record> records = Lookup(key);
  if (records.empty()) return {met_.MeetMissing(key), nullptr};
  const int32_t occurrence = met_.Meet(records.front().number);
  const auto at = static_cast<size_t>(occurrence);
  next_guess_ = records[std::min(at, records.size() - 1)].next;
  if (at >= records.size()) return {occurrence, nullptr};
  before_ = records[at].fingerprint;
  return {occurrence, &before_};
}

bool EntityIndex::Met(std::string_view key) {
  const std::vector<KeyedRecordFile::Record> records = Lookup(key);
  if (records.empty()) return met_.MetMissing(key);
  return met_.Met(records.front().number);
}

size_t EntityIndex::KeyCount() {
  Seal();
  return records_ ? static_cast<size_t>(records_->KeyCount()) : 0;
}

void EntityIndex::ForEachUnmet(
    const std::function<void(std::string_view key, const RowFingerprint& fingerprint)>& take) {
  Seal();
  if (!records_) return;
  std::string key;  // outlives later reads of the file
  for (uint64_t at = KeyedRecordFile::kFirst; at < records_->RecordsEnd();) {
    const KeyedRecordFile::Record record = records_->At(at);
    key.assign(record.key);
    at = record.next;
    if (!records_->Repeated(record.number)) {
      if (!met_.Met(record.number)) take(key, record.fingerprint);
      continue;
    }
    // A key of several records goes once, with all of them, at its first.
    const std::vector<KeyedRecordFile::Record> records = records_->Find(key);
    if (records.empty() || records.front().number != record.number || met_.Met(record.number))
      continue;
    for (const KeyedRecordFile::Record& each : records) take(key, each.fingerprint);
  }
}

void EntityIndex::AddRecordset(const ado::Recordset& last) {
  RowReader reader = LastReader(last.FieldDefs());
  if (!reader.HasKey()) return;
  const ado::RecordStore& store = last.Records();
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
  if (scratch_folder_.empty()) scratch_folder_ = FolderOfFile(path);
  FileRows rows(*this);
  ado::ReadRecordsetXmlFileRows(path, rows);
}

std::string EntityIndex::KeysFileOf(const std::string& last_file) {
  const size_t slash = last_file.rfind('/');
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  return last_file.substr(0, name) + "." + last_file.substr(name) + ".keys";
}

void EntityIndex::Save(const std::string& last_file) {
  const std::optional<FileStamp> stamp = StampOf(last_file);
  if (!stamp) {
    throw core::Error(core::kErrFileNotFound, kSource, "cannot read the state of " + last_file);
  }
  core::AtomicFile file(KeysFileOf(last_file), kSource);
  if (adding_) {
    // The scratch file becomes the keys file's bytes.
    adding_->writer->Finish(Meta(*stamp));
    core::File& scratch = adding_->scratch;
    scratch.Seek(0, SEEK_SET);
    std::string block(size_t{1024} * 1024, '\0');
    for (size_t got = 0; (got = scratch.Read(block.data(), block.size())) > 0;) {
      file.Write(std::string_view(block).substr(0, got));
    }
    file.Commit(core::AtomicFile::Durability::kRenameOnly);
    records_ = KeyedRecordFile::Open(std::move(scratch), kKeysMagic);
    adding_.reset();
    if (records_) met_.Reset(records_->Count());
    return;
  }
  KeyedRecordWriter out([&](std::string_view bytes) { file.Write(bytes); }, FolderOfFile(last_file),
                        kKeysMagic);
  if (records_) {
    for (uint64_t at = KeyedRecordFile::kFirst; at < records_->RecordsEnd();) {
      const KeyedRecordFile::Record record = records_->At(at);
      out.Add(record.key, record.fingerprint);
      at = record.next;
    }
  }
  out.Finish(Meta(*stamp));
  file.Commit(core::AtomicFile::Durability::kRenameOnly);
}

bool EntityIndex::Load(const std::string& last_file) {
  const std::optional<FileStamp> stamp = StampOf(last_file);
  if (!stamp) return false;
  core::File file = core::File::TryOpen(KeysFileOf(last_file), O_RDONLY | O_NOFOLLOW, kSource);
  if (!file.IsOpen()) return false;
  std::unique_ptr<KeyedRecordFile> records;
  try {
    records = KeyedRecordFile::Open(std::move(file), kKeysMagic);
  } catch (const core::Error&) {
    return false;
  }
  if (!records) return false;
  keys_file::Reader in(records->Meta());
  if (in.Stamp() != *stamp || !keys_file::NamesMatch(in, key_name_, compared_)) return false;
  const auto key_type = in.Get<int32_t>();
  const bool every_field = in.Get<uint8_t>() != 0;
  const auto field_count = in.Get<uint32_t>();
  if (!in.Ok() || field_count > records->Meta().size()) return false;
  std::vector<std::pair<std::string, int32_t>> last_fields(field_count);
  for (auto& [name, type] : last_fields) {
    name = in.Text();
    type = in.Get<int32_t>();
  }
  if (!in.Ok() || !in.AtEnd()) return false;
  last_key_type_.reset();
  if (key_type != kNoKeyType) last_key_type_ = key_type;
  has_every_field_ = every_field;
  last_fields_ = std::move(last_fields);
  scratch_folder_ = FolderOfFile(last_file);
  adding_.reset();
  records_ = std::move(records);
  met_.Reset(records_->Count());
  return true;
}

}  // namespace qv

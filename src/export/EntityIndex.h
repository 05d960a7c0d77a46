#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "export/KeyMeetings.h"
#include "export/KeyedRecordFile.h"
#include "export/KeysFile.h"
#include "export/RowFingerprint.h"
#include "values/FieldDef.h"
#include "values/RecordStore.h"
#include "xmlformat/XmlFormat.h"

namespace ado {
class Recordset;
}  // namespace ado

namespace qv {

// A hash of the fields' names and types, whatever their order: a query whose fields
// are not those of its last data (one dropped, renamed or retyped) cannot be compared
// with it.
uint64_t LayoutOf(const std::vector<ado::FieldDef>& fields);

// Whether records of `a` and `b` hold the same fields in the same order: the same names
// and types, whatever their sizes (a text column's size follows the values read).
bool SameRecordShape(const std::vector<ado::FieldDef>& a, const std::vector<ado::FieldDef>& b);

// The field left out of every comparison: Source_Timestamp, in any case.
bool IsSourceTimestamp(const std::string& field_name);
// The names of the fields that are compared: all but Source_Timestamp.
std::vector<std::string> ComparedNames(const std::vector<ado::FieldDef>& fields);

// Reads the key and the fingerprint of records of one record layout: which fields hold
// the compared values (in the query's order) and how the file writes each.
class RowReader {
 public:
  // `compared[i]` is the field holding the i-th compared value, or nothing when the
  // layout lacks it.
  RowReader(std::optional<size_t> key, std::vector<std::optional<size_t>> compared,
            const std::vector<ado::FieldDef>& fields);
  // Reads no key and compares nothing.
  RowReader() = default;

  // The key's text, false for a null key.
  bool Key(const ado::RecordStore& store, size_t record, std::string& out) const;
  RowFingerprint Fingerprint(const ado::RecordStore& store, size_t record);
  // The same from a row's attribute texts (null: left out), as a file reader gives them.
  bool Key(std::span<const char* const> values, std::string& out) const;
  RowFingerprint Fingerprint(std::span<const char* const> values);

  bool HasKey() const { return key_.has_value(); }
  // Whether every compared value has a field here.
  bool HasEveryField() const { return has_every_field_; }

 private:
  // The fingerprint of the values `append(field, kind)` appends to buffer_; it returns
  // false for a value left out.
  template <typename Append>
  RowFingerprint FingerprintOf(const Append& append);
  // A file's attribute text put the way this program writes the value.
  static void AppendFileText(const char* text, ado::xml::ValueKind kind, std::string& out);

  std::optional<size_t> key_;
  ado::xml::ValueKind key_kind_{};
  std::vector<std::optional<size_t>> compared_;
  std::vector<ado::xml::ValueKind> kinds_;
  bool has_every_field_ = true;
  std::string buffer_;
};

// The last data's records by key, each as its fingerprint, in the order the last data
// holds them; also counts how often a walk of the query met each key. Built from a
// recordset or straight from a last-data file, whose records are never held: they go to a
// file of keyed records (KeyedRecordFile), the keys file itself when there is one, and
// memory holds a few bits per record.
class EntityIndex {
 public:
  // The query's compared field names and its key field's name.
  EntityIndex(std::vector<std::string> compared, std::string key);
  ~EntityIndex();
  EntityIndex(EntityIndex&&) noexcept;
  EntityIndex& operator=(EntityIndex&&) noexcept;

  // The folder of the scratch file the records are gathered in before the index is
  // read or saved; the system's temporary folder unless said. Load, AddFile and StartFrom
  // take the last data's folder.
  void SetScratchFolder(std::string folder) { scratch_folder_ = std::move(folder); }
  // The records of `last` that are not deleted.
  void AddRecordset(const ado::Recordset& last);
  // The rows of a last-data file. Throws core::Error when the file cannot be read.
  void AddFile(const std::string& path);

  const std::vector<std::string>& Compared() const { return compared_; }
  const std::string& KeyName() const { return key_name_; }

  // The type of the last data's key field; nothing when it has none.
  std::optional<int32_t> LastKeyType() const { return last_key_type_; }
  // Whether the last data holds every compared field: without one, no entity was ever
  // sent with it.
  bool HasEveryField() const { return has_every_field_; }
  // Whether every field of the last data is among `fields` under the same name and type:
  // otherwise one was dropped, renamed or retyped since, and the entities of the last data
  // cannot be compared with the query's.
  bool LastFieldsAmong(const std::vector<ado::FieldDef>& fields) const;
  size_t RecordCount() const;

  // The walk met `key` once more: the how-manieth time (0 the first), and the last
  // data's record for that occurrence (the k-th record of the key), null when it has
  // none; valid until the next call.
  struct Meeting {
    int32_t occurrence = 0;
    const RowFingerprint* before = nullptr;
  };
  Meeting Meet(std::string_view key);

  // Whether the walk met `key`, in the last data or not.
  bool Met(std::string_view key);
  // The number of keys: the entities of the last data.
  size_t KeyCount();
  // Each record of a key the walk never met (an entity gone from the query's result),
  // key by key in the order the last data first holds them.
  void ForEachUnmet(
      const std::function<void(std::string_view key, const RowFingerprint& fingerprint)>& take);

  // A reader of the query's records, for `fields` (the query's).
  RowReader QueryReader(const std::vector<ado::FieldDef>& fields) const;

  // An index of the query's own records, built while they are read, to be saved as
  // the keys file of the last data written from them; its scratch file goes where
  // `expected`'s does.
  void StartFrom(const std::vector<ado::FieldDef>& fields, const EntityIndex& expected);
  void Add(std::string_view key, const RowFingerprint& fingerprint);

  // The keys file beside a last-data file: the index of its records, so that a run
  // need not read the whole file. It names the file's size, time and inode and the
  // fields compared; Load takes it only when all of these still match and its checksum
  // holds, and otherwise returns false (the caller reads the last-data file itself).
  static std::string KeysFileOf(const std::string& last_file);
  bool Load(const std::string& last_file);
  // Throws core::Error when it cannot be written.
  void Save(const std::string& last_file);

 private:
  class FileRows;
  // Looks the query's names up in the last data's fields; a reader of its records.
  RowReader LastReader(const std::vector<ado::FieldDef>& fields);
  // What the keys file keeps beside the records: the last data's stamp, the names
  // compared, its key's type and fields.
  std::string Meta(const keys_file::FileStamp& stamp) const;
  // Makes what was added readable: the records' file is finished and opened.
  void Seal();
  // The records of `key`, by number; the record after the one met last is tried first.
  std::vector<KeyedRecordFile::Record> Lookup(std::string_view key);

  std::vector<std::string> compared_;
  std::string key_name_;
  std::optional<int32_t> last_key_type_;
  bool has_every_field_ = true;
  std::vector<std::pair<std::string, int32_t>> last_fields_;  // names and types
  std::string scratch_folder_;
  // Records being added: a writer into a scratch file, until Seal or Save.
  struct Adding;
  std::unique_ptr<Adding> adding_;
  // The records once readable, and the keys the walk met.
  std::unique_ptr<KeyedRecordFile> records_;
  KeyMeetings met_;
  uint64_t next_guess_ = 0;
  RowFingerprint before_;
};

}  // namespace qv

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "values/AdoEnums.h"
#include "values/FieldDef.h"
#include "values/RecordStore.h"
#include "values/RecordsetData.h"
#include "values/Variant.h"

namespace ado {

class Connection;
class Recordset;
class Stream;
class OutputSink;
class FilterIndex;
class FilterCriteria;

// Status of a record that is gone for good: a deletion that was committed, or a new
// record that was cancelled. The record keeps its place in Records(), but nothing
// shows or saves it.
inline constexpr int32_t kRecordGone = 0x40000;  // ADO's adRecDBDeleted

// One field of a recordset: a small handle (recordset + ordinal), copyable, valid while
// the recordset lives and its fields do not change. Value and SetValue work on the
// recordset's current record.
class Field {
 public:
  Field(Recordset* recordset, size_t index) : recordset_(recordset), index_(index) {}

  const std::string& Name() const;
  int32_t Type() const;
  int64_t DefinedSize() const;
  int32_t Attributes() const;
  uint8_t Precision() const;
  uint8_t NumericScale() const;
  void SetPrecision(uint8_t precision);
  void SetNumericScale(uint8_t scale);
  // Column of the field in Records(): its ordinal unless hidden fields come before it.
  size_t Index() const { return index_; }
  const FieldDef& Definition() const;

  // Throws core::Error 3021 when there is no current record.
  Variant Value() const;
  // Converts the value to the field's type as ADO does (text "5" into an integer
  // field gives 5; text that does not convert throws 3421). Starts an edit of the
  // current record; Update commits it. Throws 3021 without a current record.
  void SetValue(const Variant& value);
  // The value before the current record's uncommitted or pending change.
  Variant OriginalValue() const;

 private:
  Recordset* recordset_;
  size_t index_;
};

// The fields of a recordset, in ordinal order; lookup by name ignores case.
class Fields {
 public:
  explicit Fields(Recordset* recordset) : recordset_(recordset) {}

  int32_t Count() const;
  // Throws core::Error 3265 when there is no such field.
  Field Item(size_t index) const;
  Field Item(std::string_view name) const;
  // Nothing when there is no such field; never throws.
  std::optional<Field> Find(std::string_view name) const;
  // Appends a field to a closed recordset (throws 3705 when open). A defined size of
  // 0 or less for a variable type, or adFldUnspecified, takes ADO's defaults.
  void Append(std::string name, int32_t type, int64_t defined_size = 0,
              int32_t attributes = adFldUnspecified);

 private:
  Recordset* recordset_;
};

// ADO's client-side Recordset: a cursor over records held in memory.
//
// Open without a connection and with a file path loads a persisted file; Open with no
// source gives an empty recordset with the appended fields (a fabricated recordset).
// Each record keeps its status and original values; with adLockOptimistic or
// adLockPessimistic every Update is committed at once (the record becomes plain again),
// with any other lock type changes stay pending until UpdateBatch, and Save writes them
// as pending changes. Moving, filtering or AddNew while a record is being edited updates
// it first. A deleted record stays current (without values) until the cursor moves;
// moves skip deleted records.
class Recordset {
 public:
  Recordset();
  ~Recordset();
  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;

  int32_t CursorLocation() const { return cursor_location_; }
  void SetCursorLocation(int32_t location);
  int32_t CursorType() const { return cursor_type_; }
  void SetCursorType(int32_t type);
  int32_t LockType() const { return lock_type_; }
  void SetLockType(int32_t type);
  const std::string& Source() const { return source_; }
  void SetSource(std::string source);
  const std::shared_ptr<Connection>& ActiveConnection() const { return connection_; }
  void SetActiveConnection(std::shared_ptr<Connection> connection);

  int32_t State() const { return open_ ? adStateOpen : adStateClosed; }
  // ADO's EOF and BOF (EOF is a macro in C).
  bool Eof() const;
  bool Bof() const;
  // Records the recordset shows (under its filter, deleted records excluded).
  int64_t RecordCount() const;
  int32_t EditMode() const { return edit_mode_; }
  // The current record's status bits; throws 3021 without a current record.
  int32_t Status() const;

  // ADO criteria syntax: comparisons of a field with a quoted text, a number or a
  // #date#, joined with AND / OR, parentheses allowed; "" shows every record. The
  // cursor moves to the first record shown. Throws 3001 for criteria it cannot read.
  const std::string& Filter() const { return filter_; }
  void SetFilter(std::string criteria);

  ado::Fields Fields() { return ado::Fields(this); }
  const ado::Fields Fields() const { return ado::Fields(const_cast<Recordset*>(this)); }

  // source: a file path (no connection: a persisted file), an SQL text (with a
  // connection: Connection::Query; read-only unless the lock type allows changes), or
  // empty (a fabricated recordset, always updatable; 3001 without appended fields). Arguments of -1
  // keep the properties set before. Throws core::Error; a file that is not a persisted recordset
  // gives 3709 with the reason.
  void Open(const Variant& source = Variant(), std::shared_ptr<Connection> connection = nullptr,
            int32_t cursor_type = adOpenUnspecified, int32_t lock_type = adLockUnspecified,
            int32_t options = -1);
  // Opens the recordset on data that a reader or a query produced. Data whose
  // properties are not updatable opens read-only (LockType adLockReadOnly; editing
  // throws kErrFeatureNotAvailable); otherwise adLockOptimistic and adLockPessimistic
  // commit each Update at once and any other lock type becomes adLockBatchOptimistic.
  // Throws 3705 when open.
  void OpenWith(RecordsetData data);
  void Close();

  void MoveFirst();
  void MoveNext();
  void MoveLast();
  void MovePrevious();

  void AddNew();
  void Update();
  void CancelUpdate();
  void Delete();
  void UpdateBatch();
  void CancelBatch();

  // Persists the records shown (and pending deletions) in ADO's XML format.
  void Save(Stream& destination, int32_t persist_format = adPersistXML) const;
  // Streams the XML straight into the file (created or truncated).
  void SaveToFile(const std::string& path, int32_t persist_format = adPersistXML) const;
  // Streams the XML into `destination`, such as a file the caller opened already.
  void Save(OutputSink& destination, int32_t persist_format = adPersistXML) const;

  // For the persistence and query layers.
  const std::vector<FieldDef>& FieldDefs() const { return fields_; }
  const RecordStore& Records() const { return records_; }
  const PersistProperties& Properties() const { return properties_; }
  // Indexes into Records() of what Save writes, in order: the records shown, then
  // records deleted but still pending.
  std::vector<size_t> RecordsToSave() const;
  // Index into Records() of the current record; nothing at BOF or EOF.
  std::optional<size_t> CurrentRecord() const;

 private:
  friend class Field;
  friend class ado::Fields;

  void RequireOpen() const;
  size_t RequireCurrent() const;
  void RequireUpdatable() const;
  void RebuildView();
  void RebuildView(const FilterCriteria& criteria);
  void FinishOpen();
  void RebuildFieldOrder();
  void CommitEdit();
  size_t LiveCount() const { return view_.size() - deleted_in_view_; }
  bool IsShown(size_t record) const;
  Variant GetValue(size_t field) const;
  void SetValue(size_t field, const Variant& value);
  bool CommitsImmediately() const;

  int32_t cursor_location_ = adUseServer;
  int32_t cursor_type_ = adOpenForwardOnly;
  int32_t lock_type_ = adLockReadOnly;
  std::string source_;
  std::shared_ptr<Connection> connection_;
  bool open_ = false;
  bool fabricated_ = false;

  std::vector<FieldDef> fields_;
  RecordStore records_;
  PersistProperties properties_;

  std::string filter_;
  std::vector<size_t> view_;  // indexes of the records shown, in order
  // Cursor: position in view_; -1 is BOF, view_.size() is EOF.
  int64_t position_ = -1;
  int32_t edit_mode_ = adEditNone;
  std::unique_ptr<FilterIndex> filter_index_;

  bool updatable_ = true;
  size_t deleted_in_view_ = 0;  // records of view_ deleted since the view was built
  // Fields shown in Fields (hidden ones left out), and their folded names.
  std::vector<size_t> field_order_;
  std::unordered_map<std::string, size_t> field_lookup_;
  // The edit in progress: values before it (edited fields only), the record's status
  // and whether it had originals when the edit began, the position before AddNew.
  std::vector<std::pair<size_t, Variant>> edit_backup_;
  bool edit_had_original_ = false;
  int64_t position_before_add_ = -1;
};

// ADO's text Stream, as the Save of a recordset fills it.
class Stream {
 public:
  int64_t Position() const { return char_position_; }  // in characters
  // Throws kErrInvalidArgument outside 0 .. Size().
  void SetPosition(int64_t position);
  bool EOS() const;
  int64_t Size() const;  // in characters
  // Up to `count` characters from the position (all of them for a negative count);
  // advances the position.
  std::string ReadText(int64_t count = -1);
  // Writes over the characters from the position on, extending the text as needed;
  // the position moves past the text written.
  void WriteText(std::string_view text);
  const std::string& Data() const { return text_; }

 private:
  std::string text_;
  int64_t position_ = 0;  // byte offset, always on a code point boundary
  int64_t char_position_ = 0;
  int64_t char_count_ = 0;
};

}  // namespace ado

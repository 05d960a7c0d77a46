#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "values/AdoEnums.h"
#include "values/Variant.h"

namespace ado {

// Compact storage of a recordset's records: one flat table of 16-byte cells (records x
// fields) and an append-only arena for texts, byte arrays and decimals, so that a
// million-row result costs little more than its data. Every record keeps its status
// (RecordStatusEnum bits) and, once changed, its original values, as a client cursor
// does. Records are never removed; a deleted record keeps its place with adRecDeleted.
//
// Plain container: no cursor, no filter, no field definitions. Indexes are checked only
// by assertions; callers keep them in range.
class RecordStore {
 public:
  explicit RecordStore(size_t field_count = 0);
  ~RecordStore();
  RecordStore(RecordStore&&) noexcept;
  RecordStore& operator=(RecordStore&&) noexcept;
  RecordStore(const RecordStore&) = delete;
  RecordStore& operator=(const RecordStore&) = delete;

  size_t FieldCount() const { return field_count_; }
  size_t RecordCount() const { return status_.size(); }

  void Reserve(size_t records);
  // Appends a record whose cells are all empty; returns its index.
  size_t AppendRecord(int32_t status = adRecUnmodified);
  // Appends a field to every record (cells empty); used by Fields.Append on a closed set.
  void AppendField();

  // Generic access. Set copies texts and bytes into the arena.
  Variant Get(size_t record, size_t field) const;
  void Set(size_t record, size_t field, const Variant& value);

  // Typed access without a Variant in between, for loaders and writers.
  VarType TypeAt(size_t record, size_t field) const;
  int64_t IntAt(size_t record,
                size_t field) const;  // whole numbers, Boolean (0/1), currency (scaled)
  uint64_t UIntAt(size_t record, size_t field) const;  // kUI8
  double DoubleAt(size_t record, size_t field) const;  // kR4, kR8, kDate (days)
  Date DateAt(size_t record, size_t field) const;      // kDate
  std::string_view TextAt(size_t record, size_t field) const;
  std::span<const uint8_t> BytesAt(size_t record, size_t field) const;

  void SetEmpty(size_t record, size_t field);
  void SetNull(size_t record, size_t field);
  void SetInteger(size_t record, size_t field, VarType type, int64_t value);
  void SetUnsigned(size_t record, size_t field, uint64_t value);            // kUI8
  void SetDouble(size_t record, size_t field, VarType type, double value);  // kR4, kR8
  void SetBool(size_t record, size_t field, bool value);
  void SetCurrency(size_t record, size_t field, Currency value);
  void SetDate(size_t record, size_t field, Date value);
  void SetDecimal(size_t record, size_t field, const Decimal& value);
  void SetText(size_t record, size_t field, std::string_view text);
  void SetBytes(size_t record, size_t field, std::span<const uint8_t> bytes);

  // A record's status and values as bytes that AppendSerialized reads back into a
  // store of the same field count: for spooling rows out of memory. Arrays and objects
  // cannot be written (core::Error).
  void Serialize(size_t record, std::string& out) const;
  // Appends the record that starts `in` and moves `in` past it; returns its index.
  // Throws core::Error when `in` is cut short.
  size_t AppendSerialized(std::string_view& in);

  int32_t Status(size_t record) const { return status_[record]; }
  void SetStatus(size_t record, int32_t status) { status_[record] = status; }

  // Original values: kept from the first change of a record until the change is
  // committed or cancelled.
  bool HasOriginal(size_t record) const;
  const std::vector<Variant>& Original(size_t record) const;  // requires HasOriginal
  void KeepOriginal(size_t record);  // no-op when the record already has one
  void DropOriginal(size_t record);
  void DropAllOriginals();

 private:
  struct Cell {
    uint16_t type;  // VarType
    uint16_t aux;   // decimal scale
    uint32_t size;  // text or byte length; a date's exact nanoseconds + 1, or 0
    union {
      int64_t i;
      uint64_t u;
      double d;
      const char* p;  // arena data: text, bytes, decimal coefficient
      size_t slot;    // index into side_ for arrays and objects
    };
  };
  static_assert(sizeof(Cell) == 16);

  Cell& At(size_t record, size_t field) { return cells_[record * field_count_ + field]; }
  const Cell& At(size_t record, size_t field) const {
    return cells_[record * field_count_ + field];
  }
  // Clears the cell and gives it the type; the caller fills the payload.
  Cell& Reset(size_t record, size_t field, VarType type);
  const char* Store(const void* data, size_t size);

  size_t field_count_ = 0;
  std::vector<Cell> cells_;
  std::vector<int32_t> status_;
  std::vector<std::unique_ptr<char[]>> arena_blocks_;
  char* arena_next_ = nullptr;
  size_t arena_left_ = 0;
  std::vector<Variant> side_;  // arrays and objects
  std::unordered_map<size_t, std::vector<Variant>> originals_;
};

}  // namespace ado

#include "values/RecordStore.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <utility>

#include "core/Error.h"

namespace ado {

namespace {

constexpr size_t kArenaBlockSize = size_t{1} << 20;
constexpr size_t kFirstArenaBlockSize = size_t{16} << 10;
// Values at least this big get a block of their own, so that a big value does not
// waste the rest of a shared block.
constexpr size_t kOwnBlockThreshold = kArenaBlockSize / 4;

uint16_t TypeCode(VarType type) { return static_cast<uint16_t>(type); }

}  // namespace

RecordStore::RecordStore(size_t field_count) : field_count_(field_count) {}

RecordStore::~RecordStore() = default;

RecordStore::RecordStore(RecordStore&& other) noexcept
    : field_count_(std::exchange(other.field_count_, 0)),
      cells_(std::move(other.cells_)),
      status_(std::move(other.status_)),
      arena_blocks_(std::move(other.arena_blocks_)),
      arena_next_(std::exchange(other.arena_next_, nullptr)),
      arena_left_(std::exchange(other.arena_left_, 0)),
      side_(std::move(other.side_)),
      originals_(std::move(other.originals_)) {
  other.cells_.clear();
  other.status_.clear();
  other.arena_blocks_.clear();
  other.side_.clear();
  other.originals_.clear();
}

RecordStore& RecordStore::operator=(RecordStore&& other) noexcept {
  if (this != &other) {
    field_count_ = std::exchange(other.field_count_, 0);
    cells_ = std::move(other.cells_);
    status_ = std::move(other.status_);
    arena_blocks_ = std::move(other.arena_blocks_);
    arena_next_ = std::exchange(other.arena_next_, nullptr);
    arena_left_ = std::exchange(other.arena_left_, 0);
    side_ = std::move(other.side_);
    originals_ = std::move(other.originals_);
    other.cells_.clear();
    other.status_.clear();
    other.arena_blocks_.clear();
    other.side_.clear();
    other.originals_.clear();
  }
  return *this;
}

void RecordStore::Reserve(size_t records) {
  cells_.reserve(records * field_count_);
  status_.reserve(records);
}

size_t RecordStore::AppendRecord(int32_t status) {
  Cell empty{};
  empty.type = TypeCode(VarType::kEmpty);
  cells_.resize(cells_.size() + field_count_, empty);
  status_.push_back(status);
  return status_.size() - 1;
}

void RecordStore::AppendField() {
  const size_t old_count = field_count_;
  const size_t records = status_.size();
  Cell empty{};
  empty.type = TypeCode(VarType::kEmpty);
  std::vector<Cell> cells(records * (old_count + 1), empty);
  for (size_t r = 0; r < records; ++r) {
    std::memcpy(&cells[r * (old_count + 1)], &cells_[r * old_count], old_count * sizeof(Cell));
  }
  cells_ = std::move(cells);
  field_count_ = old_count + 1;
  for (auto& [record, values] : originals_) values.emplace_back();
}

const char* RecordStore::Store(const void* data, size_t size) {
  if (size == 0) return nullptr;
  if (size >= kOwnBlockThreshold) {
    arena_blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
    std::memcpy(arena_blocks_.back().get(), data, size);
    return arena_blocks_.back().get();
  }
  if (size > arena_left_) {
    // Blocks grow from small to full size, so that a store of a few records (a page,
    // a change file) does not take a full block; none is cleared before use.
    const size_t block =
        std::max(size, std::min(kArenaBlockSize,
                                kFirstArenaBlockSize << std::min<size_t>(arena_blocks_.size(), 6)));
    arena_blocks_.push_back(std::make_unique_for_overwrite<char[]>(block));
    arena_next_ = arena_blocks_.back().get();
    arena_left_ = block;
  }
  char* out = arena_next_;
  std::memcpy(out, data, size);
  arena_next_ += size;
  arena_left_ -= size;
  return out;
}

Variant RecordStore::Get(size_t record, size_t field) const {
  const Cell& c = At(record, field);
  const auto type = static_cast<VarType>(c.type);
  switch (type) {
    case VarType::kEmpty:
      return Variant();
    case VarType::kNull:
      return Variant::Null();
    case VarType::kI1:
    case VarType::kUI1:
    case VarType::kI2:
    case VarType::kUI2:
    case VarType::kI4:
    case VarType::kUI4:
    case VarType::kI8:
      return Variant::Integer(type, c.i);
    case VarType::kUI8:
      return Variant::UnsignedInteger(c.u);
    case VarType::kR4:
      return Variant::Single(static_cast<float>(c.d));
    case VarType::kR8:
      return Variant(c.d);
    case VarType::kCurrency:
      return Variant(Currency{c.i});
    case VarType::kDate:
      return Variant(Date{c.d, static_cast<int32_t>(c.size) - 1});
    case VarType::kBool:
      return Variant(c.i != 0);
    case VarType::kString:
      return Variant(std::string(TextAt(record, field)));
    case VarType::kDecimal: {
      Int128 coefficient;
      std::memcpy(&coefficient, c.p, sizeof coefficient);
      return Variant(Decimal(coefficient, c.aux));
    }
    case VarType::kBytes: {
      auto bytes = BytesAt(record, field);
      return Variant(Bytes(bytes.begin(), bytes.end()));
    }
    case VarType::kArray:
    case VarType::kObject:
      return side_[c.slot];
  }
  return Variant();
}

void RecordStore::Set(size_t record, size_t field, const Variant& value) {
  switch (value.Type()) {
    case VarType::kEmpty:
      SetEmpty(record, field);
      return;
    case VarType::kNull:
      SetNull(record, field);
      return;
    case VarType::kI1:
    case VarType::kUI1:
    case VarType::kI2:
    case VarType::kUI2:
    case VarType::kI4:
    case VarType::kUI4:
    case VarType::kI8:
      SetInteger(record, field, value.Type(), value.AsInt64());
      return;
    case VarType::kUI8:
      SetUnsigned(record, field, value.AsUInt64());
      return;
    case VarType::kR4:
    case VarType::kR8:
      SetDouble(record, field, value.Type(), value.AsDouble());
      return;
    case VarType::kCurrency:
      SetCurrency(record, field, value.AsCurrency());
      return;
    case VarType::kDate:
      SetDate(record, field, value.AsDate());
      return;
    case VarType::kBool:
      SetBool(record, field, value.AsBool());
      return;
    case VarType::kString:
      SetText(record, field, value.AsString());
      return;
    case VarType::kDecimal:
      SetDecimal(record, field, value.AsDecimal());
      return;
    case VarType::kBytes:
      SetBytes(record, field, value.AsBytes());
      return;
    case VarType::kArray:
    case VarType::kObject: {
      Cell& c = Reset(record, field, value.Type());
      c.slot = side_.size();
      side_.push_back(value);
      return;
    }
  }
}

VarType RecordStore::TypeAt(size_t record, size_t field) const {
  return static_cast<VarType>(At(record, field).type);
}

int64_t RecordStore::IntAt(size_t record, size_t field) const {
  const Cell& c = At(record, field);
  assert(c.type != TypeCode(VarType::kString) && c.type != TypeCode(VarType::kDecimal));
  return c.i;
}

uint64_t RecordStore::UIntAt(size_t record, size_t field) const { return At(record, field).u; }

double RecordStore::DoubleAt(size_t record, size_t field) const { return At(record, field).d; }

Date RecordStore::DateAt(size_t record, size_t field) const {
  const Cell& c = At(record, field);
  return Date{c.d, static_cast<int32_t>(c.size) - 1};
}

std::string_view RecordStore::TextAt(size_t record, size_t field) const {
  const Cell& c = At(record, field);
  assert(c.type == TypeCode(VarType::kString));
  return std::string_view(c.p, c.size);
}

std::span<const uint8_t> RecordStore::BytesAt(size_t record, size_t field) const {
  const Cell& c = At(record, field);
  assert(c.type == TypeCode(VarType::kBytes));
  return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(c.p), c.size);
}

RecordStore::Cell& RecordStore::Reset(size_t record, size_t field, VarType type) {
  Cell& c = At(record, field);
  c = Cell{};
  c.type = TypeCode(type);
  return c;
}

void RecordStore::SetEmpty(size_t record, size_t field) { Reset(record, field, VarType::kEmpty); }

void RecordStore::SetNull(size_t record, size_t field) { Reset(record, field, VarType::kNull); }

void RecordStore::SetInteger(size_t record, size_t field, VarType type, int64_t value) {
  Reset(record, field, type).i = value;
}

void RecordStore::SetUnsigned(size_t record, size_t field, uint64_t value) {
  Reset(record, field, VarType::kUI8).u = value;
}

void RecordStore::SetDouble(size_t record, size_t field, VarType type, double value) {
  assert(type == VarType::kR4 || type == VarType::kR8);
  Reset(record, field, type).d = value;
}

void RecordStore::SetBool(size_t record, size_t field, bool value) {
  Reset(record, field, VarType::kBool).i = value ? 1 : 0;
}

void RecordStore::SetCurrency(size_t record, size_t field, Currency value) {
  Reset(record, field, VarType::kCurrency).i = value.scaled;
}

void RecordStore::SetDate(size_t record, size_t field, Date value) {
  Cell& c = Reset(record, field, VarType::kDate);
  c.d = value.days;
  c.size = value.nanosecond >= 0 ? static_cast<uint32_t>(value.nanosecond) + 1 : 0;
}

void RecordStore::SetDecimal(size_t record, size_t field, const Decimal& value) {
  const Int128 coefficient = value.coefficient();
  const char* p = Store(&coefficient, sizeof coefficient);
  Cell& c = Reset(record, field, VarType::kDecimal);
  c.aux = static_cast<uint16_t>(value.scale());
  c.p = p;
}

void RecordStore::SetText(size_t record, size_t field, std::string_view text) {
  assert(text.size() <= UINT32_MAX);
  const char* p = Store(text.data(), text.size());
  Cell& c = Reset(record, field, VarType::kString);
  c.size = static_cast<uint32_t>(text.size());
  c.p = p;
}

void RecordStore::SetBytes(size_t record, size_t field, std::span<const uint8_t> bytes) {
  assert(bytes.size() <= UINT32_MAX);
  const char* p = Store(bytes.data(), bytes.size());
  Cell& c = Reset(record, field, VarType::kBytes);
  c.size = static_cast<uint32_t>(bytes.size());
  c.p = p;
}

bool RecordStore::HasOriginal(size_t record) const { return originals_.contains(record); }

const std::vector<Variant>& RecordStore::Original(size_t record) const {
  auto it = originals_.find(record);
  assert(it != originals_.end());
  return it->second;
}

void RecordStore::KeepOriginal(size_t record) {
  if (originals_.contains(record)) return;
  std::vector<Variant> values;
  values.reserve(field_count_);
  for (size_t f = 0; f < field_count_; ++f) values.push_back(Get(record, f));
  originals_.emplace(record, std::move(values));
}

void RecordStore::DropOriginal(size_t record) { originals_.erase(record); }

void RecordStore::DropAllOriginals() { originals_.clear(); }

namespace {

// Whether a cell of the type points into the arena, and how many bytes it points at.
bool PointsIntoArena(uint16_t type) {
  const auto t = static_cast<VarType>(type);
  return t == VarType::kString || t == VarType::kBytes || t == VarType::kDecimal;
}
size_t PayloadSize(uint16_t type, uint32_t size) {
  return static_cast<VarType>(type) == VarType::kDecimal ? sizeof(Int128) : size;
}

}  // namespace

void RecordStore::Serialize(size_t record, std::string& out) const {
  const int32_t status = status_[record];
  out.append(reinterpret_cast<const char*>(&status), sizeof status);
  for (size_t field = 0; field < field_count_; ++field) {
    Cell cell = At(record, field);
    const auto type = static_cast<VarType>(cell.type);
    if (type == VarType::kArray || type == VarType::kObject) {
      throw core::Error(core::kErrTypeMismatch, "RecordStore",
                        "arrays and objects cannot be written out");
    }
    if (!PointsIntoArena(cell.type)) {
      out.append(reinterpret_cast<const char*>(&cell), sizeof cell);
      continue;
    }
    const char* data = cell.p;
    cell.p = nullptr;
    out.append(reinterpret_cast<const char*>(&cell), sizeof cell);
    if (data) out.append(data, PayloadSize(cell.type, cell.size));
  }
}

size_t RecordStore::AppendSerialized(std::string_view& in) {
  const auto cut_short = [] {
    return core::Error(core::kErrInvalidPersistedFile, "RecordStore",
                       "a spooled record is cut short");
  };
  int32_t status = 0;
  if (in.size() < sizeof status) throw cut_short();
  std::memcpy(&status, in.data(), sizeof status);
  in.remove_prefix(sizeof status);
  const size_t record = AppendRecord(status);
  for (size_t field = 0; field < field_count_; ++field) {
    Cell cell{};
    if (in.size() < sizeof cell) throw cut_short();
    std::memcpy(&cell, in.data(), sizeof cell);
    in.remove_prefix(sizeof cell);
    if (PointsIntoArena(cell.type)) {
      const size_t payload = PayloadSize(cell.type, cell.size);
      if (in.size() < payload) throw cut_short();
      cell.p = Store(in.data(), payload);
      in.remove_prefix(payload);
    }
    At(record, field) = cell;
  }
  return record;
}

}  // namespace ado

#include "export/KeyTable.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>

#include "core/Error.h"

namespace qv {
namespace {

constexpr uint64_t kTagMask = ~uint64_t{UINT32_MAX};

}  // namespace

uint64_t KeyTable::Hash(std::string_view key) { return XXH3_64bits(key.data(), key.size()); }

uint32_t KeyTable::Find(std::string_view key) const {
  size_t slot = 0;
  return Find(key, Hash(key), slot);
}

uint32_t KeyTable::Find(std::string_view key, uint64_t hash, size_t& slot) const {
  if (slots_.empty()) return kNone;
  const size_t mask = slots_.size() - 1;
  for (slot = static_cast<size_t>(hash) & mask;; slot = (slot + 1) & mask) {
    const uint64_t value = slots_[slot];
    if (value == 0) return kNone;
    const auto number = static_cast<uint32_t>(value) - 1;
    if ((value & kTagMask) == (hash & kTagMask) && Key(number) == key) return number;
  }
}

uint32_t KeyTable::Add(std::string_view key, uint64_t hash) {
  // At most half full, so that probes stay short.
  if (2 * (Size() + 1) > slots_.size()) Rehash(std::max<size_t>(1024, 2 * slots_.size()));
  size_t slot = 0;
  const uint32_t found = Find(key, hash, slot);
  if (found != kNone) return found;
  if (Size() >= kNone - 1) throw core::Error(core::kErrOverflow, "KeyTable", "too many keys");
  const auto number = static_cast<uint32_t>(Size());
  bytes_.append(key);
  offsets_.push_back(bytes_.size());
  slots_[slot] = (hash & kTagMask) | (uint64_t{number} + 1);
  return number;
}

void KeyTable::Reserve(size_t keys, size_t key_bytes) {
  offsets_.reserve(keys + 1);
  bytes_.reserve(key_bytes);
  size_t slots = std::max<size_t>(1024, slots_.size());
  while (slots < 2 * keys) slots *= 2;
  if (slots > slots_.size()) Rehash(slots);
}

void KeyTable::Rehash(size_t slots) {
  slots_.assign(slots, 0);
  const size_t mask = slots - 1;
  for (uint32_t number = 0; number < Size(); ++number) {
    const uint64_t hash = Hash(Key(number));
    size_t slot = static_cast<size_t>(hash) & mask;
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = (hash & kTagMask) | (uint64_t{number} + 1);
  }
}

void KeyTable::Clear() {
  bytes_.clear();
  offsets_.assign(1, 0);
  slots_.clear();
}

}  // namespace qv

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// Keys numbered 0, 1, 2 ... in the order they were added, in one open-addressing table
// over one block of key bytes: a few bytes per key beside the key itself, and a look-up
// touches little memory. The indexes of the last data use it for their millions of keys.
class KeyTable {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  // The key's number; kNone when it was never added.
  uint32_t Find(std::string_view key) const;
  // The key's number, added when missing. Throws core::Error past four billion keys.
  uint32_t Add(std::string_view key) { return Add(key, Hash(key)); }
  // The same with the key's Hash, for callers that Prefetch a batch of keys first.
  uint32_t Add(std::string_view key, uint64_t hash);
  static uint64_t Hash(std::string_view key);
  // Asks the processor for the slot a key of `hash` starts at, ahead of its Add.
  void Prefetch(uint64_t hash) const {
    if (!slots_.empty())
      __builtin_prefetch(&slots_[static_cast<size_t>(hash) & (slots_.size() - 1)]);
  }
  std::string_view Key(uint32_t number) const {
    return std::string_view(bytes_).substr(offsets_[number],
                                           offsets_[number + 1] - offsets_[number]);
  }
  size_t Size() const { return offsets_.size() - 1; }
  size_t Bytes() const { return bytes_.size(); }
  // Room for `keys` keys of `key_bytes` bytes in all, without growing.
  void Reserve(size_t keys, size_t key_bytes);
  void Clear();

 private:
  // The key's number or kNone; `slot` is where it is or would go.
  uint32_t Find(std::string_view key, uint64_t hash, size_t& slot) const;
  void Rehash(size_t slots);

  std::string bytes_;
  std::vector<uint64_t> offsets_{0};  // key n is bytes_[offsets_[n], offsets_[n + 1])
  // Per slot: the key hash's high half and the key's number + 1; 0 for a free slot.
  std::vector<uint64_t> slots_;
};

}  // namespace qv

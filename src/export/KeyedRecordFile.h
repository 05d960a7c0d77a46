#pragma once

// Records of last data as key and fingerprint, in a file read through the page cache:
// memory holds a few blocks of it, however many records it has. An index of the keys'
// hashes beside the records finds the records of a key with a read or two.
//
// Layout, in the machine's byte order:
//   records   each [fingerprint 16][number u32][key length u32][key], in the order added
//   index     [key hash u64][record offset u64] per record, by hash
//   repeated  a bit per record, set when another record has the same key
//   meta      what the owner keeps with the records
//   footer    counts, where each part begins, every 256th hash of the index
//   [footer size u64][magic][checksum u64 of every byte before it]

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/File.h"
#include "export/RowFingerprint.h"

namespace qv {

// An unnamed file in `folder` (a link in its place is refused), for scratch work: gone
// once closed, whatever stops the program. Throws core::Error.
core::File ScratchFile(const std::string& folder, const std::string& source);
// Reads exactly `size` bytes at `offset` of `file`; false when it ends first. Throws
// core::Error.
bool ReadAt(const core::File& file, char* buffer, size_t size, uint64_t offset);

// Writes the records and their index to `sink` (the file's bytes, in order). The index
// is sorted through a scratch file in `scratch_folder`, a part at a time.
class KeyedRecordWriter {
 public:
  using Sink = std::function<void(std::string_view)>;
  KeyedRecordWriter(Sink sink, const std::string& scratch_folder, std::string_view magic);
  ~KeyedRecordWriter();
  KeyedRecordWriter(const KeyedRecordWriter&) = delete;
  KeyedRecordWriter& operator=(const KeyedRecordWriter&) = delete;

  // Adds a record; its number (0 the first). Throws core::Error past four billion.
  uint32_t Add(std::string_view key, const RowFingerprint& fingerprint);
  uint64_t Count() const { return count_; }
  // Where the next record begins.
  uint64_t Offset() const { return written_ + buffer_.size(); }
  // Writes the index and `meta`, and the checksum last. Throws core::Error.
  void Finish(std::string_view meta);

 private:
  class Parts;
  void Put(std::string_view bytes);
  void Flush();

  Sink sink_;
  std::string magic_;
  std::string buffer_;
  uint64_t written_ = 0;  // bytes handed to the sink, the buffer's excluded
  uint64_t count_ = 0;
  std::unique_ptr<Parts> parts_;
  struct Checksum;
  std::unique_ptr<Checksum> sum_;
};

// A file KeyedRecordWriter wrote, read a block at a time.
class KeyedRecordFile {
 public:
  // The file open in `file`; nothing when it is not one whole, of `magic`, with its
  // checksum holding.
  static std::unique_ptr<KeyedRecordFile> Open(core::File file, std::string_view magic);

  struct Record {
    uint64_t offset = 0;
    uint32_t number = 0;
    RowFingerprint fingerprint;
    std::string_view key;  // valid until the next read
    uint64_t next = 0;     // the offset of the record after it
  };

  uint64_t Count() const { return count_; }
  // The number of different keys.
  uint64_t KeyCount() const { return key_count_; }
  std::string_view Meta() const { return meta_; }
  // Whether another record has the key of record `number` (or a key of the same hash).
  bool Repeated(uint32_t number) const {
    return ((static_cast<unsigned>(repeated_[number / 8]) >> (number % 8)) & 1U) != 0;
  }
  // The offset of the first record; records end where RecordsEnd begins.
  static constexpr uint64_t kFirst = 0;
  uint64_t RecordsEnd() const { return records_end_; }
  // The record at `offset`, which must be where one begins. Throws core::Error.
  Record At(uint64_t offset);
  // The records of `key`, by number; the record at `hint` (where one begins, or past the
  // records) is tried first, and taken alone when its key is that one and no other
  // record has it. Throws core::Error.
  std::vector<Record> Find(std::string_view key, uint64_t hint = UINT64_MAX);
  static uint64_t Hash(std::string_view key);

 private:
  KeyedRecordFile() = default;
  // `size` bytes at `offset`, through the block cache; valid until the next read.
  std::string_view Read(uint64_t offset, size_t size);

  core::File file_;
  uint64_t count_ = 0;
  uint64_t key_count_ = 0;
  uint64_t records_end_ = 0;
  uint64_t index_at_ = 0;
  std::vector<uint64_t> sparse_;  // the hash of every 256th index entry
  std::vector<uint8_t> repeated_;
  std::string meta_;
  struct Block {
    uint64_t at = UINT64_MAX;
    uint64_t used = 0;  // when last read, for the cache's choice
    std::string bytes;
  };
  std::vector<Block> blocks_;
  uint64_t reads_ = 0;
  std::string joined_;  // a read across blocks
};

}  // namespace qv

#include "export/KeyedRecordFile.h"

#define XXH_INLINE_ALL
#include <fcntl.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/Error.h"
#include "core/Folder.h"
#include "core/PosixError.h"
#include "core/Random.h"

namespace qv {
namespace {

const char* const kSource = "KeyedRecordFile";
constexpr size_t kRecordHead = 24;  // fingerprint, number, key length
constexpr size_t kIndexEntry = 16;  // hash, offset
constexpr uint64_t kSparseEvery = 256;
constexpr size_t kBlock = size_t{64} * 1024;
constexpr size_t kCachedBlocks = 8;
constexpr size_t kWriteBuffer = size_t{1024} * 1024;

template <typename T>
void PutValue(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

template <typename T>
T GetValue(std::string_view bytes, size_t at) {
  T value{};
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

// What the index is sorted from: both halves of the key's hash, and the record.
struct Entry {
  uint64_t hash = 0;
  uint64_t check = 0;  // the hash's other half: two keys alike in both count as one
  uint64_t offset = 0;
  uint32_t number = 0;
  uint32_t unused = 0;
};

}  // namespace

bool ReadAt(const core::File& file, char* buffer, size_t size, uint64_t offset) {
  while (size > 0) {
    const ssize_t got = ::pread(file.Descriptor(), buffer, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw core::ErrorFromErrno(errno, kSource, "cannot read " + file.Path());
    if (got == 0) return false;
    buffer += got;
    size -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

core::File ScratchFile(const std::string& folder, const std::string& source) {
  // Made under the folder opened without following a link in its place.
  const core::Folder open =
      core::Folder::Open(folder.empty() ? "." : folder, core::Folder::Reach::kOwn, source);
  if (!open.IsOpen()) {
    throw core::Error(core::kErrPathNotFound, source, "no folder for a scratch file: " + folder);
  }
  const int fd = ::openat(open.Descriptor(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return core::File(fd, open.PathOf("(scratch)"), source);
  // A file system without unnamed files: a new named one, removed at once.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = ".qvscratch" + std::to_string(core::Random()());
    const int named = ::openat(open.Descriptor(), name.c_str(),
                               O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (named < 0 && errno == EEXIST) continue;
    if (named < 0) break;
    ::unlinkat(open.Descriptor(), name.c_str(), 0);
    return core::File(named, open.PathOf(name), source);
  }
  throw core::ErrorFromErrno(errno, source, "cannot make a scratch file in " + open.Path());
}

uint64_t KeyedRecordFile::Hash(std::string_view key) {
  return XXH3_128bits(key.data(), key.size()).low64;
}

// The index's entries, spread by hash over parts small enough to sort in memory, each
// part kept in blocks of a scratch file.
class KeyedRecordWriter::Parts {
 public:
  static constexpr size_t kParts = 64;
  static constexpr size_t kPerBlock = 2048;

  explicit Parts(const std::string& folder) : file_(ScratchFile(folder, kSource)) {
    for (auto& part : parts_) part.reserve(kPerBlock);
  }
  void Add(const Entry& entry) {
    const size_t part = entry.hash >> 58;
    parts_[part].push_back(entry);
    if (parts_[part].size() == kPerBlock) Spill(part);
  }
  // Every entry of `part`.
  std::vector<Entry> Take(size_t part) {
    std::vector<Entry> entries((blocks_[part].size() * kPerBlock) + parts_[part].size());
    char* to = reinterpret_cast<char*>(entries.data());
    for (const uint64_t at : blocks_[part]) {
      if (!ReadAt(file_, to, kPerBlock * sizeof(Entry), at)) {
        throw core::Error(core::kErrPathFileAccess, kSource, "the scratch file ended early");
      }
      to += kPerBlock * sizeof(Entry);
    }
    if (!parts_[part].empty()) {
      std::memcpy(to, parts_[part].data(), parts_[part].size() * sizeof(Entry));
    }
    parts_[part] = {};
    blocks_[part] = {};
    return entries;
  }

 private:
  void Spill(size_t part) {
    blocks_[part].push_back(end_);
    file_.WriteAll(std::string_view(reinterpret_cast<const char*>(parts_[part].data()),
                                    parts_[part].size() * sizeof(Entry)));
    end_ += parts_[part].size() * sizeof(Entry);
    parts_[part].clear();
  }

  core::File file_;
  uint64_t end_ = 0;
  std::vector<Entry> parts_[kParts];
  std::vector<uint64_t> blocks_[kParts];
};

struct KeyedRecordWriter::Checksum {
  Checksum() { XXH3_64bits_reset(&state); }
  XXH3_state_t state{};
};

KeyedRecordWriter::KeyedRecordWriter(Sink sink, const std::string& scratch_folder,
                                     std::string_view magic)
    : sink_(std::move(sink)),
      magic_(magic),
      parts_(std::make_unique<Parts>(scratch_folder)),
      sum_(std::make_unique<Checksum>()) {
  buffer_.reserve(kWriteBuffer + 4096);
}

KeyedRecordWriter::~KeyedRecordWriter() = default;

void KeyedRecordWriter::Put(std::string_view bytes) {
  buffer_.append(bytes);
  if (buffer_.size() >= kWriteBuffer) Flush();
}

void KeyedRecordWriter::Flush() {
  if (buffer_.empty()) return;
  XXH3_64bits_update(&sum_->state, buffer_.data(), buffer_.size());
  sink_(buffer_);
  written_ += buffer_.size();
  buffer_.clear();
}

uint32_t KeyedRecordWriter::Add(std::string_view key, const RowFingerprint& fingerprint) {
  if (count_ >= UINT32_MAX || key.size() >= UINT32_MAX) {
    throw core::Error(core::kErrOverflow, kSource, "too many records for one file");
  }
  const auto number = static_cast<uint32_t>(count_++);
  const XXH128_hash_t hash = XXH3_128bits(key.data(), key.size());
  parts_->Add({hash.low64, hash.high64, written_ + buffer_.size(), number, 0});
  PutValue(buffer_, fingerprint.low);
  PutValue(buffer_, fingerprint.high);
  PutValue(buffer_, number);
  PutValue(buffer_, static_cast<uint32_t>(key.size()));
  Put(key);
  return number;
}

void KeyedRecordWriter::Finish(std::string_view meta) {
  const uint64_t records_end = written_ + buffer_.size();
  std::vector<uint8_t> repeated((count_ + 7) / 8);
  std::vector<uint64_t> sparse;
  uint64_t key_count = count_;
  uint64_t position = 0;
  std::string entry;
  for (size_t part = 0; part < Parts::kParts; ++part) {
    std::vector<Entry> entries = parts_->Take(part);
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
      if (a.hash != b.hash) return a.hash < b.hash;
      if (a.check != b.check) return a.check < b.check;
      return a.number < b.number;
    });
    for (size_t i = 0; i < entries.size(); ++i, ++position) {
      const Entry& at = entries[i];
      const bool same_hash_before = i > 0 && entries[i - 1].hash == at.hash;
      const bool same_hash_after = i + 1 < entries.size() && entries[i + 1].hash == at.hash;
      if (same_hash_before || same_hash_after)
        repeated[at.number / 8] |= static_cast<uint8_t>(1U << (at.number % 8));
      if (same_hash_before && entries[i - 1].check == at.check) --key_count;
      if (position % kSparseEvery == 0) sparse.push_back(at.hash);
      entry.clear();
      PutValue(entry, at.hash);
      PutValue(entry, at.offset);
      Put(entry);
    }
  }
  const uint64_t repeated_at = written_ + buffer_.size();
  Put(std::string_view(reinterpret_cast<const char*>(repeated.data()), repeated.size()));
  const uint64_t meta_at = written_ + buffer_.size();
  Put(meta);
  std::string footer;
  PutValue(footer, count_);
  PutValue(footer, key_count);
  PutValue(footer, records_end);
  PutValue(footer, repeated_at);
  PutValue(footer, meta_at);
  PutValue(footer, static_cast<uint64_t>(meta.size()));
  PutValue(footer, static_cast<uint64_t>(sparse.size()));
  for (const uint64_t hash : sparse) PutValue(footer, hash);
  PutValue(footer, static_cast<uint64_t>(footer.size()));
  footer.append(magic_);
  Put(footer);
  Flush();
  std::string sum;
  PutValue(sum, static_cast<uint64_t>(XXH3_64bits_digest(&sum_->state)));
  sink_(sum);
  written_ += sum.size();
}

std::unique_ptr<KeyedRecordFile> KeyedRecordFile::Open(core::File file, std::string_view magic) {
  const auto size = static_cast<uint64_t>(file.Status().st_size);
  const uint64_t tail = sizeof(uint64_t) + magic.size() + sizeof(uint64_t);
  if (size < tail) return nullptr;
  std::string end(tail, '\0');
  if (!ReadAt(file, end.data(), tail, size - tail)) return nullptr;
  if (std::string_view(end).substr(sizeof(uint64_t), magic.size()) != magic) return nullptr;
  const auto footer_size = GetValue<uint64_t>(end, 0);
  const auto sum = GetValue<uint64_t>(end, tail - sizeof(uint64_t));
  // The checksum covers every byte: read through once, a block at a time.
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  std::string block(size_t{1024} * 1024, '\0');
  for (uint64_t at = 0; at < size - sizeof(uint64_t);) {
    const size_t take = std::min<uint64_t>(block.size(), size - sizeof(uint64_t) - at);
    if (!ReadAt(file, block.data(), take, at)) return nullptr;
    XXH3_64bits_update(&state, block.data(), take);
    at += take;
  }
  if (XXH3_64bits_digest(&state) != sum) return nullptr;

  const uint64_t footer_end = size - tail;
  if (footer_size > footer_end || footer_size < 7 * sizeof(uint64_t)) return nullptr;
  std::string footer(footer_size, '\0');
  if (!ReadAt(file, footer.data(), footer_size, footer_end - footer_size)) return nullptr;
  std::unique_ptr<KeyedRecordFile> opened(new KeyedRecordFile());
  KeyedRecordFile& f = *opened;
  f.count_ = GetValue<uint64_t>(footer, 0);
  f.key_count_ = GetValue<uint64_t>(footer, 8);
  f.records_end_ = GetValue<uint64_t>(footer, 16);
  const auto repeated_at = GetValue<uint64_t>(footer, 24);
  const auto meta_at = GetValue<uint64_t>(footer, 32);
  const auto meta_size = GetValue<uint64_t>(footer, 40);
  const auto sparse_count = GetValue<uint64_t>(footer, 48);
  f.index_at_ = f.records_end_;
  const uint64_t meta_end = footer_end - footer_size;
  if (sparse_count != (f.count_ + kSparseEvery - 1) / kSparseEvery ||
      footer_size != (7 + sparse_count) * sizeof(uint64_t) ||
      f.index_at_ + (f.count_ * kIndexEntry) != repeated_at ||
      repeated_at + ((f.count_ + 7) / 8) != meta_at || meta_at + meta_size != meta_end ||
      f.count_ > UINT32_MAX) {
    return nullptr;
  }
  f.sparse_.resize(sparse_count);
  std::memcpy(f.sparse_.data(), footer.data() + (7 * sizeof(uint64_t)),
              sparse_count * sizeof(uint64_t));
  f.repeated_.resize((f.count_ + 7) / 8);
  f.meta_.resize(meta_size);
  if (!ReadAt(file, reinterpret_cast<char*>(f.repeated_.data()), f.repeated_.size(), repeated_at) ||
      !ReadAt(file, f.meta_.data(), meta_size, meta_at)) {
    return nullptr;
  }
  f.file_ = std::move(file);
  f.blocks_.resize(kCachedBlocks);
  return opened;
}

std::string_view KeyedRecordFile::Read(uint64_t offset, size_t size) {
  const auto block_of = [&](uint64_t at) -> Block& {
    const uint64_t start = at - (at % kBlock);
    Block* pick = &blocks_.front();
    for (Block& block : blocks_) {
      if (block.at == start) {
        block.used = ++reads_;
        return block;
      }
      if (block.used < pick->used) pick = &block;
    }
    pick->bytes.resize(kBlock);
    const auto got =
        ::pread(file_.Descriptor(), pick->bytes.data(), kBlock, static_cast<off_t>(start));
    if (got < 0) throw core::ErrorFromErrno(errno, kSource, "cannot read " + file_.Path());
    pick->bytes.resize(static_cast<size_t>(got));
    pick->at = start;
    pick->used = ++reads_;
    return *pick;
  };
  const Block& first = block_of(offset);
  const size_t in = offset - first.at;
  if (in + size <= first.bytes.size()) return std::string_view(first.bytes).substr(in, size);
  joined_.assign(first.bytes, std::min(in, first.bytes.size()));
  while (joined_.size() < size) {
    const Block& next = block_of(offset + joined_.size());
    const size_t from = offset + joined_.size() - next.at;
    if (from >= next.bytes.size()) {
      throw core::Error(core::kErrPathFileAccess, kSource, file_.Path() + " ended early");
    }
    joined_.append(next.bytes, from, size - joined_.size());
  }
  return joined_;
}

KeyedRecordFile::Record KeyedRecordFile::At(uint64_t offset) {
  if (offset + kRecordHead > records_end_) {
    throw core::Error(core::kErrPathFileAccess, kSource, "no record at that place");
  }
  std::string_view head = Read(offset, kRecordHead);
  Record record;
  record.offset = offset;
  record.fingerprint.low = GetValue<uint64_t>(head, 0);
  record.fingerprint.high = GetValue<uint64_t>(head, 8);
  record.number = GetValue<uint32_t>(head, 16);
  const auto length = GetValue<uint32_t>(head, 20);
  if (offset + kRecordHead + length > records_end_ || record.number >= count_) {
    throw core::Error(core::kErrPathFileAccess, kSource, "a record runs past the records");
  }
  record.key = Read(offset + kRecordHead, length);
  record.next = offset + kRecordHead + length;
  return record;
}

std::vector<KeyedRecordFile::Record> KeyedRecordFile::Find(std::string_view key, uint64_t hint) {
  if (hint < records_end_) {
    Record record = At(hint);
    if (record.key == key && !Repeated(record.number)) {
      record.key = key;
      return {record};
    }
  }
  const uint64_t hash = Hash(key);
  const auto first = std::lower_bound(sparse_.begin(), sparse_.end(), hash);
  uint64_t position = first == sparse_.begin()
                          ? 0
                          : static_cast<uint64_t>(first - sparse_.begin() - 1) * kSparseEvery;
  std::vector<uint64_t> offsets;
  for (; position < count_; ++position) {
    const std::string_view entry = Read(index_at_ + (position * kIndexEntry), kIndexEntry);
    const auto at = GetValue<uint64_t>(entry, 0);
    if (at > hash) break;
    if (at == hash) offsets.push_back(GetValue<uint64_t>(entry, 8));
  }
  std::vector<Record> found;
  for (const uint64_t offset : offsets) {
    Record record = At(offset);
    if (record.key != key) continue;
    joined_.clear();
    found.push_back(record);
    // The key's bytes outlive the next read only as the caller's own key.
    found.back().key = key;
  }
  std::sort(found.begin(), found.end(),
            [](const Record& a, const Record& b) { return a.number < b.number; });
  return found;
}

}  // namespace qv

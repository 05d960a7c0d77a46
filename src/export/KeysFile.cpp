#include "export/KeysFile.h"

#define XXH_INLINE_ALL
#include <fcntl.h>
#include <xxhash.h>

#include "core/AtomicFile.h"
#include "core/Error.h"
#include "core/File.h"

namespace qv::keys_file {

void PutNames(std::string& out, std::string_view key, const std::vector<std::string>& compared) {
  PutText(out, key);
  Put(out, static_cast<uint32_t>(compared.size()));
  for (const std::string& name : compared) PutText(out, name);
}

bool NamesMatch(Reader& in, std::string_view key, const std::vector<std::string>& compared) {
  if (in.Text() != key || in.Get<uint32_t>() != compared.size()) return false;
  for (const std::string& name : compared) {
    if (in.Text() != name) return false;
  }
  return in.Ok();
}

void WriteSealed(const std::string& path, std::string bytes, const std::string& source) {
  Put(bytes, static_cast<uint64_t>(XXH3_64bits(bytes.data(), bytes.size())));
  core::AtomicFile file(path, source);
  file.Write(bytes);
  file.Commit(core::AtomicFile::Durability::kRenameOnly);
}

std::string ReadFileOrNothing(const std::string& path, const std::string& source) {
  try {
    return core::File::Open(path, O_RDONLY | O_NOFOLLOW, source).ReadAll();
  } catch (const core::Error&) {
    return {};
  }
}

std::optional<std::string_view> Unseal(const std::string& bytes, std::string_view magic) {
  constexpr size_t kSum = sizeof(uint64_t);
  if (bytes.size() < magic.size() + kSum || !bytes.starts_with(magic)) return std::nullopt;
  uint64_t sum = 0;
  std::memcpy(&sum, bytes.data() + bytes.size() - kSum, kSum);
  if (sum != XXH3_64bits(bytes.data(), bytes.size() - kSum)) return std::nullopt;
  return std::string_view(bytes).substr(magic.size(), bytes.size() - magic.size() - kSum);
}

}  // namespace qv::keys_file

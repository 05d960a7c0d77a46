#include "upload/IdempotencyKey.h"

#include <fcntl.h>
#include <openssl/evp.h>

#include <memory>

#include "core/Error.h"
#include "core/File.h"

namespace qv {
namespace {

struct DigestDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

std::optional<std::string> IdempotencyKey(const std::string& imp_id, const std::string& fn,
                                          const std::string& file) {
  core::File in;
  try {
    in = core::File::Open(file, O_RDONLY, "IdempotencyKey");
  } catch (const core::Error&) {
    return std::nullopt;
  }
  const std::unique_ptr<EVP_MD_CTX, DigestDeleter> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return std::nullopt;
  }
  const std::string head = imp_id + "\n" + fn + "\n";
  bool ok = EVP_DigestUpdate(context.get(), head.data(), head.size()) == 1;
  char buffer[64 * 1024];
  try {
    while (ok) {
      const size_t got = in.Read(buffer, sizeof buffer);
      if (got == 0) break;
      ok = EVP_DigestUpdate(context.get(), buffer, got) == 1;
    }
  } catch (const core::Error&) {
    return std::nullopt;  // a folder opens but does not read
  }
  if (!ok) return std::nullopt;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return std::nullopt;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size_t{length} * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0x0f];
  }
  return hex;
}

}  // namespace qv

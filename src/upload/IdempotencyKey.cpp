#include "upload/IdempotencyKey.h"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>

namespace qv {
namespace {

struct DigestDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::optional<std::string> IdempotencyKey(const std::string& imp_id, const std::string& fn,
                                          const std::string& file) {
  const std::unique_ptr<std::FILE, FileCloser> in(std::fopen(file.c_str(), "rb"));
  if (!in) return std::nullopt;
  const std::unique_ptr<EVP_MD_CTX, DigestDeleter> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return std::nullopt;
  }
  const std::string head = imp_id + "\n" + fn + "\n";
  bool ok = EVP_DigestUpdate(context.get(), head.data(), head.size()) == 1;
  char buffer[64 * 1024];
  while (ok) {
    const size_t got = std::fread(buffer, 1, sizeof buffer, in.get());
    if (got > 0) ok = EVP_DigestUpdate(context.get(), buffer, got) == 1;
    if (got < sizeof buffer) break;
  }
  // A folder opens but does not read.
  if (!ok || std::ferror(in.get())) return std::nullopt;
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

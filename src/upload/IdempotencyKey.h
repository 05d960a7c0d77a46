#pragma once

#include <optional>
#include <string>

namespace qv {

// The Idempotency-Key header value both uploaders send with a file: the SHA-256 of
//   imp_id, "\n", fn, "\n", the file's bytes
// as 64 lower-case hexadecimal digits, where `imp_id` and `fn` are the ImpID and FN
// values exactly as they stand, escaped, in the upload address. Repeated uploads of the
// same file under the same rule and name carry the same key. Nothing when the file
// cannot be opened or read.
std::optional<std::string> IdempotencyKey(const std::string& imp_id, const std::string& fn,
                                          const std::string& file);

}  // namespace qv

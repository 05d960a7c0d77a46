// The texts of encodings 1 and 6 as files hold them; and any text encoded decodes back.
#include <cstdint>
#include <cstdlib>

#include "FuzzInput.h"
#include "core/Error.h"
#include "shared/QvSharedStrings.h"

namespace {

using qv::QvSharedStrings;

void DecodeEither(std::string_view text) {
  try {
    (void)QvSharedStrings::Decode1(text);
  } catch (const core::Error&) {
  }
  try {
    (void)QvSharedStrings::Decode6(text);
  } catch (const core::Error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::AsText(data, size);
  DecodeEither(text);
  // Decoding refuses what is not UTF-8; what it gives back must be the text encoded.
  std::string decoded;
  try {
    decoded = QvSharedStrings::Decode1(QvSharedStrings::Encode1(text));
  } catch (const core::Error&) {
    return 0;
  }
  if (decoded != text) std::abort();
  if (QvSharedStrings::Decode6(QvSharedStrings::Encode6(text)) != text) std::abort();
  return 0;
}

#include "core/Text.h"

#include <unicode/ucasemap.h>
#include <unicode/utf8.h>

#include <memory>

namespace core {

size_t CodePointCount(std::string_view utf8) {
  size_t count = 0;
  for (char c : utf8) {
    // Count every byte that does not continue a sequence.
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

std::string_view CodePointPrefix(std::string_view utf8, size_t count) {
  size_t seen = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) {
      if (seen == count) return utf8.substr(0, i);
      ++seen;
    }
  }
  return utf8;
}

bool IsBlank(char c, std::string_view blanks) { return blanks.find(c) != std::string_view::npos; }

bool IsBlank(std::string_view text, std::string_view blanks) {
  return text.find_first_not_of(blanks) == std::string_view::npos;
}

std::string_view Trim(std::string_view text, std::string_view blanks) {
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string_view TrimStart(std::string_view text, std::string_view blanks) {
  const size_t first = text.find_first_not_of(blanks);
  return first == std::string_view::npos ? std::string_view() : text.substr(first);
}

size_t Utf8SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

bool IsValidUtf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  int32_t length = static_cast<int32_t>(bytes.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

namespace {
struct CaseMapCloser {
  void operator()(UCaseMap* map) const { ucasemap_close(map); }
};
}  // namespace

std::string FoldCase(std::string_view utf8) {
  // ASCII needs no ICU round trip.
  bool ascii = true;
  for (char c : utf8) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) {
    std::string out(utf8);
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UCaseMap, CaseMapCloser> map(
      ucasemap_open(nullptr, U_FOLD_CASE_DEFAULT, &status));
  if (U_FAILURE(status)) return std::string(utf8);
  std::string out(utf8.size() * 3 + 4, '\0');
  int32_t n = ucasemap_utf8FoldCase(map.get(), out.data(), static_cast<int32_t>(out.size()),
                                    utf8.data(), static_cast<int32_t>(utf8.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    status = U_ZERO_ERROR;
    out.resize(static_cast<size_t>(n));
    n = ucasemap_utf8FoldCase(map.get(), out.data(), static_cast<int32_t>(out.size()), utf8.data(),
                              static_cast<int32_t>(utf8.size()), &status);
  }
  if (U_FAILURE(status)) return std::string(utf8);
  out.resize(static_cast<size_t>(n));
  return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() == b.size() && a == b) return true;
  return FoldCase(a) == FoldCase(b);
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace core

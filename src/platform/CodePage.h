#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/IconvHandle.h"

namespace qv::platform {

inline constexpr uint32_t kCodePageAnsi = 0;  // the ANSI code page: Windows-1252 here
inline constexpr uint32_t kCodePageWindows1252 = 1252;
inline constexpr uint32_t kCodePageUtf16Le = 1200;
inline constexpr uint32_t kCodePageUtf8 = 65001;

// The replacement byte for characters a single-byte code page lacks.
inline constexpr char kDefaultChar = '?';

// Conversions between UTF-8 and one code page (0, 1252, 1200 or 65001). The object
// owns the iconv handles it needs; it is movable, not copyable, and not for use by two
// threads at once.
class CodePage {
 public:
  // Throws core::Error (invalid procedure call) for an unsupported code page number and
  // when iconv cannot open the conversion.
  explicit CodePage(uint32_t code_page);

  uint32_t Number() const { return number_; }

  // UTF-8 text as bytes of this code page. Characters the code page lacks become
  // kDefaultChar; invalid UTF-8 bytes become kDefaultChar (single-byte pages) or U+FFFD.
  std::string FromUtf8(std::string_view utf8);
  // Bytes of this code page as UTF-8. Bytes that do not decode become U+FFFD, except
  // the five unassigned Windows-1252 bytes, which map to the C1 controls of the same
  // value as Windows maps them.
  std::string ToUtf8(std::string_view bytes);
  // True when every character of the UTF-8 text has a code in this code page (and the
  // text is well-formed UTF-8).
  bool CanRepresent(std::string_view utf8);

 private:
  uint32_t number_;
  // Windows-1252 conversions; closed for the Unicode pages.
  IconvHandle to_utf8_;
  IconvHandle from_utf8_;
};

// The bytes of a text file as UTF-8: a UTF-8 byte-order mark is dropped, a UTF-16LE
// one selects UTF-16LE; without a mark, well-formed UTF-8 stays as it is and anything
// else is read as Windows-1252.
std::string DecodeTextFileBytes(std::string_view bytes);

// One-shot helpers over a temporary CodePage.
std::string Utf8ToCodePage(std::string_view utf8, uint32_t code_page);
std::string CodePageToUtf8(std::string_view bytes, uint32_t code_page);

}  // namespace qv::platform

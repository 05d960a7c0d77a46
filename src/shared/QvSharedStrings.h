#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "values/Variant.h"

namespace qv {

// Text conversion and the two reversible text encodings of recordset files.
// Decode(Encode(x)) == x for every UTF-8 text x; both encodings give plain ASCII.
class QvSharedStrings {
 public:
  // Any scalar value as text (Variant::ToText); empty and null give "". Throws
  // core::Error 13 for arrays and objects.
  static std::string ToText(const ado::Variant& value);

  // Encoding 1: percent-encoding of the UTF-8 bytes, keeping A-Z a-z 0-9 - . _ ~;
  // other bytes become "%" and two upper-case hex digits.
  static std::string Encode1(std::string_view text);
  // Accepts upper- and lower-case hex digits. Throws core::Error 5 for a "%" not
  // followed by two hex digits, and for a result that is not UTF-8.
  static std::string Decode1(std::string_view text);

  // Encoding 6: Base64 (RFC 4648 alphabet, with padding) of the UTF-8 bytes. The flag
  // is accepted for the callers' sake and ignored.
  static std::string Encode6(std::string_view text, int32_t flag = 0);
  // Strict: the length must be a multiple of 4, padding only at the end, no blanks, no
  // stray bits in the last group, and the bytes must be UTF-8; else throws core::Error 5.
  static std::string Decode6(std::string_view text, int32_t flag = 0);
};

}  // namespace qv

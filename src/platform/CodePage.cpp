#include "platform/CodePage.h"

#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cerrno>
#include <string>

#include "core/Error.h"
#include "core/Text.h"

namespace qv::platform {

namespace {

constexpr const char* kIconvWindows1252 = "CP1252";
constexpr const char* kReplacementUtf8 = "\xEF\xBF\xBD";  // U+FFFD

// Windows maps the bytes Windows-1252 leaves unassigned to the C1 controls of the same
// value; iconv refuses them both ways.
bool IsUnassigned1252(uint32_t code) {
  return code == 0x81 || code == 0x8D || code == 0x8F || code == 0x90 || code == 0x9D;
}

void AppendUtf8(std::string& out, UChar32 c) {
  char buffer[4];
  int32_t n = 0;
  UBool error = false;
  // A negative c becomes a value above U+10FFFF, which the macro refuses.
  U8_APPEND(reinterpret_cast<uint8_t*>(buffer), n, 4, static_cast<uint32_t>(c), error);
  if (error) {
    out.append(kReplacementUtf8);
  } else {
    out.append(buffer, static_cast<size_t>(n));
  }
}

// Well-formed UTF-8 with every invalid sequence replaced by U+FFFD.
std::string SanitizeUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  std::string out;
  out.reserve(text.size());
  int32_t i = 0;
  while (i < length) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) {
      out.append(kReplacementUtf8);
    } else {
      out.append(text.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)));
    }
  }
  return out;
}

std::string Utf8ToUtf16Le(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  std::string out;
  out.reserve(text.size() * 2);
  auto put_unit = [&out](uint16_t unit) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  };
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) c = 0xFFFD;
    if (c > 0xFFFF) {
      put_unit(static_cast<uint16_t>(U16_LEAD(c)));
      put_unit(static_cast<uint16_t>(U16_TRAIL(c)));
    } else {
      put_unit(static_cast<uint16_t>(c));
    }
  }
  return out;
}

std::string Utf16LeToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t units = bytes.size() / 2;
  auto unit_at = [&bytes](size_t index) {
    return static_cast<uint16_t>(static_cast<uint8_t>(bytes[2 * index]) |
                                 (static_cast<uint8_t>(bytes[2 * index + 1]) << 8));
  };
  for (size_t i = 0; i < units; ++i) {
    uint16_t unit = unit_at(i);
    if (U16_IS_LEAD(unit) && i + 1 < units && U16_IS_TRAIL(unit_at(i + 1))) {
      AppendUtf8(out, U16_GET_SUPPLEMENTARY(unit, unit_at(i + 1)));
      ++i;
    } else if (U16_IS_SURROGATE(unit)) {
      out.append(kReplacementUtf8);
    } else {
      AppendUtf8(out, unit);
    }
  }
  if (bytes.size() % 2 != 0) out.append(kReplacementUtf8);
  return out;
}

// UTF-8 text as Windows-1252 into `out`, the unassigned bytes mapped back from their C1
// controls. A character the code page lacks, or a byte that is not UTF-8, becomes
// kDefaultChar; with `strict` it ends the conversion and the result is false.
bool Utf8To1252(IconvHandle& from_utf8, std::string_view utf8, bool strict, std::string& out) {
  // Each UTF-8 character yields at most one byte, so the output never outgrows the input.
  out.assign(utf8.size(), '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t in_left = utf8.size();
  char* out_ptr = out.data();
  size_t out_left = out.size();
  from_utf8.Reset();
  while (in_left > 0) {
    if (from_utf8.Convert(&in, &in_left, &out_ptr, &out_left) != static_cast<size_t>(-1)) break;
    // EILSEQ or EINVAL: the character at `in` has no code here or is not UTF-8.
    const auto* bytes = reinterpret_cast<const uint8_t*>(in);
    const auto length = static_cast<int32_t>(in_left);
    int32_t consumed = 0;
    UChar32 c;
    U8_NEXT(bytes, consumed, length, c);
    const bool unassigned = c >= 0 && IsUnassigned1252(static_cast<uint32_t>(c));
    if (strict && !unassigned) return false;
    *out_ptr++ = unassigned ? static_cast<char>(c) : kDefaultChar;
    --out_left;
    in += consumed;
    in_left -= static_cast<size_t>(consumed);
  }
  out.resize(out.size() - out_left);
  return true;
}

}  // namespace

CodePage::CodePage(uint32_t code_page)
    : number_(code_page == kCodePageAnsi ? kCodePageWindows1252 : code_page) {
  switch (number_) {
    case kCodePageWindows1252:
      to_utf8_ = IconvHandle("UTF-8", kIconvWindows1252);
      from_utf8_ = IconvHandle(kIconvWindows1252, "UTF-8");
      break;
    case kCodePageUtf8:
    case kCodePageUtf16Le:
      break;
    default:
      throw core::Error(core::kErrInvalidProcedureCall, "CodePage",
                        "Unsupported code page " + std::to_string(code_page));
  }
}

std::string CodePage::FromUtf8(std::string_view utf8) {
  if (number_ == kCodePageUtf8) return SanitizeUtf8(utf8);
  if (number_ == kCodePageUtf16Le) return Utf8ToUtf16Le(utf8);

  std::string out;
  Utf8To1252(from_utf8_, utf8, false, out);
  return out;
}

std::string CodePage::ToUtf8(std::string_view bytes) {
  if (number_ == kCodePageUtf8) return SanitizeUtf8(bytes);
  if (number_ == kCodePageUtf16Le) return Utf16LeToUtf8(bytes);

  // A Windows-1252 byte never needs more than three UTF-8 bytes.
  std::string out(bytes.size() * 3, '\0');
  char* in = const_cast<char*>(bytes.data());
  size_t in_left = bytes.size();
  char* out_ptr = out.data();
  size_t out_left = out.size();
  to_utf8_.Reset();
  while (in_left > 0) {
    if (to_utf8_.Convert(&in, &in_left, &out_ptr, &out_left) != static_cast<size_t>(-1)) break;
    auto code = static_cast<uint8_t>(*in);
    std::string piece;
    AppendUtf8(piece, IsUnassigned1252(code) ? static_cast<UChar32>(code) : 0xFFFD);
    for (char ch : piece) *out_ptr++ = ch;
    out_left -= piece.size();
    ++in;
    --in_left;
  }
  out.resize(out.size() - out_left);
  return out;
}

bool CodePage::CanRepresent(std::string_view utf8) {
  if (number_ != kCodePageWindows1252) return core::IsValidUtf8(utf8);
  std::string out;
  return Utf8To1252(from_utf8_, utf8, true, out);
}

std::string Utf8ToCodePage(std::string_view utf8, uint32_t code_page) {
  return CodePage(code_page).FromUtf8(utf8);
}

std::string CodePageToUtf8(std::string_view bytes, uint32_t code_page) {
  return CodePage(code_page).ToUtf8(bytes);
}

std::string DecodeTextFileBytes(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return SanitizeUtf8(bytes.substr(3));
  if (bytes.substr(0, 2) == "\xFF\xFE") return Utf16LeToUtf8(bytes.substr(2));
  if (!core::IsValidUtf8(bytes)) return CodePage(kCodePageWindows1252).ToUtf8(bytes);
  return std::string(bytes);
}

}  // namespace qv::platform

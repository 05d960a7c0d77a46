#include "shared/QvSharedStrings.h"

#include <array>

#include "core/Error.h"
#include "core/Text.h"

namespace qv {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

[[noreturn]] void Malformed(const char* what) {
  throw core::Error(core::kErrInvalidProcedureCall, "QvSharedStrings", what);
}

std::string RequireUtf8(std::string bytes, const char* what) {
  if (!core::IsValidUtf8(bytes)) Malformed(what);
  return bytes;
}

// Reverse lookup of the Base64 alphabet; -1 for characters outside it.
const std::array<int8_t, 256>& Base64Values() {
  static const std::array<int8_t, 256> table = [] {
    std::array<int8_t, 256> t{};
    t.fill(-1);
    for (int i = 0; i < 64; ++i)
      t[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<int8_t>(i);
    return t;
  }();
  return table;
}

}  // namespace

std::string QvSharedStrings::ToText(const ado::Variant& value) { return value.ToText(); }

std::string QvSharedStrings::Encode1(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (IsUnreserved(c)) {
      out += ch;
    } else {
      out += '%';
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0x0F];
    }
  }
  return out;
}

std::string QvSharedStrings::Decode1(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) Malformed("Truncated percent escape");
    const int high = core::HexDigitValue(text[i + 1]);
    const int low = core::HexDigitValue(text[i + 2]);
    if (high < 0 || low < 0) Malformed("Invalid percent escape");
    out += static_cast<char>((high << 4) | low);
    i += 2;
  }
  return RequireUtf8(std::move(out), "Percent-decoded text is not UTF-8");
}

std::string QvSharedStrings::Encode6(std::string_view text, int32_t /*flag*/) {
  std::string out;
  out.reserve((text.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= text.size(); i += 3) {
    const uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(text[i])) << 16 |
                           static_cast<uint32_t>(static_cast<unsigned char>(text[i + 1])) << 8 |
                           static_cast<unsigned char>(text[i + 2]);
    out += kBase64Alphabet[(group >> 18) & 0x3F];
    out += kBase64Alphabet[(group >> 12) & 0x3F];
    out += kBase64Alphabet[(group >> 6) & 0x3F];
    out += kBase64Alphabet[group & 0x3F];
  }
  const size_t rest = text.size() - i;
  if (rest > 0) {
    uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(text[i])) << 16;
    if (rest == 2) group |= static_cast<uint32_t>(static_cast<unsigned char>(text[i + 1])) << 8;
    out += kBase64Alphabet[(group >> 18) & 0x3F];
    out += kBase64Alphabet[(group >> 12) & 0x3F];
    out += rest == 2 ? kBase64Alphabet[(group >> 6) & 0x3F] : '=';
    out += '=';
  }
  return out;
}

std::string QvSharedStrings::Decode6(std::string_view text, int32_t /*flag*/) {
  if (text.size() % 4 != 0) Malformed("Base64 text length is not a multiple of 4");
  const auto& values = Base64Values();
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int v[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + static_cast<size_t>(k)];
      if (c == '=' && last && k >= 2) {
        v[k] = 0;
        ++padding;
        continue;
      }
      // A data character after padding, or padding anywhere else, is malformed.
      if (padding > 0) Malformed("Invalid Base64 padding");
      // NOLINTNEXTLINE(bugprone-signed-char-misuse): -1 marks a byte that is not Base64.
      v[k] = values[static_cast<unsigned char>(c)];
      if (v[k] < 0) Malformed("Invalid Base64 character");
    }
    const uint32_t group = static_cast<uint32_t>(v[0]) << 18 | static_cast<uint32_t>(v[1]) << 12 |
                           static_cast<uint32_t>(v[2]) << 6 | static_cast<uint32_t>(v[3]);
    // Bits that the padding drops must be zero, so each text has one encoding.
    if ((padding == 1 && (group & 0xFF) != 0) || (padding == 2 && (group & 0xFFFF) != 0)) {
      Malformed("Non-canonical Base64 padding");
    }
    out += static_cast<char>((group >> 16) & 0xFF);
    if (padding < 2) out += static_cast<char>((group >> 8) & 0xFF);
    if (padding < 1) out += static_cast<char>(group & 0xFF);
  }
  return RequireUtf8(std::move(out), "Base64-decoded text is not UTF-8");
}

}  // namespace qv

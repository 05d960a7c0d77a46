#include "xmlformat/XmlValueText.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "core/Error.h"
#include "core/Text.h"

namespace ado::xml {
namespace {

constexpr std::string_view kXmlSpace = " \t\r\n";

bool IsXmlSpace(char c) { return kXmlSpace.find(c) != std::string_view::npos; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Lays out the shortest scientific digits of a number ("d.ddde+XX" from to_chars) in VB's
// notation.
size_t LayOutScientific(const char* sci, size_t len, char* out) {
  size_t pos = 0;
  size_t i = 0;
  if (sci[0] == '-') {
    out[pos++] = '-';
    i = 1;
  }
  char digits[24] = {};
  size_t digit_count = 0;
  for (; i < len && sci[i] != 'e'; ++i) {
    if (IsDigit(sci[i])) digits[digit_count++] = sci[i];
  }
  int exponent = 0;
  std::from_chars(sci + i + 1 + (sci[i + 1] == '+' ? 1 : 0), sci + len, exponent);
  if (exponent >= -4 && exponent < 15) {
    if (exponent < 0) {
      out[pos++] = '0';
      out[pos++] = '.';
      for (int z = -1; z > exponent; --z) out[pos++] = '0';
      std::memcpy(out + pos, digits, digit_count);
      return pos + digit_count;
    }
    size_t int_digits = static_cast<size_t>(exponent) + 1;
    for (size_t d = 0; d < int_digits; ++d) out[pos++] = d < digit_count ? digits[d] : '0';
    if (digit_count > int_digits) {
      out[pos++] = '.';
      std::memcpy(out + pos, digits + int_digits, digit_count - int_digits);
      pos += digit_count - int_digits;
    }
    return pos;
  }
  out[pos++] = digits[0];
  if (digit_count > 1) {
    out[pos++] = '.';
    std::memcpy(out + pos, digits + 1, digit_count - 1);
    pos += digit_count - 1;
  }
  out[pos++] = 'E';
  out[pos++] = exponent < 0 ? '-' : '+';
  int magnitude = exponent < 0 ? -exponent : exponent;
  if (magnitude < 10) out[pos++] = '0';
  auto result = std::to_chars(out + pos, out + kValueBufferSize, magnitude);
  return static_cast<size_t>(result.ptr - out);
}

template <typename T>
size_t FormatFloating(T value, char* out) {
  if (std::isnan(value)) {
    std::memcpy(out, "NaN", 3);
    return 3;
  }
  if (std::isinf(value)) {
    if (value < 0) {
      std::memcpy(out, "-INF", 4);
      return 4;
    }
    std::memcpy(out, "INF", 3);
    return 3;
  }
  if (value == 0) {
    if (!std::signbit(value)) {
      out[0] = '0';
      return 1;
    }
    std::memcpy(out, "-0", 2);
    return 2;
  }
  char sci[40];
  auto result = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  return LayOutScientific(sci, static_cast<size_t>(result.ptr - sci), out);
}

size_t TwoDigits(int value, char* out) {
  out[0] = static_cast<char>('0' + value / 10 % 10);
  out[1] = static_cast<char>('0' + value % 10);
  return 2;
}

// Length of the well-formed UTF-8 sequence at text[i], 0 when it is not one.
size_t Utf8SequenceLength(std::string_view text, size_t i, uint32_t& code_point) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  const size_t len = core::Utf8SequenceLength(lead);
  if (len == 1 || i + len > text.size()) return 0;
  // Overlong forms, surrogates and leads past U+10FFFF fail the range test below.
  uint32_t cp = lead & (0x7Fu >> len);
  const uint32_t min = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
  for (size_t k = 1; k < len; ++k) {
    unsigned char c = byte(i + k);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  code_point = cp;
  return len;
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Bytes copied into an attribute value as they are: printable ASCII but the markup
// characters.
constexpr auto kPlainByte = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c) {
    plain[static_cast<size_t>(c)] = c != '&' && c != '<' && c != '>' && c != '\'' && c != '"';
  }
  return plain;
}();

std::optional<int> FixedDigits(std::string_view text, size_t pos, size_t count) {
  if (pos + count > text.size()) return std::nullopt;
  int value = 0;
  for (size_t i = 0; i < count; ++i) {
    if (!IsDigit(text[pos + i])) return std::nullopt;
    value = value * 10 + (text[pos + i] - '0');
  }
  return value;
}

// hh:mm[:ss[.f...]] at text[pos]; advances pos.
bool ParseTimeOfDay(std::string_view text, size_t& pos, Date::Parts& parts) {
  auto hour = FixedDigits(text, pos, 2);
  if (!hour || pos + 2 >= text.size() || text[pos + 2] != ':') return false;
  auto minute = FixedDigits(text, pos + 3, 2);
  if (!minute) return false;
  pos += 5;
  int second = 0;
  int32_t nanos = 0;
  if (pos < text.size() && text[pos] == ':') {
    auto sec = FixedDigits(text, pos + 1, 2);
    if (!sec) return false;
    second = *sec;
    pos += 3;
    if (pos < text.size() && text[pos] == '.') {
      ++pos;
      size_t start = pos;
      int32_t scale = 100000000;
      while (pos < text.size() && IsDigit(text[pos])) {
        nanos += (text[pos] - '0') * scale;
        scale /= 10;
        ++pos;
      }
      if (pos == start) return false;
    }
  }
  if (*hour > 23 || *minute > 59 || second > 59) return false;
  parts.hour = *hour;
  parts.minute = *minute;
  parts.second = second;
  parts.nanosecond = nanos;
  return true;
}

// Z, +hh[:mm] or -hh[:mm] at text[pos], or nothing.
bool SkipZone(std::string_view text, size_t& pos) {
  if (pos == text.size()) return true;
  if (text[pos] == 'Z' || text[pos] == 'z') {
    ++pos;
    return true;
  }
  if (text[pos] != '+' && text[pos] != '-') return false;
  if (!FixedDigits(text, pos + 1, 2)) return false;
  pos += 3;
  if (pos < text.size() && text[pos] == ':') {
    if (!FixedDigits(text, pos + 1, 2)) return false;
    pos += 3;
  } else if (FixedDigits(text, pos, 2)) {
    pos += 2;
  }
  return true;
}

}  // namespace

size_t FormatInteger(int64_t value, char* out) {
  return static_cast<size_t>(std::to_chars(out, out + kValueBufferSize, value).ptr - out);
}

size_t FormatUnsigned(uint64_t value, char* out) {
  return static_cast<size_t>(std::to_chars(out, out + kValueBufferSize, value).ptr - out);
}

size_t FormatDouble(double value, char* out) { return FormatFloating(value, out); }
size_t FormatSingle(float value, char* out) { return FormatFloating(value, out); }

size_t FormatDecimal(Int128 coefficient, int scale, char* out) {
  if (coefficient == 0) {
    out[0] = '0';
    return 1;
  }
  bool negative = coefficient < 0;
  // Digits from the right, as an unsigned magnitude so the minimum value works too.
  __extension__ using UInt128 = unsigned __int128;
  UInt128 magnitude =
      negative ? UInt128(0) - static_cast<UInt128>(coefficient) : static_cast<UInt128>(coefficient);
  char digits[48];
  size_t count = 0;
  if (magnitude <= std::numeric_limits<uint64_t>::max()) {
    // 64-bit division is much cheaper than 128-bit, and covers currency and most decimals.
    uint64_t small = static_cast<uint64_t>(magnitude);
    do {
      digits[count++] = static_cast<char>('0' + small % 10);
      small /= 10;
    } while (small != 0);
  } else {
    do {
      digits[count++] = static_cast<char>('0' + static_cast<int>(magnitude % 10));
      magnitude /= 10;
    } while (magnitude != 0);
  }
  // digits[] holds the reversed digits; drop trailing zeros of the fraction.
  size_t frac = static_cast<size_t>(scale);
  size_t skip = 0;
  while (skip < frac && skip < count && digits[skip] == '0') ++skip;
  frac -= skip;
  size_t pos = 0;
  if (negative) out[pos++] = '-';
  size_t significant = count - skip;  // digits left, the reversed range [skip, count)
  if (significant <= frac) {
    out[pos++] = '0';
    if (frac > 0) {
      out[pos++] = '.';
      for (size_t z = significant; z < frac; ++z) out[pos++] = '0';
      for (size_t k = count; k > skip; --k) out[pos++] = digits[k - 1];
    }
    return pos;
  }
  for (size_t k = count; k > skip; --k) {
    if (k - skip == frac) out[pos++] = '.';
    out[pos++] = digits[k - 1];
  }
  return pos;
}

size_t FormatCurrency(int64_t scaled, char* out) { return FormatDecimal(scaled, 4, out); }

size_t FormatHex(std::span<const uint8_t> bytes, char* out) {
  char* next = out;
  for (uint8_t byte : bytes) {
    *next++ = kHexDigits[byte >> 4];
    *next++ = kHexDigits[byte & 0xF];
  }
  return static_cast<size_t>(next - out);
}

size_t FormatDateParts(const Date::Parts& parts, ValueKind kind, char* out) {
  size_t pos = 0;
  if (kind != ValueKind::kTime) {
    pos += TwoDigits(parts.year / 100, out + pos);
    pos += TwoDigits(parts.year % 100, out + pos);
    out[pos++] = '-';
    pos += TwoDigits(parts.month, out + pos);
    out[pos++] = '-';
    pos += TwoDigits(parts.day, out + pos);
    if (kind == ValueKind::kDate) return pos;
    out[pos++] = 'T';
  }
  pos += TwoDigits(parts.hour, out + pos);
  out[pos++] = ':';
  pos += TwoDigits(parts.minute, out + pos);
  out[pos++] = ':';
  pos += TwoDigits(parts.second, out + pos);
  if (kind == ValueKind::kDateTime && parts.nanosecond > 0) {
    char frac[9];
    int32_t rest = parts.nanosecond;
    for (int i = 8; i >= 0; --i) {
      frac[i] = static_cast<char>('0' + rest % 10);
      rest /= 10;
    }
    size_t len = 9;
    while (len > 0 && frac[len - 1] == '0') --len;
    out[pos++] = '.';
    std::memcpy(out + pos, frac, len);
    pos += len;
  }
  return pos;
}

size_t FormatDate(const Date& value, ValueKind kind, char* out) {
  const ValueKind form =
      kind == ValueKind::kDate || kind == ValueKind::kTime ? kind : ValueKind::kDateTime;
  return FormatDateParts(value.ToParts(), form, out);
}

std::optional<std::string> NormalizeGuid(std::string_view text) {
  text = core::Trim(text, kXmlSpace);
  if (text.size() >= 2 && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, text.size() - 2);
  }
  char hex[32] = {};
  size_t count = 0;
  if (text.size() == 36) {
    for (size_t i = 0; i < 36; ++i) {
      bool dash_place = i == 8 || i == 13 || i == 18 || i == 23;
      if (dash_place) {
        if (text[i] != '-') return std::nullopt;
      } else {
        if (core::HexDigitValue(text[i]) < 0) return std::nullopt;
        hex[count++] = text[i];
      }
    }
  } else if (text.size() == 32) {
    for (char c : text) {
      if (core::HexDigitValue(c) < 0) return std::nullopt;
      hex[count++] = c;
    }
  } else {
    return std::nullopt;
  }
  std::string result;
  result.reserve(38);
  result += '{';
  for (size_t i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) result += '-';
    char c = hex[i];
    result += (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  result += '}';
  return result;
}

XmlChar XmlCharAt(std::string_view text, size_t i) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  if (c < 0x80) return {1, c >= 0x20 || c == '\t' || c == '\n' || c == '\r'};
  uint32_t code_point = 0;
  const size_t len = Utf8SequenceLength(text, i, code_point);
  if (len == 0) return {1, false};
  return {len, code_point != 0xFFFE && code_point != 0xFFFF};
}

size_t EscapeInto(char* out, std::string_view text, size_t& not_units) {
  char* const begin = out;
  size_t run = 0;  // start of the pending run of bytes copied as they are
  size_t i = 0;
  auto flush = [&](size_t end) {
    std::memcpy(out, text.data() + run, end - run);
    out += end - run;
  };
  auto put = [&](std::string_view piece) {
    std::memcpy(out, piece.data(), piece.size());
    out += piece.size();
  };
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (kPlainByte[c]) {
      ++i;
      continue;
    }
    std::string_view escaped;
    switch (c) {
      case '&':
        escaped = "&amp;";
        break;
      case '<':
        escaped = "&lt;";
        break;
      case '>':
        escaped = "&gt;";
        break;
      case '\'':
        escaped = "&apos;";
        break;
      case '"':
        escaped = "&quot;";
        break;
      case '\t':
        escaped = "&#x9;";
        break;
      case '\n':
        escaped = "&#xA;";
        break;
      case '\r':
        escaped = "&#xD;";
        break;
      default:
        break;
    }
    if (!escaped.empty()) {
      flush(i);
      put(escaped);
      run = ++i;
      continue;
    }
    const XmlChar ch = XmlCharAt(text, i);
    if (ch.allowed) {
      // A character beyond the BMP is two UTF-16 units in four bytes.
      not_units += ch.length == 4 ? 2 : ch.length - 1;
      i += ch.length;
      continue;
    }
    flush(i);
    put(kReplacement);
    not_units += 2;
    i += ch.length;
    run = i;
  }
  flush(i);
  return static_cast<size_t>(out - begin);
}

namespace {

// A whole number in [low, end) as a double is exactly a T.
template <typename T>
std::optional<T> ParseWhole(std::string_view text, double low, double end) {
  text = core::Trim(text, kXmlSpace);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  T value = 0;
  auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec == std::errc() && result.ptr == text.data() + text.size() && !text.empty()) {
    return value;
  }
  // Lenient: "5.0" or "1E3" from other writers, when the value is whole and in range.
  auto as_double = ParseDouble(text);
  if (!as_double || std::trunc(*as_double) != *as_double || *as_double < low || *as_double >= end) {
    return std::nullopt;
  }
  return static_cast<T>(*as_double);
}

}  // namespace

std::optional<int64_t> ParseInteger(std::string_view text) {
  return ParseWhole<int64_t>(text, -0x1p63, 0x1p63);
}

std::optional<uint64_t> ParseUnsigned(std::string_view text) {
  return ParseWhole<uint64_t>(text, 0, 0x1p64);
}

std::optional<double> ParseDouble(std::string_view text) {
  text = core::Trim(text, kXmlSpace);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  double value = 0;
  auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ptr != text.data() + text.size()) return std::nullopt;
  if (result.ec == std::errc::result_out_of_range) {
    // Underflow reads as zero; overflow is not a value.
    bool exponent_negative =
        text.find("e-") != std::string_view::npos || text.find("E-") != std::string_view::npos;
    if (!exponent_negative) return std::nullopt;
    return text.front() == '-' ? -0.0 : 0.0;
  }
  if (result.ec != std::errc()) return std::nullopt;
  return value;
}

std::optional<float> ParseSingle(std::string_view text) {
  const std::string_view trimmed = core::Trim(text, kXmlSpace);
  std::string_view digits = trimmed;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  // Read as a float straight away: through a double, the text of the largest float would
  // lie beyond it, and others could round twice.
  float value = 0;
  auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (result.ptr != digits.data() + digits.size()) return std::nullopt;
  if (result.ec == std::errc()) return value;
  if (result.ec != std::errc::result_out_of_range) return std::nullopt;
  // Too small for a float reads as zero; too large is not a value.
  const std::optional<double> wide = ParseDouble(trimmed);
  if (!wide || !(std::fabs(*wide) < 1)) return std::nullopt;
  return std::signbit(*wide) ? -0.0F : 0.0F;
}

std::optional<bool> ParseBool(std::string_view text) {
  text = core::Trim(text, kXmlSpace);
  if (EqualsNoCase(text, "true") || text == "1" || text == "-1") return true;
  if (EqualsNoCase(text, "false") || text == "0") return false;
  return std::nullopt;
}

std::optional<Decimal> ParseDecimal(std::string_view text) {
  std::string_view t = core::Trim(text, kXmlSpace);
  // Fast path for the plain form every writer uses: [-]digits[.digits].
  bool negative = false;
  size_t i = 0;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
  Int128 coefficient = 0;
  int digits = 0;
  int scale = 0;
  bool any = false;
  bool point = false;
  for (; i < t.size(); ++i) {
    char c = t[i];
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    if (!IsDigit(c)) break;
    any = true;
    if (digits == 0 && c == '0') {
      if (point) ++scale;
      continue;
    }
    if (digits == Decimal::kMaxDigits) break;
    coefficient = coefficient * 10 + (c - '0');
    ++digits;
    if (point) ++scale;
  }
  if (any && i == t.size() && scale <= Decimal::kMaxDigits) {
    try {
      return Decimal(negative ? -coefficient : coefficient, scale);
    } catch (const core::Error&) {
      return std::nullopt;
    }
  }
  return Decimal::Parse(t);
}

std::optional<Currency> ParseCurrency(std::string_view text) {
  auto value = ParseDecimal(text);
  if (!value) return std::nullopt;
  try {
    return Currency::FromDecimal(*value);
  } catch (const core::Error&) {
    return std::nullopt;
  }
}

std::optional<Date::Parts> ParseDateParts(std::string_view text, ValueKind kind) {
  text = core::Trim(text, kXmlSpace);
  Date::Parts parts;
  size_t pos = 0;
  bool has_date = text.size() >= 10 && text[4] == '-' && text[7] == '-';
  if (has_date) {
    auto year = FixedDigits(text, 0, 4);
    auto month = FixedDigits(text, 5, 2);
    auto day = FixedDigits(text, 8, 2);
    if (!year || !month || !day || *month < 1 || *month > 12 || *day < 1 ||
        *day > DaysInMonth(*year, *month)) {
      return std::nullopt;
    }
    parts.year = *year;
    parts.month = *month;
    parts.day = *day;
    pos = 10;
    if (pos < text.size() && (text[pos] == 'T' || text[pos] == ' ')) {
      ++pos;
      if (!ParseTimeOfDay(text, pos, parts)) return std::nullopt;
    }
  } else {
    if (kind != ValueKind::kTime || !ParseTimeOfDay(text, pos, parts)) return std::nullopt;
  }
  if (!SkipZone(text, pos) || pos != text.size()) return std::nullopt;
  if (kind == ValueKind::kDate) {
    parts.hour = parts.minute = parts.second = 0;
    parts.nanosecond = 0;
  } else if (kind == ValueKind::kTime) {
    parts.year = 1899;
    parts.month = 12;
    parts.day = 30;
  }
  return parts;
}

bool ParseHex(std::string_view text, std::vector<uint8_t>& out) {
  out.clear();
  out.reserve(text.size() / 2);
  int high = -1;
  for (char c : text) {
    if (IsXmlSpace(c)) continue;
    int v = core::HexDigitValue(c);
    if (v < 0) return false;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  return high < 0;
}

bool ParseBase64(std::string_view text, std::vector<uint8_t>& out) {
  out.clear();
  uint32_t accumulator = 0;
  int bits = 0;
  int padding = 0;
  for (char c : text) {
    if (IsXmlSpace(c)) continue;
    int v;
    if (c >= 'A' && c <= 'Z') {
      v = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      v = c - 'a' + 26;
    } else if (IsDigit(c)) {
      v = c - '0' + 52;
    } else if (c == '+') {
      v = 62;
    } else if (c == '/') {
      v = 63;
    } else if (c == '=') {
      ++padding;
      continue;
    } else {
      return false;
    }
    if (padding > 0) return false;
    accumulator = (accumulator << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(accumulator >> bits));
      accumulator &= (1u << bits) - 1;
    }
  }
  return padding <= 2 && bits < 6;
}

}  // namespace ado::xml

#include "ValueText.h"

#include <cctype>
#include <charconv>

#include "core/Error.h"
#include "core/Text.h"
#include "xmlformat/XmlValueText.h"

namespace rsfile {
namespace {

// Reads exactly `width` digits at `pos` and moves past them.
bool ReadDigits(std::string_view text, size_t& pos, size_t width, int& value) {
  if (pos + width > text.size()) return false;
  value = 0;
  for (size_t i = 0; i < width; ++i) {
    char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  pos += width;
  return true;
}

bool Expect(std::string_view text, size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

// hh:mm:ss[.fraction] up to the end of the text.
bool ReadTime(std::string_view text, size_t& pos, ado::Date::Parts& parts) {
  if (!ReadDigits(text, pos, 2, parts.hour) || !Expect(text, pos, ':') ||
      !ReadDigits(text, pos, 2, parts.minute) || !Expect(text, pos, ':') ||
      !ReadDigits(text, pos, 2, parts.second)) {
    return false;
  }
  if (parts.hour > 23 || parts.minute > 59 || parts.second > 59) return false;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    size_t digits = 0;
    int32_t nanoseconds = 0;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
      if (++digits > 9) return false;
      nanoseconds = nanoseconds * 10 + (text[pos] - '0');
      ++pos;
    }
    if (digits == 0) return false;
    for (size_t i = digits; i < 9; ++i) nanoseconds *= 10;
    parts.nanosecond = nanoseconds;
  }
  return pos == text.size();
}

template <typename Floating>
std::string ShortestText(Floating value) {
  char text[64];
  auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

}  // namespace

std::string DateText(ado::Date date, char separator) {
  char text[ado::xml::kValueBufferSize];
  const size_t length =
      ado::xml::FormatDateParts(date.ToParts(), ado::xml::ValueKind::kDateTime, text);
  text[10] = separator;  // after yyyy-mm-dd
  return std::string(text, length);
}

std::optional<ado::Date> ParseDateText(std::string_view text) {
  ado::Date::Parts parts;
  size_t pos = 0;
  if (text.size() >= 3 && text[2] == ':') {
    if (!ReadTime(text, pos, parts)) return std::nullopt;
  } else {
    if (!ReadDigits(text, pos, 4, parts.year) || !Expect(text, pos, '-') ||
        !ReadDigits(text, pos, 2, parts.month) || !Expect(text, pos, '-') ||
        !ReadDigits(text, pos, 2, parts.day)) {
      return std::nullopt;
    }
    if (parts.month < 1 || parts.month > 12 || parts.day < 1 ||
        parts.day > ado::DaysInMonth(parts.year, parts.month)) {
      return std::nullopt;
    }
    if (pos < text.size()) {
      if (text[pos] != 'T' && text[pos] != ' ') return std::nullopt;
      ++pos;
      if (!ReadTime(text, pos, parts)) return std::nullopt;
    }
  }
  try {
    return ado::Date::FromParts(parts);
  } catch (const core::Error&) {
    return std::nullopt;  // outside the years 100 to 9999
  }
}

std::string HexText(std::span<const uint8_t> bytes) {
  std::string text(bytes.size() * 2, '\0');
  ado::xml::FormatHex(bytes, text.data());
  return text;
}

std::optional<ado::Bytes> ParseHexText(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  ado::Bytes bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    int high = core::HexDigitValue(text[i]);
    int low = core::HexDigitValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return bytes;
}

std::string DoubleText(double value) { return ShortestText(value); }

std::string SingleText(float value) { return ShortestText(value); }

std::optional<std::string> NormalizeGuid(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return std::nullopt;
  std::string guid = "{";
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return std::nullopt;
    } else if (core::HexDigitValue(c) < 0) {
      return std::nullopt;
    }
    guid += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  guid += '}';
  return guid;
}

}  // namespace rsfile

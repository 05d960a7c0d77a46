#include "db/postgres/PostgresText.h"

#include <charconv>
#include <string>

namespace ado::postgres {

namespace {

// Reads an unsigned number of at least one digit at `at`; moves `at` past it.
bool Number(std::string_view text, size_t& at, int32_t& value) {
  const char* begin = text.data() + at;
  const auto [end, error] = std::from_chars(begin, text.data() + text.size(), value);
  if (error != std::errc() || end == begin || *begin == '-') return false;
  at += static_cast<size_t>(end - begin);
  return true;
}

bool Expect(std::string_view text, size_t& at, char c) {
  if (at >= text.size() || text[at] != c) return false;
  ++at;
  return true;
}

bool IsDigit(std::string_view text, size_t at) {
  return at < text.size() && text[at] >= '0' && text[at] <= '9';
}

bool IsAt(std::string_view text, size_t at, char c) { return at < text.size() && text[at] == c; }

// The `count` digits at `at` as a number when no digit follows them: a field of the
// server's own layout, read as Number would read it.
bool Digits(std::string_view text, size_t at, size_t count, int32_t& value) {
  int32_t number = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (!IsDigit(text, i)) return false;
    number = number * 10 + (text[i] - '0');
  }
  value = number;
  return !IsDigit(text, at + count);
}

bool ReadDate(std::string_view text, size_t& at, Date::Parts& parts) {
  // yyyy-mm-dd, as the server writes every year from 1000 on, first.
  if (Digits(text, at, 4, parts.year) && IsAt(text, at + 4, '-') &&
      Digits(text, at + 5, 2, parts.month) && IsAt(text, at + 7, '-') &&
      Digits(text, at + 8, 2, parts.day)) {
    at += 10;
    return true;
  }
  return Number(text, at, parts.year) && Expect(text, at, '-') && Number(text, at, parts.month) &&
         Expect(text, at, '-') && Number(text, at, parts.day);
}

// hh:mm:ss and a fraction of up to nine digits, in nanoseconds.
bool ReadTime(std::string_view text, size_t& at, Date::Parts& parts) {
  if (Digits(text, at, 2, parts.hour) && IsAt(text, at + 2, ':') &&
      Digits(text, at + 3, 2, parts.minute) && IsAt(text, at + 5, ':') &&
      Digits(text, at + 6, 2, parts.second)) {
    at += 8;
  } else if (!Number(text, at, parts.hour) || !Expect(text, at, ':') ||
             !Number(text, at, parts.minute) || !Expect(text, at, ':') ||
             !Number(text, at, parts.second)) {
    return false;
  }
  if (at < text.size() && text[at] == '.') {
    ++at;
    int32_t fraction = 0;
    int digits = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
      if (digits++ < 9) fraction = fraction * 10 + (text[at] - '0');
    }
    for (; digits < 9; ++digits) fraction *= 10;
    parts.nanosecond = fraction;
  }
  return true;
}

// What follows a date or time: a zone, left aside, and " BC" (the year counts back).
bool ReadSuffix(std::string_view text, size_t at, Date::Parts& parts) {
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    ++at;
    while (at < text.size() && ((text[at] >= '0' && text[at] <= '9') || text[at] == ':')) ++at;
  }
  const std::string_view rest = text.substr(at);
  if (rest == " BC") {
    parts.year = -parts.year;
    return true;
  }
  return rest.empty();
}

std::optional<Date::Parts> Infinity(std::string_view text, bool with_time) {
  Date::Parts parts;
  if (text == "infinity") {
    parts.year = 9999, parts.month = 12, parts.day = 31;
    if (with_time) parts.hour = 23, parts.minute = 59, parts.second = 59;
    return parts;
  }
  if (text == "-infinity") {
    parts.year = -9999, parts.month = 1, parts.day = 1;
    return parts;
  }
  return std::nullopt;
}

}  // namespace

std::optional<Date::Parts> TimestampParts(std::string_view text) {
  if (!text.empty() && (text[0] == 'i' || text[0] == '-')) return Infinity(text, true);
  Date::Parts parts;
  size_t at = 0;
  if (!ReadDate(text, at, parts) || !Expect(text, at, ' ') || !ReadTime(text, at, parts) ||
      !ReadSuffix(text, at, parts)) {
    return std::nullopt;
  }
  return parts;
}

std::optional<Date::Parts> DateParts(std::string_view text) {
  if (!text.empty() && (text[0] == 'i' || text[0] == '-')) return Infinity(text, false);
  Date::Parts parts;
  size_t at = 0;
  if (!ReadDate(text, at, parts) || !ReadSuffix(text, at, parts)) return std::nullopt;
  return parts;
}

std::optional<Date::Parts> TimeParts(std::string_view text) {
  Date::Parts parts;
  size_t at = 0;
  if (!ReadTime(text, at, parts) || at != text.size()) return std::nullopt;
  parts.nanosecond = 0;
  return parts;
}

std::optional<double> MoneyValue(std::string_view text) {
  std::string number;
  bool negative = false;
  for (char c : text) {
    if ((c >= '0' && c <= '9') || c == '.') {
      number += c;
    } else if (c == '-' || c == '(') {
      negative = true;
    }
  }
  double value = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error != std::errc() || end != number.data() + number.size()) return std::nullopt;
  return negative ? -value : value;
}

}  // namespace ado::postgres

#include "xmlformat/FileValues.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "xmlformat/XmlFormat.h"
#include "xmlformat/XmlValueText.h"

namespace ado {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool PlainAscii(char c) { return c >= 0x20 && static_cast<unsigned char>(c) < 0x80; }

}  // namespace

namespace {

// The length of the start of `text` that XML 1.0 can hold as it is.
size_t FileTextPrefix(std::string_view text) {
  size_t i = 0;
  // Eight bytes at a time while they are all plain ASCII: no high bit, none below 0x20.
  constexpr uint64_t kOnes = 0x0101010101010101;
  constexpr uint64_t kHighs = 0x8080808080808080;
  for (uint64_t word = 0; i + 8 <= text.size(); i += 8) {
    std::memcpy(&word, text.data() + i, 8);
    if (((word | ((word - kOnes * 0x20) & ~word)) & kHighs) != 0) break;
  }
  while (i < text.size()) {
    if (PlainAscii(text[i])) {
      ++i;
      continue;
    }
    const xml::XmlChar ch = xml::XmlCharAt(text, i);
    if (!ch.allowed) break;
    i += ch.length;
  }
  return i;
}

}  // namespace

bool IsFileText(std::string_view text) { return FileTextPrefix(text) == text.size(); }

size_t SanitizeFileText(std::string& text) {
  size_t i = FileTextPrefix(text);
  if (i == text.size()) return 0;

  std::string out(text, 0, i);
  out.reserve(text.size() + 8);
  size_t replaced = 0;
  while (i < text.size()) {
    const xml::XmlChar ch = xml::XmlCharAt(text, i);
    if (ch.allowed) {
      out.append(text, i, ch.length);
    } else {
      out += kReplacement;
      ++replaced;
    }
    i += ch.length;
  }
  text = std::move(out);
  return replaced;
}

Date FileDate(const Date& value, int32_t ado_type) {
  xml::ValueKind kind = xml::LayoutOf(ado_type).kind;
  if (kind != xml::ValueKind::kDate && kind != xml::ValueKind::kTime) {
    kind = xml::ValueKind::kDateTime;
  }
  // Through the writer's and the reader's own text forms, so the two cannot disagree.
  char text[xml::kValueBufferSize];
  const size_t length = xml::FormatDate(value, kind, text);
  const auto parts = xml::ParseDateParts(std::string_view(text, length), kind);
  return parts ? Date::FromParts(*parts) : value;
}

std::string FileTextWarning(const std::string& column, int64_t first_row, int64_t count) {
  return "Column '" + column + "', row " + std::to_string(first_row) + ": " +
         std::to_string(count) +
         " value(s) held characters that a recordset file cannot hold (such as NUL or other "
         "control characters); they are kept as U+FFFD";
}

}  // namespace ado

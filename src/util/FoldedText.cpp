#include "util/FoldedText.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>

namespace qv {

namespace {

void AppendFoldedCodePoint(std::string_view raw, UChar32 c, std::string& out) {
  if (c >= 0 && c < 0x80) {
    char ch = static_cast<char>(c);
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    out.push_back(ch);
    return;
  }
  if (c < 0) {
    out.append(raw);
    return;
  }
  UChar source[2];
  int32_t source_length = 0;
  U16_APPEND_UNSAFE(source, source_length, c);
  UChar folded[8];
  UErrorCode status = U_ZERO_ERROR;
  int32_t folded_length =
      u_strFoldCase(folded, 8, source, source_length, U_FOLD_CASE_DEFAULT, &status);
  if (U_FAILURE(status)) {
    out.append(raw);
    return;
  }
  // At most 3 bytes per UTF-16 unit.
  char buffer[3 * 8];
  int32_t n = 0;
  u_strToUTF8(buffer, sizeof buffer, &n, folded, folded_length, &status);
  if (U_FAILURE(status)) {
    out.append(raw);
    return;
  }
  out.append(buffer, static_cast<size_t>(n));
}

}  // namespace

FoldedText::FoldedText(std::string_view text) : text_(text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  starts_.reserve(text.size() + 1);
  folded_starts_.reserve(text.size() + 1);
  folded_.reserve(text.size());
  int32_t i = 0;
  while (i < length) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    starts_.push_back(static_cast<size_t>(start));
    folded_starts_.push_back(folded_.size());
    AppendFoldedCodePoint(text.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)),
                          c, folded_);
  }
  starts_.push_back(text.size());
  folded_starts_.push_back(folded_.size());
}

std::string_view FoldedText::Slice(size_t first, size_t count) const {
  size_t length = Length();
  if (first >= length) return {};
  size_t last = count > length - first ? length : first + count;
  return text_.substr(starts_[first], starts_[last] - starts_[first]);
}

size_t FoldedText::Find(const std::string& folded_needle, size_t from, size_t* match_length) const {
  if (folded_needle.empty()) return kNotFound;
  size_t length = Length();
  for (size_t cp = from; cp < length; ++cp) {
    size_t at = folded_starts_[cp];
    if (folded_.compare(at, folded_needle.size(), folded_needle) != 0) continue;
    size_t end = at + folded_needle.size();
    auto it = std::lower_bound(folded_starts_.begin() + static_cast<std::ptrdiff_t>(cp) + 1,
                               folded_starts_.end(), end);
    if (it == folded_starts_.end() || *it != end) continue;
    if (match_length != nullptr) {
      *match_length = static_cast<size_t>(it - folded_starts_.begin()) - cp;
    }
    return cp;
  }
  return kNotFound;
}

std::string FoldedText::Fold(std::string_view text) {
  FoldedText folded(text);
  return std::move(folded.folded_);
}

std::string ReplaceIgnoreCase(std::string_view text, std::string_view search,
                              std::string_view replacement) {
  if (search.empty() || text.empty()) return std::string(text);
  FoldedText haystack(text);
  std::string needle = FoldedText::Fold(search);
  std::string out;
  out.reserve(text.size());
  size_t position = 0;
  for (;;) {
    size_t match_length = 0;
    size_t found = haystack.Find(needle, position, &match_length);
    if (found == FoldedText::kNotFound) break;
    out.append(haystack.Slice(position, found - position));
    out.append(replacement);
    position = found + match_length;
  }
  out.append(haystack.Slice(position, haystack.Length() - position));
  return out;
}

std::string ReplaceExact(std::string_view text, std::string_view search,
                         std::string_view replacement) {
  if (search.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  size_t position = 0;
  for (;;) {
    size_t found = text.find(search, position);
    if (found == std::string_view::npos) break;
    out.append(text.substr(position, found - position));
    out.append(replacement);
    position = found + search.size();
  }
  out.append(text.substr(position));
  return out;
}

}  // namespace qv

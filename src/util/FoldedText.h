#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// UTF-8 text indexed by code point, with its case-folded form kept beside it so that
// case-insensitive searches report positions in the original text. Folding is the
// full Unicode folding of each code point; invalid bytes stand for themselves.
class FoldedText {
 public:
  static constexpr size_t kNotFound = static_cast<size_t>(-1);

  explicit FoldedText(std::string_view text);

  size_t Length() const { return starts_.size() - 1; }  // in code points
  // Code points [first, first + count) of the original text, clipped to its end.
  std::string_view Slice(size_t first, size_t count) const;
  // Index of the first code point at or after `from` where the folded `needle` begins
  // and ends on code-point boundaries; also reports the match length in code points.
  size_t Find(const std::string& folded_needle, size_t from, size_t* match_length) const;

  static std::string Fold(std::string_view text);

 private:
  std::string_view text_;
  std::vector<size_t> starts_;  // byte offset of each code point, plus the end
  std::string folded_;
  std::vector<size_t> folded_starts_;  // offset in folded_ of each code point, plus the end
};

// Every occurrence of `search` replaced by `replacement`, compared case-insensitively,
// scanning left to right without rescanning replaced text. An empty search changes
// nothing.
std::string ReplaceIgnoreCase(std::string_view text, std::string_view search,
                              std::string_view replacement);

// Every occurrence of `search` replaced by `replacement`, compared exactly.
std::string ReplaceExact(std::string_view text, std::string_view search,
                         std::string_view replacement);

}  // namespace qv

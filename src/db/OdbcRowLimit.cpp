#include "db/OdbcRowLimit.h"

#include "core/Text.h"

namespace ado {

namespace {

// What separates the words of a statement.
constexpr std::string_view kBlanks = " \t\r\n";
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads the text backwards one word at a time, words separated by blanks.
class BackwardWords {
 public:
  explicit BackwardWords(std::string_view text) : text_(text), end_(text.size()) {}

  // The previous word; empty when there is none. Requires at least one blank after
  // the word unless it is the last word of the text.
  std::string_view Previous() {
    size_t e = end_;
    while (e > 0 && core::IsBlank(text_[e - 1], kBlanks)) --e;
    if (e != end_ || end_ == text_.size()) {
      size_t b = e;
      while (b > 0 && !core::IsBlank(text_[b - 1], kBlanks)) --b;
      end_ = b;
      return text_.substr(b, e - b);
    }
    return {};
  }
  // Text before the words read so far, without the blanks that precede them.
  std::string_view Rest() const {
    size_t e = end_;
    while (e > 0 && core::IsBlank(text_[e - 1], kBlanks)) --e;
    return text_.substr(0, e);
  }
  // Whether a blank separates Rest() from the words read.
  bool BlankBefore() const { return end_ > 0 && core::IsBlank(text_[end_ - 1], kBlanks); }

 private:
  std::string_view text_;
  size_t end_;
};

bool IsWholeNumber(std::string_view word) {
  if (word.empty()) return false;
  for (char c : word) {
    if (!IsDigit(c)) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> RewriteRowLimitForSqlite(std::string_view sql) {
  BackwardWords words(sql);
  // The clause read backwards: ONLY ROWS <m> NEXT FETCH ROWS <n> OFFSET.
  if (words.Previous() != "ONLY" || words.Previous() != "ROWS") return std::nullopt;
  std::string_view count = words.Previous();
  if (!IsWholeNumber(count)) return std::nullopt;
  if (words.Previous() != "NEXT" || words.Previous() != "FETCH" || words.Previous() != "ROWS") {
    return std::nullopt;
  }
  std::string_view offset = words.Previous();
  if (!IsWholeNumber(offset)) return std::nullopt;
  if (words.Previous() != "OFFSET" || !words.BlankBefore()) return std::nullopt;

  std::string out(words.Rest());
  out += " LIMIT ";
  out += count;
  out += " OFFSET ";
  out += offset;
  return out;
}

}  // namespace ado

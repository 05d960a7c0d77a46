#include "util/basCQvStringManipulation.h"

#include <cstdio>
#include <optional>

#include "core/Error.h"
#include "core/Text.h"
#include "platform/CodePage.h"
#include "shared/ErrorBoundary.h"
#include "shared/EventSink.h"
#include "util/FoldedText.h"

namespace qv {

namespace {

constexpr int32_t kModeUrl = 1;
constexpr int32_t kModeUri = 4;

bool IsVariantArray(const ado::Variant& value) { return value.Type() == ado::VarType::kArray; }

std::string_view FirstCharacter(std::string_view text) { return core::CodePointPrefix(text, 1); }

// Windows-1252 codes of single characters; the code page is opened on the first
// character outside ASCII and kept for the rest of the text.
class AnsiCoder {
 public:
  int32_t Code(std::string_view character) {
    auto lead = static_cast<unsigned char>(character.front());
    if (lead < 0x80) return lead;
    if (!code_page_) code_page_.emplace(platform::kCodePageAnsi);
    std::string bytes = code_page_->FromUtf8(character);
    return bytes.empty() ? static_cast<unsigned char>(platform::kDefaultChar)
                         : static_cast<unsigned char>(bytes.front());
  }

 private:
  std::optional<platform::CodePage> code_page_;
};

std::string HexEscape(int32_t code) {
  char buffer[16];
  auto bits = static_cast<uint32_t>(code);
  std::snprintf(buffer, sizeof buffer, code >= 0 && code < 16 ? "%%0%X" : "%%%X", bits);
  return buffer;
}

bool IsAsciiAlphanumeric(int32_t code) {
  return (code >= 'a' && code <= 'z') || (code >= 'A' && code <= 'Z') ||
         (code >= '0' && code <= '9');
}

bool IsUriMark(int32_t code) {
  switch (code) {
    case '!':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '-':
    case '.':
    case '_':
    case '~':
      return true;
    default:
      return false;
  }
}

std::string_view RequireCharacter(std::string_view character) {
  std::string_view first = FirstCharacter(character);
  if (first.empty()) {
    throw core::Error(core::kErrInvalidProcedureCall, "", "Invalid procedure call or argument");
  }
  return first;
}

std::string UrlEncodeCharWith(std::string_view character, int32_t& code, AnsiCoder& coder,
                              int& line) {
  line = 1;
  std::string_view first = RequireCharacter(character);
  if (code == -1) code = coder.Code(first);
  line = 2;
  if (IsAsciiAlphanumeric(code)) return std::string(first);
  line = 3;
  return HexEscape(code);
}

std::string UriEscapeCharWith(std::string_view character, AnsiCoder& coder, int& line) {
  line = 1;
  std::string_view first = RequireCharacter(character);
  int32_t code = coder.Code(first);
  line = 2;
  if (IsUriMark(code)) return std::string(first);
  int inner_line = 0;
  line = 3;
  return UrlEncodeCharWith(first, code, coder, inner_line);
}

std::string EncodeStringOrThrow(std::string_view text, int32_t mode, int& line) {
  line = 1;
  if (text.empty()) return {};
  if (mode != kModeUrl && mode != kModeUri) return std::string(text);
  line = 2;
  AnsiCoder coder;
  int inner_line = 0;
  std::string out;
  out.reserve(text.size() * 3);
  while (!text.empty()) {
    std::string_view character = FirstCharacter(text);
    if (mode == kModeUrl) {
      int32_t code = -1;
      out += UrlEncodeCharWith(character, code, coder, inner_line);
    } else {
      out += UriEscapeCharWith(character, coder, inner_line);
    }
    text.remove_prefix(character.size());
  }
  return out;
}

}  // namespace

std::string QvStrMan_GetField(std::string_view text, int32_t field_number,
                              std::string_view delimiter) {
  if (field_number < 1) return {};
  FoldedText haystack(text);
  const std::string needle = FoldedText::Fold(delimiter);
  const auto length = static_cast<int64_t>(haystack.Length());
  // Positions are 1-based. `start` is the position of the last character of the
  // delimiter before the field, so that delimiters longer than one character are
  // skipped whole.
  int64_t start = 0;
  int64_t end = 0;
  for (int32_t pass = 0; pass < field_number; ++pass) {
    int64_t found = 0;
    size_t match_length = 0;
    if (needle.empty()) {
      if (start + 1 <= length) found = start + 1;
    } else {
      size_t index = haystack.Find(needle, static_cast<size_t>(start), &match_length);
      if (index != FoldedText::kNotFound) found = static_cast<int64_t>(index) + 1;
    }
    bool last_pass = pass == field_number - 1;
    if (found == 0) {
      // No further delimiter: only the field being asked for can still exist.
      if (!last_pass) return {};
      end = length + 1;
    } else {
      end = found;
    }
    if (!last_pass) start = end + static_cast<int64_t>(match_length) - 1;
  }
  if (end <= start) return {};
  return std::string(
      haystack.Slice(static_cast<size_t>(start), static_cast<size_t>(end - start - 1)));
}

std::string QvStrMan_VarToStr(const ado::Variant& value) {
  if (value.IsEmpty() || value.IsNull()) return {};
  return value.ToText();
}

std::string QvStrMan_ReplaceStringVar(std::string_view text, const ado::Variant& search_list,
                                      const ado::Variant& replacement_list) {
  return Guard(
      TraceEvent, std::string(),
      [&](int& line) {
        line = 1;
        std::string result(core::Trim(text, " "));
        if (result.empty() || !IsVariantArray(search_list)) return result;
        line = 2;
        const ado::Array& searches = search_list.AsArray();
        if (!IsVariantArray(replacement_list)) {
          throw core::Error(core::kErrTypeMismatch, "", "Type mismatch");
        }
        const ado::Array& replacements = replacement_list.AsArray();
        for (int32_t i = searches.lower_bound; i <= searches.UpperBound(); ++i) {
          if (i < replacements.lower_bound || i > replacements.UpperBound()) {
            throw core::Error(core::kErrSubscriptOutOfRange, "", "Subscript out of range");
          }
          std::string search =
              QvStrMan_VarToStr(searches.items[static_cast<size_t>(i - searches.lower_bound)]);
          std::string replacement = QvStrMan_VarToStr(
              replacements.items[static_cast<size_t>(i - replacements.lower_bound)]);
          result = ReplaceIgnoreCase(result, search, replacement);
        }
        return result;
      },
      Fixed(".QvStrMan_ReplaceStringVar"));
}

std::string QvStrMan_GetNullTerminatedString(std::string_view text) {
  return Guard(
      TraceEvent, std::string(),
      [&](int&) {
        size_t nul = text.find('\0');
        return std::string(nul == std::string_view::npos ? text : text.substr(0, nul));
      },
      Fixed(".QvStrMan_GetNullTerminatedString"));
}

std::string QvStrMan_UrlEncode(std::string_view text) {
  return Guard(
      TraceEvent, std::string(),
      [&](int& line) { return EncodeStringOrThrow(text, kModeUrl, line); },
      AtLine(".QvStrMan_UrlEncode @Line #"));
}

std::string QvStrMan_EncodeURIComponent(std::string_view text) {
  return Guard(
      TraceEvent, std::string(),
      [&](int& line) { return EncodeStringOrThrow(text, kModeUri, line); },
      AtLine(".QvStrMan_EncodeURIComponent, @Line#"));
}

std::string EncodeString(std::string_view text, int32_t mode) {
  return Guard(
      TraceEvent, std::string(), [&](int& line) { return EncodeStringOrThrow(text, mode, line); },
      AtLine(".EncodeString, @Line#"));
}

std::string URIEscapeChar(std::string_view character) {
  return Guard(
      TraceEvent, std::string(),
      [&](int& line) {
        AnsiCoder coder;
        return UriEscapeCharWith(character, coder, line);
      },
      AtLine(".URIEscapeChar, @Line#"));
}

std::string URLEncodeChar(std::string_view character, int32_t& code) {
  return Guard(
      TraceEvent, std::string(),
      [&](int& line) {
        AnsiCoder coder;
        return UrlEncodeCharWith(character, code, coder, line);
      },
      AtLine(".URLEncodeChar, @Line#"));
}

std::string QvStrMan_StripLeading(std::string_view text, std::string_view prefix) {
  return Guard(
      TraceEvent, std::string(),
      [&](int&) {
        std::string_view result = core::Trim(text, " ");
        if (result.empty() || prefix.empty()) return std::string(result);
        std::string_view head = core::CodePointPrefix(result, core::CodePointCount(prefix));
        if (core::EqualsIgnoreCase(head, prefix)) result.remove_prefix(head.size());
        return std::string(result);
      },
      Fixed("QvStrMan_StripLeading"));
}

std::string QvStrMan_StripTrailing(std::string_view text, std::string_view suffix) {
  return Guard(
      TraceEvent, std::string(),
      [&](int&) {
        std::string_view result = core::Trim(text, " ");
        if (result.empty() || suffix.empty()) return std::string(result);
        size_t total = core::CodePointCount(result);
        size_t count = core::CodePointCount(suffix);
        if (count > total) return std::string(result);
        size_t head_bytes = core::CodePointPrefix(result, total - count).size();
        std::string_view tail = result.substr(head_bytes);
        if (core::EqualsIgnoreCase(tail, suffix)) result.remove_suffix(tail.size());
        return std::string(result);
      },
      Fixed("QvStrMan_StripTrailing"));
}

std::string QvStrMan_EscapeSQLQuotes(const ado::Variant& value) {
  if (value.IsNull()) throw core::Error(core::kErrInvalidUseOfNull, "", "Invalid use of Null");
  return ReplaceExact(value.ToText(), "'", "''");
}

}  // namespace qv

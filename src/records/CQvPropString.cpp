#include "records/CQvPropString.h"

#include <utility>
#include <vector>

#include "shared/ErrorBoundary.h"
#include "shared/EventSink.h"
#include "util/FoldedText.h"
#include "util/basCQvArrayMgr.h"
#include "util/basCQvStringManipulation.h"

namespace qv {

namespace {

constexpr std::string_view kPercent = "%";
constexpr std::string_view kPercentEscape = "%25";

struct Escape {
  std::string character;
  std::string escape;
};

// The syntax characters, then the caller's extras, without repeats. "%" is left out:
// it is escaped before and restored after all the others.
std::vector<Escape> EscapeTable(const ado::Variant& extra_characters) {
  ado::Variant list(ado::Array{0, {ado::Variant("&"), ado::Variant(";"), ado::Variant("=")}});
  if (extra_characters.Type() == ado::VarType::kArray) {
    list = QvArrMgr_Concatenate(list, extra_characters, true);
  }
  std::vector<Escape> table;
  for (const ado::Variant& element : list.AsArray().items) {
    std::string character = QvStrMan_VarToStr(element);
    if (character.empty() || character == kPercent) continue;
    std::string escape = QvStrMan_EncodeURIComponent(character);
    if (escape == character) continue;  // letters, digits and marks escape to themselves
    table.push_back({std::move(character), std::move(escape)});
  }
  return table;
}

}  // namespace

std::string CQvPropString::Encode(std::string_view text,
                                  const ado::Variant& extra_characters) const {
  return Guard(
      TraceEvent, std::string(),
      [&](int& line) {
        line = 1;
        std::vector<Escape> table = EscapeTable(extra_characters);
        line = 2;
        std::string result = ReplaceExact(text, kPercent, kPercentEscape);
        for (const Escape& entry : table) {
          result = ReplaceExact(result, entry.character, entry.escape);
        }
        return result;
      },
      Fixed("CQvPropString.Encode"));
}

std::string CQvPropString::Decode(std::string_view text,
                                  const ado::Variant& extra_characters) const {
  return Guard(
      TraceEvent, std::string(),
      [&](int& line) {
        line = 1;
        std::vector<Escape> table = EscapeTable(extra_characters);
        line = 2;
        std::string result(text);
        for (const Escape& entry : table) {
          result = ReplaceExact(result, entry.escape, entry.character);
        }
        return ReplaceExact(result, kPercentEscape, kPercent);
      },
      Fixed("CQvPropString.Decode"));
}

}  // namespace qv

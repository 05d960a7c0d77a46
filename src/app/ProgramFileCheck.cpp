#include "app/ProgramFileCheck.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "app/NearestName.h"
#include "core/Error.h"
#include "core/Text.h"
#include "shared/QvSharedStrings.h"
#include "store/CQvXMLManip.h"
#include "values/Variant.h"

namespace qv {
namespace {

// Why `text` does not decode as `encode_type`; nothing when it does.
std::optional<std::string> DecodeFailure(std::string_view text, int32_t encode_type) {
  try {
    if (encode_type == 6) {
      QvSharedStrings::Decode6(text);
    } else {
      QvSharedStrings::Decode1(text);
    }
    return std::nullopt;
  } catch (const core::Error& e) {
    return e.record().description;
  }
}

struct TextValue {
  std::string field;
  int64_t record = 0;  // from 1
  std::string text;
};

// Every text a reader would decode, with where it is.
std::vector<TextValue> TextValues(ado::Recordset& rs) {
  std::vector<TextValue> values;
  if (rs.Bof() && rs.Eof()) return values;
  int64_t record = 1;
  for (rs.MoveFirst(); !rs.Eof(); rs.MoveNext(), ++record) {
    ado::Fields fields = rs.Fields();
    for (int32_t i = 0; i < fields.Count(); ++i) {
      const ado::Field field = fields.Item(static_cast<size_t>(i));
      const ado::Variant value = field.Value();
      if (!CQvXMLManip::IsTextLike(value)) continue;
      values.push_back({field.Name(), record, QvSharedStrings::ToText(value)});
    }
  }
  return values;
}

}  // namespace

std::vector<std::string> FieldProblems(ado::Recordset& rs, const ProgramFileLayout& layout) {
  std::vector<std::string> problems;
  std::vector<std::string> present;
  ado::Fields fields = rs.Fields();
  present.reserve(static_cast<size_t>(fields.Count()));
  for (int32_t i = 0; i < fields.Count(); ++i) {
    present.push_back(fields.Item(static_cast<size_t>(i)).Name());
  }
  const auto has = [&](const std::vector<std::string>& names, const std::string& name) {
    return std::any_of(names.begin(), names.end(), [&](const std::string& other) {
      return core::FoldCase(other) == core::FoldCase(name);
    });
  };
  for (const std::string& name : layout.required) {
    if (!has(present, name)) problems.push_back("no field " + name);
  }
  std::vector<std::string> expected = layout.required;
  expected.insert(expected.end(), layout.optional.begin(), layout.optional.end());
  for (const std::string& name : present) {
    if (has(expected, name)) continue;
    std::vector<std::string> absent;
    for (const std::string& candidate : expected) {
      if (!has(present, candidate)) absent.push_back(candidate);
    }
    const std::string nearest = NearestName(name, absent);
    problems.push_back("unknown field " + name +
                       (nearest.empty() ? std::string(", which the program does not read")
                                        : " (did you mean " + nearest + "?)"));
  }
  return problems;
}

std::string EncodingProblem(ado::Recordset& rs, int32_t encode_type) {
  const std::vector<TextValue> values = TextValues(rs);
  const int32_t other = encode_type == 6 ? 1 : 6;
  const auto first_failure = [&](int32_t type) -> std::optional<std::string> {
    for (const TextValue& value : values) {
      if (std::optional<std::string> reason = DecodeFailure(value.text, type)) {
        return "field " + value.field + " of record " + std::to_string(value.record) +
               " does not decode as type " + std::to_string(type) + ": " + *reason;
      }
    }
    return std::nullopt;
  };
  const std::optional<std::string> failure = first_failure(encode_type);
  // Percent-decoding takes most Base64 text as it stands, so a file of texts that are
  // all well-formed Base64 (one at least as long as a word) is taken as written with 6.
  const bool looks_like_base64 =
      encode_type == 1 && !values.empty() && !first_failure(6) &&
      std::any_of(values.begin(), values.end(),
                  [](const TextValue& value) { return value.text.size() >= 8; });
  if ((failure && !first_failure(other)) || looks_like_base64) {
    // Percent-decoding takes plain text as it stands too.
    return "its texts are encoded with type " + std::to_string(other) +
           (other == 1 ? " (or not at all)" : "") + ", not " + std::to_string(encode_type);
  }
  return failure.value_or("");
}

}  // namespace qv

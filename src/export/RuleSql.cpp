#include "export/RuleSql.h"

#include <limits>
#include <string_view>

#include "core/Error.h"
#include "core/Text.h"
#include "export/ExportContext.h"
#include "records/basADOUtilities.h"
#include "shared/QvSharedStrings.h"

namespace qv {
namespace {

bool IsWordChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$';
}

bool SameWord(std::string_view word, std::string_view upper) {
  if (word.size() != upper.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != upper[i]) return false;
  }
  return true;
}

// Whether the query sorts its own result: ORDER followed by BY, in any case, outside
// parentheses (a subquery's order), quoted texts and names, and comments.
bool HasOwnOrderBy(std::string_view sql) {
  int depth = 0;
  bool after_order = false;  // the last word at depth 0 was ORDER
  size_t i = 0;
  const auto skip_to = [&](std::string_view end) {
    const size_t found = sql.find(end, i);
    i = found == std::string_view::npos ? sql.size() : found + end.size();
  };
  while (i < sql.size()) {
    const char c = sql[i];
    if (c == '\'' || c == '"' || c == '`') {
      ++i;
      skip_to(std::string_view(&c, 1));
      after_order = false;
    } else if (c == '[') {
      ++i;
      skip_to("]");
      after_order = false;
    } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
      skip_to("\n");
    } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
      i += 2;
      skip_to("*/");
    } else if (c == '(') {
      ++depth;
      ++i;
      after_order = false;
    } else if (c == ')') {
      if (depth > 0) --depth;
      ++i;
      after_order = false;
    } else if (IsWordChar(c)) {
      const size_t start = i;
      while (i < sql.size() && IsWordChar(sql[i])) ++i;
      const std::string_view word = sql.substr(start, i - start);
      if (depth == 0 && after_order && SameWord(word, "BY")) return true;
      after_order = depth == 0 && SameWord(word, "ORDER");
    } else {
      if (!core::IsBlank(c, " \t\r\n\f")) after_order = false;
      ++i;
    }
  }
  return false;
}

}  // namespace

std::string RuleField(const std::shared_ptr<ado::Recordset>& rules, const char* field) {
  return QvSharedStrings::ToText(rules->Fields().Item(field).Value());
}

std::string RuleSqlText(const std::shared_ptr<ado::Recordset>& rules) {
  std::string sql = RuleField(rules, "tSQLSelect") + " " + RuleField(rules, "tSQLFrom") + " " +
                    RuleField(rules, "tSQLWhere");
  if (FieldExists(rules, "tSQLOrderBy")) sql += " " + RuleField(rules, "tSQLOrderBy");
  return sql;
}

std::string WithRowOrder(const std::string& sql) {
  std::string text = sql;
  text += HasOwnOrderBy(sql) ? ", " : " ORDER BY ";
  text += " 1";
  return text;
}

std::string WithFetchRange(const std::string& sql, int32_t from_row, int32_t to_row) {
  const int32_t row_count = CheckedRowNumber(int64_t{to_row} - from_row + 1);
  std::string text = WithRowOrder(sql);
  text += " OFFSET ";
  text += std::to_string(from_row);
  text += " ROWS ";
  text += " FETCH NEXT ";
  text += std::to_string(row_count);
  text += " ROWS ONLY";
  return text;
}

int32_t CheckedRowNumber(int64_t value) {
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    throw core::Error(core::kErrOverflow, kExporterClass,
                      "row number " + std::to_string(value) + " does not fit in 32 bits");
  }
  return static_cast<int32_t>(value);
}

}  // namespace qv

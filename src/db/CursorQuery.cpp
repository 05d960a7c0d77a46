#include "db/CursorQuery.h"

#include <cctype>
#include <string>

#include "core/Text.h"

namespace ado {

bool CursorCanHold(std::string_view sql) {
  size_t at = 0;
  while (at < sql.size()) {
    const char c = sql[at];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '(') {
      ++at;
    } else if (sql.substr(at, 2) == "--") {
      at = sql.find('\n', at);
    } else if (sql.substr(at, 2) == "/*") {
      at = sql.find("*/", at);
      if (at != std::string_view::npos) at += 2;
    } else {
      break;
    }
  }
  if (at >= sql.size()) return false;
  size_t end = at;
  while (end < sql.size() && std::isalpha(static_cast<unsigned char>(sql[end]))) ++end;
  const std::string word = core::FoldCase(sql.substr(at, end - at));
  return word == "select" || word == "with" || word == "values" || word == "table";
}

}  // namespace ado

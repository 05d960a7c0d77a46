#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ado {

// SQLite has no standard row-limiting clause. When `sql` ends in the clause the paged
// export appends, "... OFFSET <n> ROWS  FETCH NEXT <m> ROWS ONLY" (whole numbers, any
// run of blanks between the words), returns the text with exactly that clause replaced
// by " LIMIT <m> OFFSET <n>"; otherwise returns nothing and the text runs unchanged.
std::optional<std::string> RewriteRowLimitForSqlite(std::string_view sql);

}  // namespace ado

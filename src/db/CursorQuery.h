#pragma once

#include <string_view>

namespace ado {

// Whether a server-side cursor can hold `sql`: a query, by its first word (SELECT, WITH,
// VALUES, TABLE) after blanks, comments and opening parentheses. A WITH that changes data
// passes too; the server refuses to declare a cursor for it (SQLSTATE 0A000).
bool CursorCanHold(std::string_view sql);

}  // namespace ado

#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ado/Recordset.h"

namespace qv {

// The SQL text of a rule and the row order and ranges the split and paged exports ask for.

// The text of `field` of the rule on which `rules` stands.
std::string RuleField(const std::shared_ptr<ado::Recordset>& rules, const char* field);
// The SQL text of the rule on which `rules` stands: tSQLSelect, tSQLFrom and tSQLWhere
// joined by single spaces, then " " and tSQLOrderBy when the file has that field.
std::string RuleSqlText(const std::shared_ptr<ado::Recordset>& rules);
// The query sorted by its own ORDER BY clause and then by the first column, or by the
// first column alone.
std::string WithRowOrder(const std::string& sql);
// The query limited to rows `from_row` to `to_row` in the order of WithRowOrder.
std::string WithFetchRange(const std::string& sql, int32_t from_row, int32_t to_row);
// `value` as a row number; throws core::Error 6 when it does not fit in 32 bits.
int32_t CheckedRowNumber(int64_t value);

}  // namespace qv

#pragma once

// Internal to the native PostgreSQL connection: values from the server's text
// (DateStyle ISO) read as psqlODBC reads them into ODBC's C types.

#include <optional>
#include <string_view>

#include "values/Decimal.h"

namespace ado::postgres {

// "2024-02-29 13:14:15.123456", with a zone ("+05", "-03:30") that is left aside and
// " BC" for years before Christ (a year below 1). infinity and -infinity read as
// psqlODBC reads them: 9999-12-31 23:59:59 and 9999 before Christ, January 1st.
std::optional<Date::Parts> TimestampParts(std::string_view text);
// "2024-02-29", " BC" too; infinity and -infinity as for timestamps, at midnight.
std::optional<Date::Parts> DateParts(std::string_view text);
// "13:14:15.123" as a time of day; its fraction is dropped, as in ODBC's TIME struct.
std::optional<Date::Parts> TimeParts(std::string_view text);
// money's text ("$1,234.56", "-$5.50", "($5.50)") as a number.
std::optional<double> MoneyValue(std::string_view text);

}  // namespace ado::postgres

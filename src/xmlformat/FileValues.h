#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "values/Decimal.h"

// Values as a recordset file holds them. A reader of a database brings each value to
// this form as it enters a recordset, so that it compares equal to the same value read
// back from a file this library wrote: otherwise a value the file cannot hold as it
// came would differ from its own last data on every run.
namespace ado {

// Replaces, in place, each span of `text` that XML 1.0 cannot hold with U+FFFD, as the
// XML writer does (xml::XmlCharAt decides for both). Returns how many were replaced;
// 0 leaves the text untouched.
size_t SanitizeFileText(std::string& text);
// Whether SanitizeFileText would leave `text` as it is: well-formed UTF-8 that XML 1.0
// can hold.
bool IsFileText(std::string_view text);

// The date that reading back the written value of a field of `ado_type` gives: a
// timestamp to the microsecond, a date without its time, a time of day without its
// date and fraction. Throws core::Error (overflow) for a day value out of range.
Date FileDate(const Date& value, int32_t ado_type);

// The warning a reader gives for a column where SanitizeFileText changed `count`
// values, the first in row `first_row` (1-based).
std::string FileTextWarning(const std::string& column, int64_t first_row, int64_t count);

}  // namespace ado

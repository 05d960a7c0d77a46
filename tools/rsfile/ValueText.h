#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "values/Variant.h"

// Text forms of field values shared by the table and the JSON conversion.
namespace rsfile {

// "yyyy-mm-ddThh:mm:ss", plus ".fraction" (trailing zeros dropped) when the time has
// a fraction of a second. `separator` replaces the 'T'.
std::string DateText(ado::Date date, char separator = 'T');

// Reads "yyyy-mm-dd", "yyyy-mm-ddThh:mm:ss[.fraction]" (a blank may replace the 'T',
// the fraction has 1 to 9 digits) or "hh:mm:ss" (a time of 1899-12-30). Nothing for
// any other text or an impossible date.
std::optional<ado::Date> ParseDateText(std::string_view text);

// Two lower-case hex digits per byte.
std::string HexText(std::span<const uint8_t> bytes);
// Reads hex digits of either case, two per byte; nothing for odd length or other
// characters.
std::optional<ado::Bytes> ParseHexText(std::string_view text);

// The shortest text that reads back as the same number ("0.1", "1e+20").
std::string DoubleText(double value);
std::string SingleText(float value);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case from a GUID written with or
// without braces, in either case; nothing when the text is not a GUID.
std::optional<std::string> NormalizeGuid(std::string_view text);

}  // namespace rsfile

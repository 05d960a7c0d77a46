#pragma once

// Internal to the native SQLite connection: how the SQLite ODBC driver turns a value's
// text into the C type a column is fetched as. The driver hands every value over as
// text (a BLOB as X'HEX'); the native path applies the same conversions wherever the
// stored value is not already of the fetched type, so both paths give the same values.

#include <cstdint>
#include <ctime>
#include <optional>

namespace ado::sqlite {

// The driver's date and time structures, with their field widths: a parsed field is
// kept in them as the driver keeps it, wrap-around included.
struct DriverDate {
  int16_t year = 0;
  uint16_t month = 0, day = 0;
};
struct DriverTime {
  uint16_t hour = 0, minute = 0, second = 0;
};
struct DriverTimestamp {
  int16_t year = 0;
  uint16_t month = 0, day = 0, hour = 0, minute = 0, second = 0;
  uint32_t fraction = 0;  // nanoseconds
};

// A whole number in C notation (leading blanks, sign, 0x hex, 0 octal), saturated at
// the 64-bit range; the digits end at the first character that is not one. Nothing
// when the text starts with no number.
std::optional<int64_t> DriverInteger(const char* text);
// Whether all of `text` but blanks around it is the number the driver reads from it (a
// whole number when `integer`), rather than a number it begins with or none.
bool IsNumberText(const char* text, bool integer);
// A floating-point number as strtod reads it in the C locale (hex, inf and nan too).
std::optional<double> DriverDouble(const char* text);
// True when the text starts with Y, y, T, t or a digit 1-9.
bool DriverBool(const char* text);

// YYYY-MM-DD, YYYY/MM/DD or MM/DD/YYYY, any text after the day ignored.
std::optional<DriverDate> DriverDateOf(const char* text);
// HH:MM:SS, HH:MM, HH, HHMMSS, with AM/PM.
std::optional<DriverTime> DriverTimeOf(const char* text);
// A date, a time or both in the forms above, with a fraction and an ISO 8601 zone
// (the result then in UTC), or YYYYMMDDhhmmss[fraction]. A time alone takes the date
// `today` (local time).
std::optional<DriverTimestamp> DriverTimestampOf(const char* text, const std::tm& today);

}  // namespace ado::sqlite

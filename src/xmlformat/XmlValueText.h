#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "values/Decimal.h"
#include "xmlformat/XmlFormat.h"

// Text forms of field values in the recordset XML format. Formatting writes into a
// caller's buffer (no allocation); parsing is lenient about what other writers produce.
namespace ado::xml {

// Large enough for every Format* result below.
inline constexpr size_t kValueBufferSize = 64;

// Whole numbers in plain decimal.
size_t FormatInteger(int64_t value, char* out);
size_t FormatUnsigned(uint64_t value, char* out);
// The shortest text that reads back to the same number, in VB's notation: plain for
// 1E-04 <= |x| < 1E+15, otherwise a mantissa and "E+nn" / "E-nn" ("1E+20", "1E-05").
// Zero (either sign) is "0"; infinities and NaN are "INF", "-INF" and "NaN".
size_t FormatDouble(double value, char* out);
size_t FormatSingle(float value, char* out);
// Exact decimal with '.', no exponent, no trailing zeros ("2635.23", "18", "-0.5").
size_t FormatDecimal(Int128 coefficient, int scale, char* out);
size_t FormatCurrency(int64_t scaled, char* out);
// yyyy-mm-ddThh:mm:ss with a fraction only when non-zero (trailing zeros trimmed),
// yyyy-mm-dd for kDate, hh:mm:ss for kTime.
size_t FormatDateParts(const Date::Parts& parts, ValueKind kind, char* out);
// A date value as a field of `kind` writes it: the date and time to the microsecond,
// the date alone for kDate, the time of day alone for kTime. Throws core::Error
// (overflow) for a day value out of range.
size_t FormatDate(const Date& value, ValueKind kind, char* out);
inline const char* BoolText(bool value) { return value ? "True" : "False"; }
// Two lower-case hex digits per byte; `out` must have room for 2 * bytes.size().
size_t FormatHex(std::span<const uint8_t> bytes, char* out);

// {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} upper case, from a GUID written with or without
// braces and dashes, in either case. Nothing when the text is not a GUID.
std::optional<std::string> NormalizeGuid(std::string_view text);

// The character at text[i]: its `length` in bytes and whether an XML 1.0 document can
// hold it. A forbidden character (U+0000-U+0008, U+000B, U+000C, U+000E-U+001F, U+FFFE,
// U+FFFF) spans its bytes; a byte that starts no well-formed UTF-8 sequence spans one
// byte (an encoded lone surrogate is three such bytes). Each span that cannot be held
// is written as one U+FFFD.
struct XmlChar {
  size_t length;
  bool allowed;
};
XmlChar XmlCharAt(std::string_view text, size_t i);

// Writes text for an attribute delimited by ': & < > ' " as entities, TAB, LF and CR as
// character references. What XML 1.0 cannot hold (see XmlCharAt) becomes U+FFFD, so
// the row survives and the file stays readable. `out` must have room for
// kMaxEscapedBytesPerByte * text.size() bytes. Returns the bytes written and adds to
// `not_units` how many of them are not UTF-16 code units (continuation bytes of
// multi-byte characters), so callers can measure lines in characters.
inline constexpr size_t kMaxEscapedBytesPerByte = 6;
size_t EscapeInto(char* out, std::string_view text, size_t& not_units);
inline constexpr char kHexDigits[] = "0123456789abcdef";

// Parsing. Values may carry surrounding XML white space.
std::optional<int64_t> ParseInteger(std::string_view text);
std::optional<uint64_t> ParseUnsigned(std::string_view text);
std::optional<double> ParseDouble(std::string_view text);
// An r4 value: the nearest float, as its shortest text was written.
std::optional<float> ParseSingle(std::string_view text);
// True/False in any case, 1, 0 and -1.
std::optional<bool> ParseBool(std::string_view text);
std::optional<Decimal> ParseDecimal(std::string_view text);
std::optional<Currency> ParseCurrency(std::string_view text);
// yyyy-mm-dd[(T| )hh:mm[:ss[.f...]]][Z|(+|-)hh[:mm]] and, for kTime, hh:mm[:ss[.f...]]. A
// zone is accepted and ignored: values are wall-clock times. kDate keeps only the date,
// kTime only the time of day.
std::optional<Date::Parts> ParseDateParts(std::string_view text, ValueKind kind);
// Hex digits in either case; white space anywhere is skipped.
bool ParseHex(std::string_view text, std::vector<uint8_t>& out);
bool ParseBase64(std::string_view text, std::vector<uint8_t>& out);

}  // namespace ado::xml

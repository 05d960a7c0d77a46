#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "values/Variant.h"

// Text routines shared across the program. Texts are UTF-8; lengths and positions
// count code points and start at 1. Routines that trap their own failures report them
// to the module trace routine and return empty text; the others (QvStrMan_GetField,
// QvStrMan_VarToStr, QvStrMan_EscapeSQLQuotes) let core::Error reach the caller.
namespace qv {

// Field `field_number` (from 1) of text whose fields are separated by `delimiter`,
// searched case-insensitively; a delimiter of several characters is skipped whole.
// Empty for a number below 1 or beyond the last field.
std::string QvStrMan_GetField(std::string_view text, int32_t field_number,
                              std::string_view delimiter);

// Empty text for empty and null; otherwise the value's standard text form.
// Throws core::Error (type mismatch) for arrays and objects.
std::string QvStrMan_VarToStr(const ado::Variant& value);

// The text with leading and trailing spaces removed, then, when `search_list` is an
// array, every occurrence of each search element (case-insensitive) replaced by the
// replacement element at the same index, in index order. A replacement list that lacks
// one of the search indices is a failure: empty text.
std::string QvStrMan_ReplaceStringVar(std::string_view text, const ado::Variant& search_list,
                                      const ado::Variant& replacement_list);

// The part of the text before its first NUL character; the whole text without one.
std::string QvStrMan_GetNullTerminatedString(std::string_view text);

// Every character but A-Z, a-z and 0-9 as "%" and two upper-case hexadecimal digits of
// its Windows-1252 code ("?" for characters outside that code page).
std::string QvStrMan_UrlEncode(std::string_view text);

// As QvStrMan_UrlEncode, but the marks ! ' ( ) * - . _ ~ also stay unchanged.
std::string QvStrMan_EncodeURIComponent(std::string_view text);

// Mode 1: each character through URLEncodeChar; mode 4: through URIEscapeChar; any
// other mode copies the text.
std::string EncodeString(std::string_view text, int32_t mode);

// The first character of `character`, escaped as QvStrMan_EncodeURIComponent does.
std::string URIEscapeChar(std::string_view character);

// The first character of `character`, escaped as QvStrMan_UrlEncode does. A `code` of
// -1 is replaced by the character's Windows-1252 code; any other code is used as given.
std::string URLEncodeChar(std::string_view character, int32_t& code);

// The text trimmed of spaces, then without one leading `prefix` (case-insensitive).
std::string QvStrMan_StripLeading(std::string_view text, std::string_view prefix);

// The text trimmed of spaces, then without one trailing `suffix` (case-insensitive).
std::string QvStrMan_StripTrailing(std::string_view text, std::string_view suffix);

// The value as text with every single quote doubled, ready to stand between quotes in
// SQL. Throws core::Error (invalid use of null) for null.
std::string QvStrMan_EscapeSQLQuotes(const ado::Variant& value);

}  // namespace qv

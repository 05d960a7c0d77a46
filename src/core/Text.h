#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// UTF-8 text helpers shared by every layer.
namespace core {

// Number of Unicode code points in UTF-8 text (invalid bytes count one each).
size_t CodePointCount(std::string_view utf8);
// The first `count` code points of the text.
std::string_view CodePointPrefix(std::string_view utf8, size_t count);
// True when the bytes are well-formed UTF-8.
bool IsValidUtf8(std::string_view bytes);
// Full Unicode case folding (ICU), for case-insensitive keys.
std::string FoldCase(std::string_view utf8);
// Case-insensitive equality under Unicode case folding.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
// Whether `c` is one of `blanks`.
bool IsBlank(char c, std::string_view blanks);
// Whether the text holds nothing but `blanks`; the empty text does.
bool IsBlank(std::string_view text, std::string_view blanks);
// The text without the `blanks` at its start and end.
std::string_view Trim(std::string_view text, std::string_view blanks = " \t");
// The text without the `blanks` at its start.
std::string_view TrimStart(std::string_view text, std::string_view blanks = " \t");
// Byte length of the UTF-8 sequence that `lead` starts; 1 for a byte that starts none.
size_t Utf8SequenceLength(unsigned char lead);
// The value of one hex digit of either case; -1 for any other character.
int HexDigitValue(char c);

}  // namespace core

#pragma once

#include <cstdint>
#include <string>

#include "values/Variant.h"

// Whole-file text reading and writing of the basFileSystem module. Texts are UTF-8;
// none of these routines throws: failures are traced through TraceEvent.
namespace qv {

// Format codes of the callers.
inline constexpr int32_t kTextFormatAnsi = 0;     // single-byte, Windows-1252
inline constexpr int32_t kTextFormatUnicode = 1;  // UTF-16LE with byte order mark
inline constexpr int32_t kTextFormatDefault = 2;  // the system default (Windows-1252)

// Stream formats the codes select: 0 ANSI, -1 Unicode, -2 system default.
inline constexpr int32_t kStreamAscii = 0;
inline constexpr int32_t kStreamUnicode = -1;
inline constexpr int32_t kStreamDefault = -2;

// The stream format of a format code: 0 -> 0, 1 -> -1, 2 -> -2, anything else -> 0.
int32_t GetFSOTxtFileFormat(int32_t format);

// The whole file as text in the code's format, cut at the first NUL character. A
// UTF-16 file's byte order mark is skipped. Empty text when the file cannot be read.
std::string GetBodyFromTextFile(const std::string& file_name, int32_t format);

// Replaces the file's content with the body in the code's format (UTF-16 gets a byte
// order mark). A body that Windows-1252 cannot hold is written as UTF-8 instead.
void WriteBodyToTextFile(const std::string& file_name, const std::string& body, int32_t format);

// Replaces the file's content with the body as UTF-8 without byte order mark, after
// trimming its leading and trailing spaces and one leading "ï»¿" (a UTF-8 byte order
// mark that was read as Windows-1252 text). True when the file was written.
bool WriteUTF8TextFile(const std::string& file_name, const std::string& body);

// The text as bytes of the code page (65001 UTF-8, 1252 or 0 Windows-1252 with "?" for
// missing characters, 1200 UTF-16LE); any other code page gives the UTF-16LE bytes.
ado::Bytes UnicodeToMultiByte(const std::string& text, int32_t code_page);

}  // namespace qv

#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qv::platform {

// An initialisation file ("[section]" lines and "key=value" lines) read the way
// GetPrivateProfileStringA reads it: section and key names ignore case, names and
// values are trimmed of spaces and tabs, a value enclosed in a matching pair of double
// or single quotes loses them, lines starting with ';' are comments, and the first of
// repeated sections or keys wins. Files may be UTF-8 (with or without a byte-order
// mark), UTF-16LE with a mark, or Windows-1252.
class IniFile {
 public:
  IniFile() = default;  // no sections

  // A missing or unreadable file gives an IniFile without sections.
  static IniFile Load(const std::filesystem::path& path);
  // Parses text already decoded to UTF-8.
  static IniFile Parse(std::string_view text);

  // The value of `key` in `section`, or `default_value` without its trailing spaces
  // when either is missing; cut to `buffer_size` - 1 characters, as the result would be
  // in a buffer of that size (a size of 0 gives empty text).
  std::string GetString(std::string_view section, std::string_view key,
                        std::string_view default_value, size_t buffer_size) const;

 private:
  struct Entry {
    std::string folded_key;
    std::string value;
  };
  struct Section {
    std::string folded_name;
    std::vector<Entry> entries;
  };
  std::vector<Section> sections_;
};

// Reads the file on every call, as the operating system does.
std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view default_value, size_t buffer_size,
                                    const std::filesystem::path& path);

}  // namespace qv::platform

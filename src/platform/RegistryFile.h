#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "values/Variant.h"

namespace qv::platform {

// Registry value types, numerically as Windows numbers them.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;
inline constexpr uint32_t kRegQword = 11;

inline constexpr const char* kRegistryPathVariable = "QVDATAEXPORTER_REGISTRY";
inline constexpr const char* kRegistryFileName = "registry.reg";

struct RegistryValue {
  std::string name;  // as the file spells it
  uint32_t type = kRegNone;
  // Texts (plain and expandable) as text without the terminating NUL, 32-bit numbers as
  // kI4, 64-bit numbers as kI8, multi-texts as an Array of texts (from 0), anything else
  // as Bytes.
  ado::Variant value;
  // The bytes the ANSI registry API hands out: texts in Windows-1252 with their NUL,
  // numbers little-endian, everything else as stored.
  ado::Bytes data;
};

// A read-only registry loaded from a file in the text format regedit exports
// ("Windows Registry Editor Version 5.00" or "REGEDIT4"; UTF-8, UTF-16LE with a byte-
// order mark, or Windows-1252). Key paths start with the root key's name
// ("HKEY_LOCAL_MACHINE\SOFTWARE\Tolvane"; HKLM, HKCU, HKCR, HKU and HKCC are accepted
// too); key paths and value names ignore case, and empty path elements are ignored.
// The value name "" or "@" is the key's default value.
class RegistryFile {
 public:
  // Receives one warning per skipped line: "<file>:<line>: <reason>".
  using WarningSink = std::function<void(const std::string& warning)>;

  RegistryFile() = default;  // the empty registry

  // A missing or unreadable file is the empty registry (without a warning). A file
  // without the regedit header is the empty registry, with a warning. Malformed lines
  // are skipped, each with a warning that names the file and the line.
  static RegistryFile Load(const std::filesystem::path& path, const WarningSink& warn = nullptr);
  // Parses the bytes of a file; `file_name` only names it in warnings.
  static RegistryFile Parse(std::string_view bytes, const std::string& file_name,
                            const WarningSink& warn = nullptr);

  // The file the program reads: QVDATAEXPORTER_REGISTRY when it is set and not empty,
  // else registry.reg in `program_folder`.
  static std::filesystem::path DefaultPath(const std::filesystem::path& program_folder);

  // True when the key, or a key below it, is in the file.
  bool KeyExists(std::string_view key_path) const;
  // The value, or null when the key or the value is missing.
  const RegistryValue* Find(std::string_view key_path, std::string_view value_name) const;
  std::optional<ado::Variant> GetValue(std::string_view key_path,
                                       std::string_view value_name) const;

  // The values of a key, in the order of their folded names; empty for a missing key.
  std::vector<const RegistryValue*> Values(std::string_view key_path) const;
  bool Empty() const { return keys_.empty(); }

  // The canonical, case-folded form of a key path ("" for a path without elements).
  static std::string NormalizeKeyPath(std::string_view key_path);

 private:
  friend class RegistryFileParser;
  // Folded key path -> folded value name -> value.
  std::map<std::string, std::map<std::string, RegistryValue>> keys_;
};

// The value `value_name` of the key `key_path` in the program's registry file
// (RegistryFile::DefaultPath of the program folder), loaded afresh for each call; the
// file's warnings go to `warn`. Nothing when the key or the value is missing.
std::optional<RegistryValue> ReadProgramRegistryValue(
    std::string_view key_path, std::string_view value_name,
    const RegistryFile::WarningSink& warn = nullptr);

}  // namespace qv::platform

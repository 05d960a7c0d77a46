#include "platform/RegistryFile.h"

#include <cstdlib>
#include <iterator>
#include <utility>
#include <vector>

#include "core/Error.h"
#include "core/File.h"
#include "core/Text.h"
#include "platform/CodePage.h"
#include "platform/ProgramFolder.h"

namespace qv::platform {

namespace {

constexpr std::string_view kHeaderVersion5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeaderVersion4 = "REGEDIT4";

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != prefix[i]) return false;
  }
  return true;
}

// 1 to `max_digits` hexadecimal digits and nothing else.
std::optional<uint64_t> ParseHexNumber(std::string_view digits, size_t max_digits) {
  if (digits.empty() || digits.size() > max_digits) return std::nullopt;
  uint64_t number = 0;
  for (char c : digits) {
    int digit = core::HexDigitValue(c);
    if (digit < 0) return std::nullopt;
    number = number * 16 + static_cast<uint64_t>(digit);
  }
  return number;
}

// True when the line ends in a backslash that is not inside a quoted text.
bool ContinuesOnNextLine(std::string_view line) {
  bool in_quotes = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (in_quotes) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_quotes = false;
      }
    } else if (c == '"') {
      in_quotes = true;
    }
  }
  return !in_quotes && !line.empty() && line.back() == '\\';
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t end = text.find_first_of("\r\n");
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    size_t next = end + 1;
    if (text[end] == '\r' && next < text.size() && text[next] == '\n') ++next;
    text.remove_prefix(next);
  }
  return lines;
}

std::string_view RootAlias(std::string_view root) {
  static constexpr std::pair<std::string_view, std::string_view> kAliases[] = {
      {"hklm", "HKEY_LOCAL_MACHINE"},
      {"hkcu", "HKEY_CURRENT_USER"},
      {"hkcr", "HKEY_CLASSES_ROOT"},
      {"hku", "HKEY_USERS"},
      {"hkcc", "HKEY_CURRENT_CONFIG"}};
  for (const auto& [alias, name] : kAliases) {
    if (root.size() == alias.size() && StartsWithIgnoreCase(root, alias)) return name;
  }
  return root;
}

ado::Bytes ToBytes(std::string_view text) { return ado::Bytes(text.begin(), text.end()); }

ado::Bytes LittleEndian(uint64_t number, size_t size) {
  ado::Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(number >> (8 * i));
  return bytes;
}

uint64_t FromLittleEndian(const ado::Bytes& bytes) {
  uint64_t number = 0;
  for (size_t i = bytes.size(); i-- > 0;) number = (number << 8) | bytes[i];
  return number;
}

// Thrown for a line that cannot be read; the parser turns it into a warning.
struct MalformedLine {
  std::string reason;
};

}  // namespace

class RegistryFileParser {
 public:
  RegistryFileParser(const std::string& file_name, const RegistryFile::WarningSink& warn)
      : file_name_(file_name), warn_(warn) {}

  RegistryFile Run(std::string_view bytes) {
    const std::string text = DecodeTextFileBytes(bytes);
    const std::vector<std::string_view> lines = SplitLines(text);
    size_t index = 0;
    while (index < lines.size() && core::Trim(lines[index]).empty()) ++index;
    if (index == lines.size()) return std::move(registry_);
    std::string_view header = core::Trim(lines[index]);
    if (header == kHeaderVersion5) {
      unicode_ = true;
    } else if (header == kHeaderVersion4) {
      unicode_ = false;
    } else {
      Warn(index + 1, "not a registry file: the first line must be \"" +
                          std::string(kHeaderVersion5) + "\" or \"" + std::string(kHeaderVersion4) +
                          "\"");
      return std::move(registry_);
    }

    for (++index; index < lines.size(); ++index) {
      const size_t number = index + 1;
      std::string logical(core::Trim(lines[index]));
      if (logical.empty() || logical.front() == ';') continue;
      while (ContinuesOnNextLine(logical)) {
        logical.pop_back();
        if (index + 1 >= lines.size()) break;
        logical += core::Trim(lines[++index]);
      }
      try {
        if (logical.front() == '[') {
          ReadKeyLine(logical);
        } else {
          ReadValueLine(logical);
        }
      } catch (const MalformedLine& malformed) {
        Warn(number, malformed.reason + "; line skipped");
      }
    }
    return std::move(registry_);
  }

 private:
  void Warn(size_t line, const std::string& reason) const {
    if (warn_) warn_(file_name_ + ":" + std::to_string(line) + ": " + reason);
  }

  void ReadKeyLine(std::string_view line) {
    current_key_ = nullptr;
    if (line.back() != ']') throw MalformedLine{"key line without closing ']'"};
    std::string_view path = line.substr(1, line.size() - 2);
    bool remove = !path.empty() && path.front() == '-';
    if (remove) path.remove_prefix(1);
    std::string key = RegistryFile::NormalizeKeyPath(path);
    if (key.empty()) throw MalformedLine{"empty key path"};
    if (remove) {
      auto first = registry_.keys_.lower_bound(key);
      auto last = first;
      while (last != registry_.keys_.end() &&
             (last->first == key || last->first.starts_with(key + "\\"))) {
        ++last;
      }
      registry_.keys_.erase(first, last);
      return;
    }
    current_key_ = &registry_.keys_[key];
  }

  void ReadValueLine(std::string_view line) {
    if (current_key_ == nullptr) throw MalformedLine{"value outside a key"};
    std::string name;
    if (line.front() == '@') {
      line.remove_prefix(1);
    } else if (line.front() == '"') {
      name = ReadQuoted(line);
    } else {
      throw MalformedLine{"expected a quoted value name or '@'"};
    }
    line = core::TrimStart(line);
    if (line.empty() || line.front() != '=')
      throw MalformedLine{"expected '=' after the value name"};
    line = core::TrimStart(line.substr(1));
    const std::string folded_name = core::FoldCase(name);
    if (line == "-") {
      current_key_->erase(folded_name);
      return;
    }
    RegistryValue value = ReadData(line);
    value.name = name;
    (*current_key_)[folded_name] = std::move(value);
  }

  // Reads "..." from the front of `rest` (which starts with the quote) and consumes it.
  static std::string ReadQuoted(std::string_view& rest) {
    std::string text;
    for (size_t i = 1; i < rest.size(); ++i) {
      char c = rest[i];
      if (c == '"') {
        rest.remove_prefix(i + 1);
        return text;
      }
      if (c == '\\') {
        if (i + 1 >= rest.size()) break;
        char escaped = rest[++i];
        if (escaped != '\\' && escaped != '"') {
          throw MalformedLine{std::string("unknown escape \\") + escaped + " in quoted text"};
        }
        c = escaped;
      }
      text += c;
    }
    throw MalformedLine{"quoted text without closing quote"};
  }

  RegistryValue ReadData(std::string_view data) const {
    RegistryValue result;
    if (!data.empty() && data.front() == '"') {
      std::string text = ReadQuoted(data);
      if (!core::Trim(data).empty()) throw MalformedLine{"text after the closing quote"};
      result.type = kRegSz;
      result.data = ToBytes(Utf8ToCodePage(text, kCodePageWindows1252) + '\0');
      result.value = ado::Variant(std::move(text));
      return result;
    }
    if (StartsWithIgnoreCase(data, "dword:")) {
      auto number = ParseHexNumber(core::Trim(data.substr(6)), 8);
      if (!number) throw MalformedLine{"dword value is not 1 to 8 hexadecimal digits"};
      result.type = kRegDword;
      result.data = LittleEndian(*number, 4);
      result.value = ado::Variant(static_cast<int32_t>(static_cast<uint32_t>(*number)));
      return result;
    }
    if (StartsWithIgnoreCase(data, "hex:")) {
      return ReadHex(kRegBinary, data.substr(4));
    }
    if (StartsWithIgnoreCase(data, "hex(")) {
      size_t close = data.find("):");
      auto type = close == std::string_view::npos ? std::nullopt
                                                  : ParseHexNumber(data.substr(4, close - 4), 8);
      if (!type) throw MalformedLine{"hex(type) value without a hexadecimal type"};
      return ReadHex(static_cast<uint32_t>(*type), data.substr(close + 2));
    }
    throw MalformedLine{"unknown value format"};
  }

  RegistryValue ReadHex(uint32_t type, std::string_view list) const {
    RegistryValue result;
    result.type = type;
    list = core::Trim(list);
    ado::Bytes bytes;
    while (!list.empty()) {
      size_t comma = list.find(',');
      auto byte = ParseHexNumber(core::Trim(list.substr(0, comma)), 2);
      if (!byte) throw MalformedLine{"hex value with a malformed byte"};
      bytes.push_back(static_cast<uint8_t>(*byte));
      if (comma == std::string_view::npos) break;
      list.remove_prefix(comma + 1);
      if (core::Trim(list).empty()) throw MalformedLine{"hex value ends with ','"};
    }

    const std::string_view raw(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    switch (type) {
      case kRegSz:
      case kRegExpandSz:
      case kRegMultiSz: {
        std::string text = CodePageToUtf8(raw, unicode_ ? kCodePageUtf16Le : kCodePageWindows1252);
        result.data = unicode_ ? ToBytes(Utf8ToCodePage(text, kCodePageWindows1252)) : bytes;
        if (type == kRegMultiSz) {
          result.value = ado::Variant(SplitMultiText(text));
        } else {
          if (!text.empty() && text.back() == '\0') text.pop_back();
          result.value = ado::Variant(std::move(text));
        }
        return result;
      }
      case kRegDword:
        if (bytes.size() != 4) throw MalformedLine{"hex(4) value is not 4 bytes"};
        result.value =
            ado::Variant(static_cast<int32_t>(static_cast<uint32_t>(FromLittleEndian(bytes))));
        break;
      case kRegQword:
        if (bytes.size() != 8) throw MalformedLine{"hex(b) value is not 8 bytes"};
        result.value = ado::Variant(static_cast<int64_t>(FromLittleEndian(bytes)));
        break;
      default:
        result.value = ado::Variant(bytes);
        break;
    }
    result.data = std::move(bytes);
    return result;
  }

  // "a\0b\0\0" -> (a, b): the texts up to the first empty one.
  static ado::Array SplitMultiText(std::string_view text) {
    ado::Array array;
    while (!text.empty()) {
      size_t nul = text.find('\0');
      std::string_view item = text.substr(0, nul);
      if (item.empty()) break;
      array.items.emplace_back(std::string(item));
      if (nul == std::string_view::npos) break;
      text.remove_prefix(nul + 1);
    }
    return array;
  }

  const std::string& file_name_;
  const RegistryFile::WarningSink& warn_;
  RegistryFile registry_;
  std::map<std::string, RegistryValue>* current_key_ = nullptr;
  bool unicode_ = true;
};

RegistryFile RegistryFile::Load(const std::filesystem::path& path, const WarningSink& warn) {
  std::string bytes;
  try {
    bytes = core::File::ReadWhole(path.string(), "RegistryFile");
  } catch (const core::Error&) {
    return RegistryFile();
  }
  return Parse(bytes, path.string(), warn);
}

RegistryFile RegistryFile::Parse(std::string_view bytes, const std::string& file_name,
                                 const WarningSink& warn) {
  return RegistryFileParser(file_name, warn).Run(bytes);
}

std::filesystem::path RegistryFile::DefaultPath(const std::filesystem::path& program_folder) {
  const char* configured = std::getenv(kRegistryPathVariable);
  if (configured != nullptr && *configured != '\0') return configured;
  return program_folder / kRegistryFileName;
}

std::string RegistryFile::NormalizeKeyPath(std::string_view key_path) {
  std::string joined;
  bool first = true;
  while (!key_path.empty()) {
    size_t slash = key_path.find('\\');
    std::string_view element = key_path.substr(0, slash);
    key_path = slash == std::string_view::npos ? std::string_view() : key_path.substr(slash + 1);
    if (element.empty()) continue;
    if (!joined.empty()) joined += '\\';
    joined += first ? RootAlias(element) : element;
    first = false;
  }
  return core::FoldCase(joined);
}

bool RegistryFile::KeyExists(std::string_view key_path) const {
  std::string key = NormalizeKeyPath(key_path);
  if (key.empty()) return false;
  if (keys_.count(key) != 0) return true;
  auto below = keys_.lower_bound(key + "\\");
  return below != keys_.end() && below->first.starts_with(key + "\\");
}

const RegistryValue* RegistryFile::Find(std::string_view key_path,
                                        std::string_view value_name) const {
  auto key = keys_.find(NormalizeKeyPath(key_path));
  if (key == keys_.end()) return nullptr;
  auto value = key->second.find(value_name == "@" ? std::string() : core::FoldCase(value_name));
  return value == key->second.end() ? nullptr : &value->second;
}

std::vector<const RegistryValue*> RegistryFile::Values(std::string_view key_path) const {
  std::vector<const RegistryValue*> values;
  auto key = keys_.find(NormalizeKeyPath(key_path));
  if (key == keys_.end()) return values;
  for (const auto& [folded, value] : key->second) values.push_back(&value);
  return values;
}

std::optional<ado::Variant> RegistryFile::GetValue(std::string_view key_path,
                                                   std::string_view value_name) const {
  const RegistryValue* value = Find(key_path, value_name);
  if (value == nullptr) return std::nullopt;
  return value->value;
}

std::optional<RegistryValue> ReadProgramRegistryValue(std::string_view key_path,
                                                      std::string_view value_name,
                                                      const RegistryFile::WarningSink& warn) {
  const RegistryFile registry =
      RegistryFile::Load(RegistryFile::DefaultPath(ProgramFolder()), warn);
  const RegistryValue* value = registry.Find(key_path, value_name);
  if (value == nullptr) return std::nullopt;
  return *value;
}

}  // namespace qv::platform

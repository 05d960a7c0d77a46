#include "platform/IniFile.h"

#include <iterator>

#include "core/Error.h"
#include "core/File.h"
#include "core/Text.h"
#include "platform/CodePage.h"

namespace qv::platform {

namespace {

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

std::string CutToBuffer(std::string_view text, size_t buffer_size) {
  if (buffer_size == 0) return {};
  return std::string(core::CodePointPrefix(text, buffer_size - 1));
}

}  // namespace

IniFile IniFile::Load(const std::filesystem::path& path) {
  std::string bytes;
  try {
    bytes = core::File::ReadWhole(path.string(), "IniFile");
  } catch (const core::Error&) {
    return IniFile();
  }
  return Parse(DecodeTextFileBytes(bytes));
}

IniFile IniFile::Parse(std::string_view text) {
  IniFile ini;
  Section* current = nullptr;
  while (!text.empty()) {
    size_t end = text.find_first_of("\r\n");
    std::string_view line = core::Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);

    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      size_t close = line.find(']');
      std::string_view name =
          core::Trim(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
      ini.sections_.push_back(Section{core::FoldCase(name), {}});
      current = &ini.sections_.back();
      continue;
    }
    size_t equals = line.find('=');
    if (current == nullptr || equals == std::string_view::npos) continue;
    current->entries.push_back(Entry{core::FoldCase(core::Trim(line.substr(0, equals))),
                                     std::string(Unquote(core::Trim(line.substr(equals + 1))))});
  }
  return ini;
}

std::string IniFile::GetString(std::string_view section, std::string_view key,
                               std::string_view default_value, size_t buffer_size) const {
  const std::string folded_section = core::FoldCase(core::Trim(section));
  const std::string folded_key = core::FoldCase(core::Trim(key));
  for (const Section& candidate : sections_) {
    if (candidate.folded_name != folded_section) continue;
    for (const Entry& entry : candidate.entries) {
      if (entry.folded_key == folded_key) return CutToBuffer(entry.value, buffer_size);
    }
    break;  // only the first section of a name is searched
  }
  std::string_view fallback = default_value;
  while (!fallback.empty() && fallback.back() == ' ') fallback.remove_suffix(1);
  return CutToBuffer(fallback, buffer_size);
}

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view default_value, size_t buffer_size,
                                    const std::filesystem::path& path) {
  return IniFile::Load(path).GetString(section, key, default_value, buffer_size);
}

}  // namespace qv::platform

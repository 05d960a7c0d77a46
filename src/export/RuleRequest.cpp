#include "export/RuleRequest.h"

#include <filesystem>

#include "platform/CodePage.h"

namespace qv {

std::string UnwritableRequestParts(const std::string& import_rule, const std::string& target_path) {
  platform::CodePage ansi(platform::kCodePageAnsi);
  const std::string file_name = std::filesystem::path(target_path).filename().string();
  std::string parts;
  if (!ansi.CanRepresent(import_rule)) parts = "ImpID (tImportRuleFolder \"" + import_rule + "\")";
  if (!ansi.CanRepresent(file_name)) {
    parts += (parts.empty() ? "" : " and ") + std::string("FN (file name \"") + file_name + "\")";
  }
  if (parts.empty()) return parts;
  return parts +
         " holds characters the ANSI code page cannot write: the receiver gets '?' "
         "for each of them";
}

}  // namespace qv

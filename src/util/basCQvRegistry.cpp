#include "util/basCQvRegistry.h"

#include <optional>

#include "platform/RegistryFile.h"
#include "shared/EventSink.h"
#include "shared/QvSharedErrorLog.h"

namespace qv {

std::string RegistryRootName(uint32_t root) {
  switch (root) {
    case kHKeyClassesRoot:
      return "HKEY_CLASSES_ROOT";
    case kHKeyCurrentUser:
      return "HKEY_CURRENT_USER";
    case kHKeyLocalMachine:
      return "HKEY_LOCAL_MACHINE";
    case kHKeyUsers:
      return "HKEY_USERS";
    default:
      return {};
  }
}

ado::Variant ReadRegistryValue(uint32_t root, const std::string& key_path,
                               const std::string& sub_key, const std::string& value_name) {
  try {
    const std::string root_name = RegistryRootName(root);
    if (root_name.empty()) return {};
    // Registry keys keep "\" as their separator whatever the file system uses.
    const std::string full_path = root_name + "\\" + key_path + "\\" + sub_key + "\\";
    const std::optional<platform::RegistryValue> value =
        platform::ReadProgramRegistryValue(full_path, value_name, [](const std::string& warning) {
          TraceEvent(".ReadRegistryValue, " + warning, {}, kEventWarning, kLevelExport);
        });
    if (!value) return {};
    switch (value->type) {
      case platform::kRegSz:
      case platform::kRegExpandSz:
        return value->value.IsString() ? value->value : ado::Variant();
      case platform::kRegDword:
        return value->value.Type() == ado::VarType::kI4 ? value->value : ado::Variant();
      case platform::kRegBinary:
        return ado::Variant("<Binary Data>");
      default:
        return {};
    }
  } catch (...) {
    return {};
  }
}

}  // namespace qv

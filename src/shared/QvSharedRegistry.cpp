#include "shared/QvSharedRegistry.h"

#include <optional>
#include <utility>

#include "core/Clock.h"
#include "core/Text.h"
#include "platform/RegistryFile.h"

namespace qv {
namespace {

std::string WithoutTrailingBackslashes(std::string text) {
  while (!text.empty() && text.back() == '\\') text.pop_back();
  return text;
}

}  // namespace

QvSharedRegistry& QvSharedRegistry::Instance() {
  static QvSharedRegistry instance;
  return instance;
}

ado::Variant QvSharedRegistry::ReadValue(uint32_t hive, const std::string& key_path,
                                         const std::string& sub_key,
                                         const std::string& value_name) {
  Reader reader;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reader = reader_;
  }
  if (reader) return reader(hive, key_path, sub_key, value_name);
  return DefaultRead(hive, key_path, sub_key, value_name);
}

QvSharedRegistry::Reader QvSharedRegistry::SetReader(Reader reader) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::swap(reader_, reader);
  return reader;
}

ado::Variant QvSharedRegistry::ActiveTimeBias() {
  // The offset is seconds east of UTC; the bias counts minutes west.
  return ado::Variant(static_cast<int32_t>(-core::LocalNow().utc_offset_seconds / 60));
}

ado::Variant QvSharedRegistry::DefaultRead(uint32_t hive, const std::string& key_path,
                                           const std::string& sub_key,
                                           const std::string& value_name) {
  const std::string key = WithoutTrailingBackslashes(key_path) + "\\" + sub_key;
  if (hive == kHKeyLocalMachine &&
      core::EqualsIgnoreCase(WithoutTrailingBackslashes(key),
                             "System\\CurrentControlSet\\Control\\TimeZoneInformation") &&
      core::EqualsIgnoreCase(value_name, "ActiveTimeBias")) {
    return ActiveTimeBias();
  }
  // Every other value comes from the registry file: numbers and texts.
  if (hive == kHKeyLocalMachine) {
    const std::optional<platform::RegistryValue> value =
        platform::ReadProgramRegistryValue("HKEY_LOCAL_MACHINE\\" + key, value_name);
    if (value && (value->type == platform::kRegDword || value->type == platform::kRegSz ||
                  value->type == platform::kRegExpandSz)) {
      return value->value;
    }
  }
  return ado::Variant();
}

}  // namespace qv

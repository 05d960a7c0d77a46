#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "values/Variant.h"

namespace qv {

// Predefined key value of the hive the program reads.
inline constexpr uint32_t kHKeyLocalMachine = 0x80000002u;

// The process-wide registry reader, created on first use. It knows the time-zone bias
// (HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\TimeZoneInformation,
// "ActiveTimeBias"), computed from the system time zone; every other value of
// HKEY_LOCAL_MACHINE comes from the registry file (RegistryFile::DefaultPath): a 32-bit
// number as a whole number, a text as text; anything else is empty.
class QvSharedRegistry {
 public:
  using Reader =
      std::function<ado::Variant(uint32_t hive, const std::string& key_path,
                                 const std::string& sub_key, const std::string& value_name)>;

  static QvSharedRegistry& Instance();

  // The stored value: a 32-bit whole number for a number, or empty when there is none.
  // Key path, sub key and value name ignore case; the key path may end in "\".
  ado::Variant ReadValue(uint32_t hive, const std::string& key_path, const std::string& sub_key,
                         const std::string& value_name);

  // Replaces the reader (tests); an empty reader restores the default. Returns the
  // previous one.
  Reader SetReader(Reader reader);

  // Minutes such that UTC = local time + bias, for the current moment, as a kI4 value.
  static ado::Variant ActiveTimeBias();
  static ado::Variant DefaultRead(uint32_t hive, const std::string& key_path,
                                  const std::string& sub_key, const std::string& value_name);

 private:
  QvSharedRegistry() = default;

  std::mutex mutex_;
  Reader reader_;
};

}  // namespace qv

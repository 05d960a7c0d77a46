#pragma once

#include <string>

namespace qv {

// Values of the global ini file rxglobal.ini in the program folder.
class CQvGlobalSettings {
 public:
  // The value of `item` in `section` (both matched without regard to case), at most
  // 4,095 characters; empty when the file or the entry is missing, or after a failure
  // (logged through an event logger of its own).
  std::string GetGlobalSetting(const std::string& section, const std::string& item);
};

}  // namespace qv

#pragma once

#include <cstdint>
#include <string>

namespace qv {

// Numbers of the settings the program reads.
inline constexpr int32_t kSettingUploadUrl = 1;

// Single settings of the exporter, records of QvExportSettings.xml in the program
// folder (fields nID and tValue, text values in encoding 1). The file is read anew on
// every call; nothing is cached.
class CQvSettings {
 public:
  // The decoded tValue of the first record (in file order) whose nID is the number.
  // Empty when the file holds no such record or its value is null. A file that is
  // missing or cannot be read, or a record without tValue, is logged to
  // QvSharedErrorLog as "CQvSettings.GetSettingValue" and gives empty text.
  std::string GetSettingValue(int32_t lngSettingID);
};

}  // namespace qv

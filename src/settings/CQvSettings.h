#pragma once

#include <cstdint>
#include <string>

namespace qv {

// Numbers of the settings the program reads.
inline constexpr int32_t kSettingUploadUrl = 1;

// Single settings of the exporter, records of QvExportSettings.xml in the program
// folder (fields nID and tValue, text values in encoding 1). A value read is kept for
// the process only while the file stays the same file with the same size and times:
// a file changed or replaced in any way is read anew, as an edit between two uploads
// must count, and a run uploading thousands of files does not parse it for each.
class CQvSettings {
 public:
  // The decoded tValue of the first record (in file order) whose nID is the number.
  // Empty when the file holds no such record or its value is null. A file that is
  // missing or cannot be read, or a record without tValue, is logged to
  // QvSharedErrorLog as "CQvSettings.GetSettingValue" and gives empty text.
  std::string GetSettingValue(int32_t lngSettingID);
};

}  // namespace qv

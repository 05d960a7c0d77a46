#include "settings/CQvSettings.h"

#include <memory>

#include "ado/Recordset.h"
#include "core/Error.h"
#include "fs/basFileSystemPaths.h"
#include "platform/ProgramFolder.h"
#include "shared/ErrorBoundary.h"
#include "shared/QvSharedADO.h"
#include "shared/QvSharedStrings.h"
#include "store/CQvXMLManip.h"

namespace qv {
namespace {

constexpr char kSettingsFileName[] = "QvExportSettings.xml";
constexpr int32_t kSettingsEncodeType = 1;

}  // namespace

std::string CQvSettings::GetSettingValue(int32_t lngSettingID) {
  return Guard<std::string>(
      ReportToErrorLog, {},
      [&](int& line) -> std::string {
        line = 1;
        CQvXMLManip xml;
        std::shared_ptr<ado::Recordset> rs = xml.OpenXMLToRS(
            ConcatenatePath(platform::ProgramFolder(), std::string(kSettingsFileName)), true,
            kSettingsEncodeType);
        // An unreadable file has already been logged with its reason by the reader.
        if (!rs)
          throw core::Error(core::kErrObjectRequired, "CQvSettings", "No settings recordset");

        // A missing file gives a closed recordset, whose end test fails here.
        line = 2;
        std::string result;
        if (!rs->Eof()) {
          rs->SetFilter("nID=" + std::to_string(lngSettingID));
          if (!rs->Eof()) result = QvSharedStrings::ToText(rs->Fields().Item("tValue").Value());
        }
        line = 3;
        QvSharedADO().Release(rs);
        return result;
      },
      Fixed("CQvSettings.GetSettingValue"));
}

}  // namespace qv

#include "settings/CQvGlobalSettings.h"

#include "fs/CQvFileSystem.h"
#include "log/CQvEventLogger.h"
#include "platform/IniFile.h"
#include "platform/ProgramFolder.h"
#include "shared/ErrorBoundary.h"

namespace qv {
namespace {

constexpr char kIniFileName[] = "rxglobal.ini";
constexpr size_t kIniBufferSize = 4096;

void LogSettingsEvent(const std::string& message, const core::ErrorRecord& error,
                      int32_t event_type, int32_t caller_level) {
  core::ErrorRecord record = error;
  CQvEventLogger logger;
  logger.LogEvent(message, &record, event_type, caller_level);
}

std::string ReadIniValue(const std::string& path, const std::string& section,
                         const std::string& key) {
  return platform::GetPrivateProfileString(section, key, "", kIniBufferSize, path);
}

}  // namespace

std::string CQvGlobalSettings::GetGlobalSetting(const std::string& section,
                                                const std::string& item) {
  return Guard<std::string>(
      LogSettingsEvent, {},
      [&](int& line) -> std::string {
        line = 1;
        CQvFileSystem file_system;
        const std::string path =
            file_system.ConcatenatePath(platform::ProgramFolder(), std::string(kIniFileName));
        line = 2;
        if (!file_system.CheckFileExists(path, true)) return {};
        return ReadIniValue(path, section, item);
      },
      Fixed("CQvGlobalSettings.GetGlobalSetting"));
}

}  // namespace qv

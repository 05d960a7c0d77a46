#include "settings/basCommonRes.h"

#include <memory>

#include "log/CQvEventLogger.h"
#include "platform/ProgramFolder.h"
#include "settings/CQvGlobalSettings.h"
#include "shared/ErrorBoundary.h"
#include "shared/EventSink.h"
#include "shared/QvResourceStrings.h"

namespace qv {
namespace {

constexpr char kDefaultCulture[] = "en-US";

void LogSettingsEvent(const std::string& message, const core::ErrorRecord& error,
                      int32_t event_type, int32_t caller_level) {
  core::ErrorRecord record = error;
  CQvEventLogger logger;
  logger.LogEvent(message, &record, event_type, caller_level);
}

// The resource component, created by the first LoadCommonResString of the process.
std::unique_ptr<QvResourceStrings>& ResourceStrings() {
  static std::unique_ptr<QvResourceStrings> component;
  return component;
}

}  // namespace

std::string GetCulture() {
  return Guard<std::string>(
      LogSettingsEvent, kDefaultCulture,
      [&](int&) {
        std::string culture = CQvGlobalSettings().GetGlobalSetting("Localization", "Culture");
        if (culture.empty()) culture = kDefaultCulture;
        return culture;
      },
      [](int) { return ".GetCulture, App.Path:" + platform::ProgramFolder(); });
}

std::string LoadCommonResString(const std::string& identifier) {
  std::string culture;
  return Guard<std::string>(
      LogSettingsEvent, {},
      [&](int& line) {
        line = 1;
        std::unique_ptr<QvResourceStrings>& component = ResourceStrings();
        if (!component) {
          line = 2;
          // Stored before the culture is read: reading it logs, and logging asks for
          // texts, which must find the component instead of creating another.
          component = std::make_unique<QvResourceStrings>();
          line = 3;
          culture = GetCulture();
          component->SetCulture(culture);
        }
        line = 4;
        return component->GetString(identifier);
      },
      [&](int line) {
        return ".LoadCommonResString, strIdentifier=" + identifier + ", m_strCulture=" + culture +
               "  @Line#" + std::to_string(line);
      });
}

void InstallCommonResources() { SetResourceTextSource(&LoadCommonResString); }

void ReleaseCommonResStrings() { ResourceStrings().reset(); }

}  // namespace qv

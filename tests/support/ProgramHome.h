#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "log/CQvEventLogger.h"
#include "log/basEventLogger.h"
#include "settings/basCommonRes.h"
#include "support/TestFolder.h"

namespace qv::test {

// A temporary program folder with its own registry file, for the lifetime of the
// object: loggers read their level afresh and write their logs into it. The lower
// layers report through the logger and read resource texts, as in the program.
class ProgramHome {
 public:
  // `registry` is the body of registry.reg below the regedit header; none when empty.
  explicit ProgramHome(const std::string& registry = {}) {
    ::setenv("QVDATAEXPORTER_HOME", folder_.Path().c_str(), 1);
    const std::string registry_file = folder_.File("registry.reg");
    ::setenv("QVDATAEXPORTER_REGISTRY", registry_file.c_str(), 1);
    if (!registry.empty()) {
      WriteBytes(registry_file, "Windows Registry Editor Version 5.00\r\n\r\n" + registry);
    }
    CQvEventLogger::ResetSharedState();
    ReleaseCommonResStrings();
    InstallEventLogging();
    InstallCommonResources();
  }
  ~ProgramHome() {
    CQvEventLogger::SetClock(nullptr);
    CQvEventLogger::ResetSharedState();
    ReleaseCommonResStrings();
    ::unsetenv("QVDATAEXPORTER_HOME");
    ::unsetenv("QVDATAEXPORTER_REGISTRY");
  }
  ProgramHome(const ProgramHome&) = delete;
  ProgramHome& operator=(const ProgramHome&) = delete;

  const std::filesystem::path& Path() const { return folder_.Path(); }
  std::string File(const std::string& name) const { return folder_.File(name); }

  // Everything the application log files of the folder hold.
  std::string AppLogText() const {
    std::string text;
    for (const auto& entry : std::filesystem::directory_iterator(folder_.Path())) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("RX", 0) == 0 && entry.path().extension() == ".log") {
        text += ReadBytes(entry.path().string());
      }
    }
    return text;
  }

 private:
  TestFolder folder_;
};

// A registry body that sets EventLogLevel.
inline std::string EventLogLevel(int level) {
  char text[128];
  std::snprintf(text, sizeof text,
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\r\n\"EventLogLevel\"=dword:%08x\r\n",
                static_cast<unsigned>(level));
  return text;
}

}  // namespace qv::test

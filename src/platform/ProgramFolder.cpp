#include "platform/ProgramFolder.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace qv::platform {

std::string ProgramFolder() {
  if (const char* home = std::getenv("QVDATAEXPORTER_HOME"); home != nullptr && *home != '\0') {
    return home;
  }
  return ExecutableFolder();
}

std::string ProgramFolderOrigin() {
  if (const char* home = std::getenv("QVDATAEXPORTER_HOME"); home != nullptr && *home != '\0') {
    return {};
  }
  return "the executable's folder, as QVDATAEXPORTER_HOME is not set";
}

std::string ExecutableFolder() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || !exe.has_parent_path()) return ".";
  return exe.parent_path().string();
}

}  // namespace qv::platform

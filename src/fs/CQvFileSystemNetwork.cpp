// CQvFileSystem's operations on network paths, machines and disks.
#include <netdb.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "core/Text.h"
#include "fs/CQvFileSystem.h"
#include "fs/CQvFileSystemParts.h"
#include "util/basCQvRegistry.h"
#include "util/basCQvStringManipulation.h"
#include "util/basErrorHandling.h"
#include "values/Variant.h"

namespace qv {
namespace fs = std::filesystem;
using namespace file_system_parts;

namespace {

std::string LocalHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

// A text that is equal for two names of the same host: its canonical name.
std::string ResolveHostName(const std::string& name) {
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  hints.ai_family = AF_UNSPEC;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return {};
  std::string canonical = found->ai_canonname != nullptr ? found->ai_canonname : "";
  ::freeaddrinfo(found);
  return canonical;
}

std::string DoubleText(double value) { return ado::Variant(value).ToText(); }

// A folder named under the Windows CurrentVersion key, or `fallback` when none is set.
std::string WindowsFolder(const std::string& value_name, const char* fallback) {
  const ado::Variant value = ReadRegistryValue(kHKeyLocalMachine, "SOFTWARE\\Microsoft\\Windows",
                                               "CurrentVersion", value_name);
  if (value.IsString() && !value.AsString().empty()) return value.AsString();
  return fallback;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Network paths and disk space

std::string CQvFileSystem::GetMachineNameFromUNC(const std::string& unc_path) {
  if (!IsUNCPath(unc_path)) return {};
  return QvStrMan_GetField(unc_path, 3, kPathSeparatorText);
}

std::string CQvFileSystem::GetShareNameFromUNC(const std::string& unc_path) {
  if (!IsUNCPath(unc_path)) return {};
  return QvStrMan_GetField(unc_path, 4, kPathSeparatorText);
}

std::string CQvFileSystem::DriveLetter(const std::string& drive) {
  if (!drive.empty() && drive.back() == ':') return drive;
  return drive + ":";
}

std::string CQvFileSystem::GetMappedNetDrive(const std::string& /*drive_letter*/) { return {}; }

std::string CQvFileSystem::ConvertToUNC(const std::string& non_unc_file_path,
                                        const std::string& /*computer_name*/) {
  return Reported(Method("ConvertToUNC"), [&]() -> std::string {
    if (IsUNCPath(non_unc_file_path)) {
      return GetShareNameFromUNC(non_unc_file_path).empty() ? std::string() : non_unc_file_path;
    }
    if (non_unc_file_path.empty()) return {};
    // No local folder is mapped to a share, so a local path stays local.
    if (IsFolder(non_unc_file_path)) return AddPathToDir(non_unc_file_path);
    std::string folder;
    std::string name;
    std::string ext;
    SplitFilePath(non_unc_file_path, folder, name, ext);
    if (folder.empty()) return non_unc_file_path;
    return ConcatenatePath(folder, name);
  });
}

std::string CQvFileSystem::GetUNCPath(const std::string& non_unc_file_path) {
  return Reported(Method("GetUNCPath"), [&] { return ConvertToUNC(non_unc_file_path); });
}

std::string CQvFileSystem::GetLocalPath(const std::string& unc_file_path,
                                        const std::string& default_path) {
  return Reported(Method("GetLocalPath"), [&]() -> std::string {
    Log(Method("GetLocalPath") + ", UNCPath:" + unc_file_path + ", DefaultPath:" + default_path,
        kEventInformation, kLevelLookup);
    if (!IsUNCPath(unc_file_path)) return unc_file_path;
    std::string path = unc_file_path;
    if (IsFolder(path)) path = AddPathToDir(path);
    std::string folder;
    std::string name;
    std::string ext;
    SplitFilePath(path, folder, name, ext);
    if (default_path.empty()) return {};
    return ConcatenatePath(default_path, name);
  });
}

bool CQvFileSystem::IsSameComputer(const std::string& computer1, const std::string& computer2) {
  return Logged(Method("IsSameComputer"), false, [&] {
    std::string name1 = computer1;
    std::string name2 = computer2;
    if (IsUNCPath(name1) && !GetMachineNameFromUNC(name1).empty()) {
      name1 = GetMachineNameFromUNC(name1);
    }
    if (IsUNCPath(name2) && !GetMachineNameFromUNC(name2).empty()) {
      name2 = GetMachineNameFromUNC(name2);
    }
    if (core::EqualsIgnoreCase(name1, name2)) return true;
    const std::string resolved1 = ResolveHostName(name1);
    if (resolved1.empty()) return false;
    const std::string resolved2 = ResolveHostName(name2);
    return !resolved2.empty() && core::EqualsIgnoreCase(resolved1, resolved2);
  });
}

bool CQvFileSystem::IsSamePath(const std::string& path1, const std::string& path2) {
  return Reported(Method("IsSamePath"), [&] {
    if (path1.empty() || path2.empty()) return false;
    // Names differ in more ways than case and separators (links, "..", case-sensitive
    // names): for local paths, the disk answers whenever it can.
    if (!IsUNCPath(path1) && !IsUNCPath(path2)) {
      const std::string local1 = WithoutTrailingSeparators(path1);
      const std::string local2 = WithoutTrailingSeparators(path2);
      const bool exists1 = Exists(local1);
      const bool exists2 = Exists(local2);
      if (exists1 && exists2) {
        std::error_code ec;
        const bool same = fs::equivalent(local1, local2, ec);
        if (!ec) return same;
      } else if (exists1 != exists2) {
        return false;
      }
    }
    std::string p1 = AddPathToDir(path1);
    std::string p2 = AddPathToDir(path2);
    if (core::EqualsIgnoreCase(p1, p2)) return true;
    if (IsUNCPath(p1) && IsUNCPath(p2)) {
      const std::string server1 = GetMachineNameFromUNC(p1);
      const std::string server2 = GetMachineNameFromUNC(p2);
      if (!IsSameComputer(server1, server2)) return false;
      return core::EqualsIgnoreCase(p1.substr(2 + server1.size()), p2.substr(2 + server2.size()));
    }
    const std::string this_computer = LocalHostName();
    const bool on_this_computer =
        (!GetMachineNameFromUNC(p1).empty() &&
         core::EqualsIgnoreCase(GetMachineNameFromUNC(p1), this_computer)) ||
        (!GetMachineNameFromUNC(p2).empty() &&
         core::EqualsIgnoreCase(GetMachineNameFromUNC(p2), this_computer));
    std::string c1 = on_this_computer ? GetUNCPath(p1) : GetLocalPath(p1, "");
    std::string c2 = on_this_computer ? GetUNCPath(p2) : GetLocalPath(p2, "");
    if (core::EqualsIgnoreCase(c1, c2)) return true;
    c1 = GetUNCPath(GetLocalPath(p1, ""));
    c2 = GetUNCPath(GetLocalPath(p2, ""));
    return core::EqualsIgnoreCase(c1, c2);
  });
}

double CQvFileSystem::GetDiskFreeSpace(const std::string& path) {
  return ReportedByStep(
      [&](int& line) {
        line = 1;
        struct statvfs info {};
        if (::statvfs(path.c_str(), &info) != 0) {
          line = 2;
          Log(Method("QVGetUserCapacity") + "= 0 Result=0", kEventWarning, kLevelFailure);
          RaiseProgramError(kErrCouldNotGetDiskSpace, "orbCouldNotGetAvailableDiskSpaceError2", "",
                            {path});
        }
        line = 3;
        const double result =
            static_cast<double>(info.f_bavail) * static_cast<double>(info.f_frsize);
        Log(Method("GetDiskFreeSpace") + "= " + DoubleText(result), kEventInformation,
            kLevelLookup);
        return result;
      },
      AtLine(Method("GetDiskFreeSpace") + ", Line #"));
}

// ---------------------------------------------------------------------------------------
// System folders

std::string CQvFileSystem::GetSysDrive() { return kPathSeparatorText; }

std::string CQvFileSystem::GetProgramFilesFolder() {
  return Reported(Method("GetProgramFilesFolder"),
                  [&] { return WindowsFolder("ProgramFilesDir", "/opt"); });
}

std::string CQvFileSystem::GetCommonFilesFolder() {
  return Reported(Method("GetCommonFilesFolder"),
                  [&] { return WindowsFolder("CommonFilesDir", "/usr/local/share"); });
}

std::string CQvFileSystem::GetTolvaneCommonFolder() {
  return Reported(Method("GetTolvaneCommonFolder"),
                  [&] { return ConcatenatePath(GetCommonFilesFolder(), std::string("Tolvane")); });
}

}  // namespace qv

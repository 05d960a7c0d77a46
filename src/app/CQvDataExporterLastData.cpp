// The last-data store of the change-detecting exports.

#include <memory>
#include <string>

#include "app/CQvDataExporter.h"
#include "fs/CQvFileSystem.h"
#include "fs/basFileSystemPaths.h"
#include "shared/ErrorBoundary.h"
#include "shared/QvSharedFileSystem.h"
#include "store/CQvXMLManip.h"

namespace qv {
namespace {

const std::string kClass = "CQvDataExporter";
constexpr const char* kLastFolder = "last";
constexpr int32_t kPlainText = 1;

struct SplitPath {
  std::string folder;  // with its final "/", or empty
  std::string file_name;
};

SplitPath Split(const std::string& path) {
  SplitPath split;
  std::string extension;
  QvSharedFileSystem::SplitFilePath(path, split.folder, split.file_name, extension);
  return split;
}

}  // namespace

std::string CQvDataExporter::GetLasDataFolder(const std::string& result_path) const {
  const SplitPath split = Split(result_path);
  // Joining an empty folder would point at the root.
  if (split.folder.empty()) return kLastFolder;
  return ConcatenatePath(split.folder, kLastFolder);
}

std::string CQvDataExporter::GetLasDataFileName(const std::string& result_path) const {
  return ConcatenatePath(GetLasDataFolder(result_path), Split(result_path).file_name);
}

std::shared_ptr<ado::Recordset> CQvDataExporter::GetLastDataRS(const std::string& result_path) {
  try {
    const std::string last_file = GetLasDataFileName(result_path);
    Trace("Trying to get last data from: " + last_file, kEventInformation);

    CQvFileSystem file_system;
    if (!file_system.CheckFileExists(last_file, true) &&
        file_system.CheckFileExists(result_path, true)) {
      std::string source = result_path;
      std::string target = last_file;
      if (file_system.BackupFile(source, target)) {
        Trace("Needed to created the last data file " + last_file + " from: " + result_path,
              kEventInformation);
      }
    }

    if (!file_system.CheckFileExists(last_file, true)) return nullptr;
    Trace("Loading last data into RS from: " + last_file, kEventInformation);
    CQvXMLManip manip;
    std::shared_ptr<ado::Recordset> last = manip.OpenXMLToRS(last_file, false, kPlainText);
    if (!last || last->State() != ado::adStateOpen) {
      throw ado::Error(ado::kErrInvalidPersistedFile, kClass,
                       last_file + " cannot be read as a recordset");
    }
    return last;
  } catch (...) {
    Trace(kClass + ".GetRS", kEventWarning, CurrentErrorRecord());
    ++stats_.failures;
    return nullptr;
  }
}

bool CQvDataExporter::CreateLastDataFileFromRS(const std::string& result_path,
                                               const std::shared_ptr<ado::Recordset>& rs) {
  int line = 0;
  try {
    line = 1;
    const std::string last_file = GetLasDataFileName(result_path);
    const std::string folder = Split(last_file).folder;

    line = 2;
    if (!folder.empty() && !QvSharedFileSystem::CheckFolderExists(folder, true)) {
      QvSharedFileSystem::CreateFolder(folder);
    }

    line = 3;
    Trace("Saving last data xml to: " + last_file, kEventInformation);

    line = 4;
    if (!rs) throw ado::Error(ado::kErrObjectRequired, kClass, "no recordset");
    if (rs->State() == ado::adStateOpen && rs->RecordCount() == 0) {
      // An empty result is no reason to forget the last data: it is reported, but it is
      // not a failure of the run.
      Trace(kClass + ".CreateLastDataFileFromRS, @Line#" + std::to_string(line), kEventWarning,
            ado::ErrorRecord{ado::kErrNoCurrentRecord, kClass,
                             "the result has no records; the last data stays as it was", "", 0});
      return false;
    }
    rs->MoveFirst();

    line = 5;
    CQvXMLManip manip;
    if (!manip.SaveRSToXML(rs, last_file, false, false, kPlainText)) {
      throw ado::Error(ado::kErrPathNotFound, kClass, last_file + " could not be written");
    }
    return true;
  } catch (...) {
    Trace(kClass + ".CreateLastDataFileFromRS, @Line#" + std::to_string(line), kEventWarning,
          CurrentErrorRecord());
    ++stats_.failures;
    return false;
  }
}

bool CQvDataExporter::CreateLastDataFile(const std::string& result_path) {
  try {
    const std::string last_file = GetLasDataFileName(result_path);
    Trace("Saving last data xml to: " + last_file, kEventInformation);
    CQvFileSystem file_system;
    std::string source = result_path;
    std::string target = last_file;
    if (file_system.BackupFile(source, target)) return true;
    throw ado::Error(ado::kErrPathNotFound, kClass, last_file + " could not be written");
  } catch (...) {
    Trace(kClass + ".CreateLastDataFile", kEventWarning, CurrentErrorRecord());
    ++stats_.failures;
    return false;
  }
}

}  // namespace qv

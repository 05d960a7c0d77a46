// The last-data store of the change-detecting exports.

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "core/Folder.h"
#include "core/PosixError.h"
#include "export/CQvDataExporter.h"
#include "export/ResultFileNames.h"
#include "fs/CQvFileSystem.h"
#include "fs/basFileSystemPaths.h"
#include "shared/ErrorBoundary.h"
#include "shared/QvSharedFileSystem.h"
#include "store/CQvXMLManip.h"
#include "store/XmlFileStream.h"

namespace qv {
namespace {

const std::string kClass = "CQvDataExporter";
constexpr const char* kLastFolder = "last";
constexpr const char* kDeliveredFolder = "LastTx";
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

std::string CQvDataExporter::FindLastData(const std::string& result_path) {
  std::string last_file = GetLasDataFileName(result_path);
  Trace("Trying to get last data from: " + last_file, kEventInformation);
  // Last data is only what this program wrote there: a link is none.
  if (core::KindOf(last_file) == core::EntryKind::kLink) return {};

  CQvFileSystem file_system;
  if (!file_system.CheckFileExists(last_file, true)) {
    std::string source = DeliveredWholeResult(result_path);
    std::string target = last_file;
    if (!source.empty()) CreateOwnFolderOf(last_file);
    if (!source.empty() && file_system.BackupFile(source, target)) {
      Trace("Needed to created the last data file " + last_file + " from: " + source,
            kEventInformation);
    }
  }

  if (!file_system.CheckFileExists(last_file, true)) return {};
  Trace("Loading last data into RS from: " + last_file, kEventInformation);
  return last_file;
}

std::shared_ptr<ado::Recordset> CQvDataExporter::GetLastDataRS(const std::string& result_path) {
  return Guarded(
      nullptr,
      [&](int&) -> std::shared_ptr<ado::Recordset> {
        const std::string last_file = FindLastData(result_path);
        if (last_file.empty()) return nullptr;
        CQvXMLManip manip;
        std::shared_ptr<ado::Recordset> last = manip.OpenXMLToRS(last_file, false, kPlainText);
        if (!last || last->State() != ado::adStateOpen) {
          // Left in place it would fail every later run the same way.
          SetAsideLastData(result_path, last_file + " cannot be read as a recordset");
          return nullptr;
        }
        return last;
      },
      Fixed(kClass + ".GetRS"));
}

std::string CQvDataExporter::DeliveredWholeResult(const std::string& result_path) const {
  namespace fs = std::filesystem;
  const SplitPath split = Split(result_path);
  const fs::path last_tx = fs::path(split.folder.empty() ? "." : split.folder) / kDeliveredFolder;
  const fs::path copy = last_tx / split.file_name;
  std::error_code ec;
  if (core::KindOf(copy.string()) != core::EntryKind::kFile) return {};
  const fs::file_time_type delivered = fs::last_write_time(copy, ec);
  if (ec) return {};
  // A change file written after the whole result holds a newer state than the copy.
  for (const fs::path& file : ListFiles(last_tx, core::Folder::Reach::kOwn).files) {
    if (!IsChangeFileOf(file.filename().string(), split.file_name)) continue;
    const fs::file_time_type written = fs::last_write_time(file, ec);
    if (ec || written >= delivered) return {};
  }
  return copy.string();
}

void CQvDataExporter::SetAsideLastData(const std::string& result_path, const std::string& reason) {
  const std::string last_file = GetLasDataFileName(result_path);
  const std::string bad_file = last_file + ".bad";
  std::string outcome = "it was moved to " + bad_file;
  try {
    const SplitPath split = Split(bad_file);
    if (!core::Folder::Open(split.folder, core::Folder::Reach::kOwn, kClass)
             .MoveIn(last_file, split.file_name)) {
      throw core::ErrorFromErrno(EXDEV, kClass, "Cannot move " + last_file);
    }
  } catch (const core::Error& error) {
    outcome = "it could not be moved aside (" + error.record().description + ")";
  }
  Trace(kClass + ".GetRS, the last data cannot be used: " + last_file + "; " + outcome +
            ", and the rule runs as without last data",
        kEventWarning, core::ErrorRecord{core::kErrInvalidPersistedFile, kClass, reason, "", 0});
  ++stats_.failures;
}
bool CQvDataExporter::CreateLastDataFileFromRS(const std::string& result_path,
                                               const std::shared_ptr<ado::Recordset>& rs) {
  return Guarded(
      false,
      [&](int& line) {
        line = 1;
        const std::string last_file = GetLasDataFileName(result_path);

        line = 2;
        CreateOwnFolderOf(last_file);

        line = 3;
        Trace("Saving last data xml to: " + last_file, kEventInformation);

        line = 4;
        if (!rs) throw core::Error(core::kErrObjectRequired, kClass, "no recordset");
        if (rs->State() == ado::adStateOpen && rs->RecordCount() == 0) {
          // An empty result is no reason to forget the last data: a warning, not a failure.
          Trace(kClass + ".CreateLastDataFileFromRS, the result has no records; the last data " +
                    "stays as it was: " + last_file,
                kEventWarning);
          return false;
        }
        rs->MoveFirst();

        line = 5;
        CQvXMLManip manip;
        if (!manip.SaveRSToXML(rs, last_file, false, false, kPlainText, flush_each_file_)) {
          throw core::Error(core::kErrPathNotFound, kClass, last_file + " could not be written");
        }
        return true;
      },
      AtLine(kClass + ".CreateLastDataFileFromRS, @Line#"));
}

bool CQvDataExporter::CommitNewLastData(const std::string& result_path, XmlFileStream& file) {
  const std::string last_file = GetLasDataFileName(result_path);
  Trace("Saving last data xml to: " + last_file, kEventInformation);
  if (file.Rows() == 0) {
    Trace(kClass + ".CreateLastDataFileFromRS, the result has no records; the last data " +
              "stays as it was: " + last_file,
          kEventWarning);
    return false;
  }
  return Guarded(
      false,
      [&](int&) {
        file.Commit(flush_each_file_);
        return true;
      },
      Fixed(kClass + ".CreateLastDataFileFromRS, @Line#5"));
}

bool CQvDataExporter::CreateLastDataFile(const std::string& result_path) {
  return Guarded(
      false,
      [&](int&) {
        const std::string last_file = GetLasDataFileName(result_path);
        Trace("Saving last data xml to: " + last_file, kEventInformation);
        CreateOwnFolderOf(last_file);
        CQvFileSystem file_system;
        std::string source = result_path;
        std::string target = last_file;
        if (file_system.BackupFile(source, target)) return true;
        throw core::Error(core::kErrPathNotFound, kClass, last_file + " could not be written");
      },
      Fixed(kClass + ".CreateLastDataFile"));
}

}  // namespace qv

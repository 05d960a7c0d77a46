#include "export/LastDataStore.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "core/AtomicFile.h"
#include "core/Folder.h"
#include "core/PosixError.h"
#include "export/ResultFileNames.h"
#include "fs/CQvFileSystem.h"
#include "fs/basFileSystemPaths.h"
#include "shared/QvSharedErrorLog.h"
#include "shared/QvSharedFileSystem.h"
#include "store/CQvXMLManip.h"
#include "store/XmlFileStream.h"

namespace qv {
namespace {

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

std::string LastDataStore::GetLasDataFolder(const std::string& result_path) const {
  const SplitPath split = Split(result_path);
  // Joining an empty folder would point at the root.
  if (split.folder.empty()) return kLastFolder;
  return ConcatenatePath(split.folder, kLastFolder);
}

std::string LastDataStore::GetLasDataFileName(const std::string& result_path) const {
  return ConcatenatePath(GetLasDataFolder(result_path), Split(result_path).file_name);
}

std::string LastDataStore::FindLastData(const std::string& result_path) {
  std::string last_file = GetLasDataFileName(result_path);
  context_.Trace("Trying to get last data from: " + last_file, kEventInformation);
  // Last data is only what this program wrote there: a link is none.
  if (core::KindOf(last_file) == core::EntryKind::kLink) return {};

  CQvFileSystem file_system;
  if (!file_system.CheckFileExists(last_file, true)) {
    std::string source = DeliveredWholeResult(result_path);
    std::string target = last_file;
    if (!source.empty()) CreateOwnFolderOf(last_file, kExporterClass);
    if (!source.empty() && file_system.BackupFile(source, target)) {
      context_.Trace("Needed to created the last data file " + last_file + " from: " + source,
                     kEventInformation);
    }
  }

  if (!file_system.CheckFileExists(last_file, true)) return {};
  context_.Trace("Loading last data into RS from: " + last_file, kEventInformation);
  return last_file;
}

std::shared_ptr<ado::Recordset> LastDataStore::GetLastDataRS(const std::string& result_path) {
  return context_.Guarded(
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
      Fixed(kExporterClass + ".GetRS"));
}

std::string LastDataStore::DeliveredWholeResult(const std::string& result_path) const {
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

void LastDataStore::SetAsideLastData(const std::string& result_path, const std::string& reason) {
  const std::string last_file = GetLasDataFileName(result_path);
  const std::string bad_file = last_file + ".bad";
  std::string outcome = "it was moved to " + bad_file;
  try {
    const SplitPath split = Split(bad_file);
    if (!core::Folder::Open(split.folder, core::Folder::Reach::kOwn, kExporterClass)
             .MoveIn(last_file, split.file_name)) {
      throw core::ErrorFromErrno(EXDEV, kExporterClass, "Cannot move " + last_file);
    }
  } catch (const core::Error& error) {
    outcome = "it could not be moved aside (" + error.record().description + ")";
  }
  context_.Trace(kExporterClass + ".GetRS, the last data cannot be used: " + last_file + "; " +
                     outcome + ", and the rule runs as without last data",
                 kEventWarning,
                 core::ErrorRecord{core::kErrInvalidPersistedFile, kExporterClass, reason, "", 0});
  ++context_.stats.failures;
}

bool LastDataStore::CreateLastDataFileFromRS(const std::string& result_path,
                                             const std::shared_ptr<ado::Recordset>& rs) {
  return context_.Guarded(
      false,
      [&](int& line) {
        line = 1;
        const std::string last_file = GetLasDataFileName(result_path);

        line = 2;
        CreateOwnFolderOf(last_file, kExporterClass);

        line = 3;
        context_.Trace("Saving last data xml to: " + last_file, kEventInformation);

        line = 4;
        if (!rs) throw core::Error(core::kErrObjectRequired, kExporterClass, "no recordset");
        if (rs->State() == ado::adStateOpen && rs->RecordCount() == 0) {
          // An empty result is no reason to forget the last data: a warning, not a failure.
          context_.Trace(
              kExporterClass +
                  ".CreateLastDataFileFromRS, the result has no records; the last data " +
                  "stays as it was: " + last_file,
              kEventWarning);
          return false;
        }
        rs->MoveFirst();

        line = 5;
        CQvXMLManip manip;
        if (!manip.SaveRSToXML(rs, last_file, false, false, kPlainText, context_.flush_each_file)) {
          throw core::Error(core::kErrPathNotFound, kExporterClass,
                            last_file + " could not be written");
        }
        return true;
      },
      AtLine(kExporterClass + ".CreateLastDataFileFromRS, @Line#"));
}

bool LastDataStore::CommitNewLastData(const std::string& result_path, XmlFileStream& file) {
  const std::string last_file = GetLasDataFileName(result_path);
  context_.Trace("Saving last data xml to: " + last_file, kEventInformation);
  if (file.Rows() == 0) {
    context_.Trace(kExporterClass +
                       ".CreateLastDataFileFromRS, the result has no records; the last data " +
                       "stays as it was: " + last_file,
                   kEventWarning);
    return false;
  }
  return context_.Guarded(
      false,
      [&](int&) {
        file.Commit(context_.flush_each_file);
        return true;
      },
      Fixed(kExporterClass + ".CreateLastDataFileFromRS, @Line#5"));
}

bool LastDataStore::CreateLastDataFile(const std::string& result_path) {
  return context_.Guarded(
      false,
      [&](int&) {
        const std::string last_file = GetLasDataFileName(result_path);
        context_.Trace("Saving last data xml to: " + last_file, kEventInformation);
        CreateOwnFolderOf(last_file, kExporterClass);
        CQvFileSystem file_system;
        std::string source = result_path;
        std::string target = last_file;
        if (file_system.BackupFile(source, target)) return true;
        throw core::Error(core::kErrPathNotFound, kExporterClass,
                          last_file + " could not be written");
      },
      Fixed(kExporterClass + ".CreateLastDataFile"));
}

void LastDataStore::WriteLastDataFile(const std::string& last_file, const std::string& xml) {
  CreateOwnFolderOf(last_file, kExporterClass);
  context_.Trace("Saving last data xml to: " + last_file, kEventInformation);
  // A new file renamed over the old one: another name of the old file keeps its bytes.
  core::AtomicFile file(last_file, kExporterClass);
  file.Write(xml);
  file.Commit(context_.flush_each_file ? core::AtomicFile::Durability::kFlushed
                                       : core::AtomicFile::Durability::kRenameOnly);
}

void LastDataStore::SaveLastDataKeys(const std::string& result_path, EntityIndex& keys) {
  const std::string last_file = GetLasDataFileName(result_path);
  try {
    keys.Save(last_file);
  } catch (const core::Error& error) {
    // Only a shortcut: the next run reads the last data itself.
    context_.Trace(kExporterClass +
                       ".Export_DiffPerEntity, the keys of the last data could not be saved: " +
                       EntityIndex::KeysFileOf(last_file),
                   kEventWarning, error.record());
  }
}

}  // namespace qv

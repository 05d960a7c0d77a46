#include "fs/CQvFileSystem.h"

#include "fs/CQvFileSystemParts.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "core/Clock.h"
#include "core/File.h"
#include "core/PosixError.h"
#include "core/Text.h"
#include "shared/ErrorBoundary.h"
#include "shared/EventSink.h"
#include "shared/QvSharedFileSystem.h"
#include "util/basCQvRegistry.h"
#include "util/basCQvStringManipulation.h"
#include "util/basErrorHandling.h"
#include "values/Variant.h"

namespace qv {
namespace fs = std::filesystem;
using namespace file_system_parts;

namespace {

constexpr char kDefaultInvalidCharSet[] = "\\ / : * ? \" < > |";

// File attribute bits of the attribute values callers pass and get.
constexpr int32_t kAttributeReadOnly = 1;
constexpr int32_t kAttributeHidden = 2;
constexpr int32_t kAttributeDirectory = 16;

// Guard's report for the operations that tell their failure on standard error only.
auto StandardErrorReport(const char* operation) {
  return [operation](const std::string&, const core::ErrorRecord& error, int32_t, int32_t) {
    // Through std::cerr, which carries the journal's priorities when it is the journal.
    std::cerr << "Error (" << operation << "): " << error.description
              << "\r\nError Number: " << error.number << std::endl;
  };
}

// Guard's report for the operations whose failure is their neutral result alone.
void ReportNothing(const std::string&, const core::ErrorRecord&, int32_t, int32_t) {}

std::vector<std::string> CodePoints(const std::string& text) {
  std::vector<std::string> result;
  for (size_t i = 0; i < text.size();) {
    const size_t length =
        std::min(core::Utf8SequenceLength(static_cast<unsigned char>(text[i])), text.size() - i);
    result.push_back(text.substr(i, length));
    i += length;
  }
  return result;
}

std::vector<std::string> Split(const std::string& text, const std::string& delimiter) {
  std::vector<std::string> parts;
  if (delimiter.empty()) {
    parts.push_back(text);
    return parts;
  }
  size_t start = 0;
  for (;;) {
    const size_t at = text.find(delimiter, start);
    if (at == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + delimiter.size();
  }
}

std::string RemoveAll(std::string text, const std::string& what) {
  if (what.empty()) return text;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) {
    text.erase(at, what.size());
  }
  return text;
}

int32_t FileAttributes(const fs::path& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec) return 0;
  int32_t attributes = 0;
  if (fs::is_directory(status)) attributes |= kAttributeDirectory;
  if ((status.permissions() & fs::perms::owner_write) == fs::perms::none) {
    attributes |= kAttributeReadOnly;
  }
  const std::string name = path.filename().string();
  if (name.size() > 1 && name[0] == '.' && name != "..") attributes |= kAttributeHidden;
  return attributes;
}

// Removes a folder tree; entries that block removal for lack of write permission on
// their folder are made writable first.
void RemoveTree(const fs::path& folder) {
  std::error_code ec;
  fs::remove_all(folder, ec);
  if (!ec) return;
  std::error_code walk_ec;
  fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, walk_ec);
  for (auto it = fs::recursive_directory_iterator(folder, walk_ec);
       !walk_ec && it != fs::recursive_directory_iterator(); it.increment(walk_ec)) {
    std::error_code perm_ec;
    if (it->is_directory(perm_ec) && !it->is_symlink(perm_ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, perm_ec);
    }
  }
  ec.clear();
  fs::remove_all(folder, ec);
  if (ec) throw core::ErrorFromCode(ec, "", folder.string());
}

}  // namespace

void CQvFileSystem::ReportFailure(const std::string& message, const core::ErrorRecord& error,
                                  int32_t event_type, int32_t caller_level) {
  core::ErrorRecord logged = error;
  logger_->LogEvent(message, &logged, event_type, caller_level);
}

CQvFileSystem::CQvFileSystem() : logger_(NewEventLog()) {
  logger_->InitializeEventLogger();
  Log("'" + std::string(kClassName) + "' instance " + std::to_string(instance_number_) + " created",
      kEventInformation, kLevelObject);
}

CQvFileSystem::~CQvFileSystem() {
  Log("'" + std::string(kClassName) + "' instance " + std::to_string(instance_number_) +
          " is terminating",
      kEventInformation, kLevelObject);
}

void CQvFileSystem::Log(const std::string& message, int32_t event_type, int32_t caller_level) {
  logger_->LogEvent(message, nullptr, event_type, caller_level);
}

// ---------------------------------------------------------------------------------------
// Paths and folders

std::string CQvFileSystem::ConcatenatePath(std::string& first_path, std::string& second_path) {
  return Reported(Method("ConcatenatePath"),
                  [&] { return qv::ConcatenatePath(first_path, second_path); });
}

std::string CQvFileSystem::ConcatenatePath(const std::string& first_path,
                                           const std::string& second_path) {
  std::string first = first_path;
  std::string second = second_path;
  return ConcatenatePath(first, second);
}

void CQvFileSystem::SplitFilePath(const std::string& full_file_name, std::string& path,
                                  std::string& file_name, std::string& ext) {
  Reported(Method("SplitFilePath"),
           [&] { QvSharedFileSystem::SplitFilePath(full_file_name, path, file_name, ext); });
}

std::string CQvFileSystem::AddPathToDir(const std::string& location) {
  if (!location.empty() && location.back() == kPathSeparator) return location;
  return location + kPathSeparator;
}

std::string CQvFileSystem::GetFileName(const std::string& file_name) {
  const size_t slash = file_name.rfind(kPathSeparator);
  return slash == std::string::npos ? file_name : file_name.substr(slash + 1);
}

bool CQvFileSystem::IsUNCPath(const std::string& path) {
  return path.size() >= 2 && path[0] == kPathSeparator && path[1] == kPathSeparator;
}

bool CQvFileSystem::IsFolder(const std::string& path) {
  return Logged(Method("IsFolder"), false, [&] {
    if (!path.empty() && path.back() == kPathSeparator) return true;
    if (CheckFileExists(path, true)) return false;
    if (CheckFolderExists(path, true)) return true;
    const std::string last = GetFileName(path);
    return last.empty() || last.find('.') == std::string::npos;
  });
}

bool CQvFileSystem::CheckFolderExists(const std::string& path, bool silent) {
  return Reported(Method("CheckFolderExists"), [&] {
    if (QvSharedFileSystem::CheckFolderExists(path, true)) return true;
    if (!silent) RaiseProgramError(kErrPathNotFound9005, "orbPathNotFoundError3", "", {path});
    return false;
  });
}

bool CQvFileSystem::CheckFileExists(const std::string& file_name, bool silent) {
  if (QvSharedFileSystem::CheckFileExists(file_name, true)) return true;
  if (silent || file_name.empty()) return false;
  // Not there, or not to be looked at: which one is reported.
  std::error_code ec;
  static_cast<void>(fs::status(file_name, ec));
  if (!ec || ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) {
    return false;
  }
  const int32_t number = core::ErrorFromCode(ec, "", file_name).number();
  if (number == core::kErrBadFileNameOrNumber || number == core::kErrFileNotFound ||
      number == core::kErrPathNotFound) {
    Reported(Method("CheckFileExists"), [&] {
      RaiseProgramError(kErrFileNotFound9010, "orbFileNotFoundError3", "", {file_name});
    });
    return false;
  }
  return Reported(Method("CheckFileExists") + ", File:" + file_name,
                  [&]() -> bool { throw core::ErrorFromCode(ec, "", file_name); });
}

bool CQvFileSystem::CreateFolder(const std::string& path_name) {
  return Reported(Method("CreateFolder"), [&] {
    const std::string path = AddPathToDir(std::string(core::Trim(path_name, " ")));
    if (path.find_first_not_of(kPathSeparator) == std::string::npos) return false;
    // The server and share of a UNC path cannot be created; the walk starts below them.
    size_t levels_to_skip = IsUNCPath(path) ? 2 : 0;
    size_t from = IsUNCPath(path) ? 2 : 1;
    for (size_t at = path.find(kPathSeparator, from); at != std::string::npos;
         at = path.find(kPathSeparator, at + 1)) {
      if (levels_to_skip > 0) {
        --levels_to_skip;
        continue;
      }
      const std::string level = path.substr(0, at);
      if (!CheckFolderExists(level, true)) {
        std::error_code ec;
        fs::create_directory(level, ec);  // a level that fails is skipped; see below
      }
    }
    // Callers rely on the folder being there, so the answer is what the disk says.
    return CheckFolderExists(WithoutTrailingSeparators(path), true);
  });
}

bool CQvFileSystem::IsValidFileName(const std::string& file_name, std::string& invalid_char_set,
                                    std::string& invalid_char_found,
                                    const std::string& char_delimiter) {
  return Logged(Method("IsValidFileName"), true, [&] {
    if (invalid_char_set.empty()) invalid_char_set = kDefaultInvalidCharSet;
    for (const std::string& character : CodePoints(RemoveAll(invalid_char_set, char_delimiter))) {
      if (file_name.find(character) != std::string::npos) {
        invalid_char_found = character;
        return false;
      }
    }
    return true;
  });
}

bool CQvFileSystem::IsValidFileName(const std::string& file_name,
                                    const std::string& char_delimiter) {
  std::string set;
  std::string found;
  return IsValidFileName(file_name, set, found, char_delimiter);
}

std::string CQvFileSystem::EscapeFileName(const std::string& file_name,
                                          std::string& invalid_char_set,
                                          std::string& /*invalid_char_found*/,
                                          const std::string& char_delimiter) {
  return Logged(Method("EscapeFileName"), std::string(), [&] {
    if (invalid_char_set.empty()) invalid_char_set = kDefaultInvalidCharSet;
    ado::Array search;
    ado::Array replacement;
    for (const std::string& entry : Split(invalid_char_set, char_delimiter)) {
      if (entry.empty()) continue;
      search.items.emplace_back(entry);
      replacement.items.emplace_back(QvStrMan_UrlEncode(entry));
    }
    return QvStrMan_ReplaceStringVar(file_name, ado::Variant(std::move(search)),
                                     ado::Variant(std::move(replacement)));
  });
}

std::string CQvFileSystem::EscapeFileName(const std::string& file_name,
                                          const std::string& char_delimiter) {
  std::string set;
  std::string found;
  return EscapeFileName(file_name, set, found, char_delimiter);
}

// ---------------------------------------------------------------------------------------
// File operations

std::string CQvFileSystem::GetBackupPostfix() {
  const core::LocalTime now = core::LocalNow();
  char text[48];
  std::snprintf(text, sizeof text, "_%04d-%02d-%02d_%02d.%02d.%02d.bak", now.year, now.month,
                now.day, now.hour, now.minute, now.second);
  return text;
}

bool CQvFileSystem::BackupFile(std::string& file_to_backup, std::string& backup_file) {
  return Reported(Method("BackupFile"), [&] {
    if (!CheckFileExists(file_to_backup, true)) return false;
    if (backup_file.empty()) {
      std::string folder;
      std::string name;
      std::string ext;
      SplitFilePath(file_to_backup, folder, name, ext);
      // A bare file name lives in the current folder, not in the root.
      if (folder.empty()) folder = ".";
      const std::string backup_folder = ConcatenatePath(folder, std::string("Backup"));
      if (!CheckFolderExists(backup_folder, true)) CreateFolder(backup_folder);
      backup_file = ConcatenatePath(backup_folder, name) + GetBackupPostfix();
    }
    return CopyFileFSO(file_to_backup, backup_file);
  });
}

bool CQvFileSystem::BackupFile(const std::string& file_to_backup) {
  std::string file = file_to_backup;
  std::string backup;
  return BackupFile(file, backup);
}

bool CQvFileSystem::BackupFolder(const std::string& folder_to_backup, std::string& backup_folder) {
  return Reported(Method("BackupFolder"), [&] {
    if (!CheckFolderExists(folder_to_backup, true)) return false;
    if (backup_folder.empty()) {
      std::string folder = folder_to_backup;
      if (folder.size() > 1 && folder.back() == kPathSeparator) folder.pop_back();
      backup_folder = folder + GetBackupPostfix();
    }
    return CopyFolder(folder_to_backup, backup_folder, true, false);
  });
}

bool CQvFileSystem::CopyFileFSO(const std::string& source, const std::string& destination) {
  return qv::CopyFileFSO(source, destination);
}

bool CQvFileSystem::CopyFolder(const std::string& source_folder,
                               const std::string& destination_folder, bool /*overwrite_files*/,
                               bool /*silent*/) {
  // Files in the target are always replaced, and nothing is ever shown: the two flags
  // change nothing here.
  const std::string message =
      Method("CopyFolder") + ", Source:" + source_folder + " , Destination:" + destination_folder;
  return Reported(message, [&] {
    std::error_code ec;
    if (source_folder.empty() || destination_folder.empty() ||
        !fs::is_directory(source_folder, ec)) {
      return false;
    }
    const fs::path target = WithoutTrailingSeparators(destination_folder);
    if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
    ec.clear();
    fs::copy(source_folder, target,
             fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    if (!ec) return true;
    if (core::ErrorFromCode(ec, "", source_folder).number() != core::kErrPermissionDenied) {
      core::ErrorRecord error = core::ErrorFromCode(ec, "", source_folder).record();
      logger_->LogEvent(message, &error, kEventWarning, kLevelFailure);
      return false;
    }
    const std::string read_only = GetFirstFileWithAttribute(source_folder, kAttributeReadOnly);
    if (!read_only.empty()) {
      RaiseProgramError(kErrFileReadOnly, "orbFileReadOnlyError", "", {read_only});
    }
    throw core::ErrorFromCode(ec, "", destination_folder);
  });
}

void CQvFileSystem::CopyFolderByFile(const std::string& source_folder,
                                     const std::string& target_folder) {
  std::error_code ec;
  if (!fs::is_directory(source_folder, ec)) return;
  std::vector<FsoFile> files;
  GetFiles(source_folder, files);
  for (const FsoFile& file : files) {
    qv::CopyFileFSO(file.Path, ConcatenatePath(target_folder, file.Name));
  }
  std::vector<fs::path> subfolders;
  for (const auto& entry : fs::directory_iterator(source_folder)) {
    if (entry.is_directory()) subfolders.push_back(entry.path());
  }
  std::sort(subfolders.begin(), subfolders.end());
  for (const fs::path& subfolder : subfolders) {
    CopyFolderByFile(subfolder.string(),
                     ConcatenatePath(target_folder, subfolder.filename().string()));
  }
}

bool CQvFileSystem::Rename(const std::string& old_path, const std::string& new_path) {
  if (old_path.empty() || new_path.empty()) return false;
  return Reported(Method("RenameFile") + ", Old: " + old_path + " New: " + new_path, [&] {
    if (FileAttributes(old_path) == kAttributeReadOnly) {
      RaiseProgramError(kErrFileReadOnly, "orbFileReadOnlyError", "", {old_path});
    }
    // Moving never replaces what is already there.
    if (Exists(new_path)) throw core::Error(58, "", "File already exists: " + new_path);
    std::error_code ec;
    const bool known = fs::is_directory(old_path, ec) || CheckFileExists(old_path, true);
    if (!known) {
      Log(std::string(kClassName) +
              " Had to use the old Rename procedure, which may not support encoded characters.",
          kEventWarning, kLevelFileChange);
    }
    fs::rename(old_path, new_path, ec);
    if (ec == std::errc::cross_device_link) {
      ec.clear();
      fs::copy(old_path, new_path, fs::copy_options::recursive, ec);
      if (!ec) fs::remove_all(old_path, ec);
    }
    if (ec) throw core::ErrorFromCode(ec, "", old_path);
    Log(Method("Rename") + ", Old: " + old_path + " New: " + new_path, kEventWarning,
        kLevelFileChange);
    return true;
  });
}

bool CQvFileSystem::DeleteFile(const std::string& path_name, bool /*silent*/) {
  if (path_name.empty()) return false;
  const bool deleted = Reported(Method("DeleteFile"), [&] {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path_name, ec);
    if (ec || fs::is_directory(status) || !fs::exists(status)) return false;
    return fs::remove(path_name, ec) && !ec;
  });
  Log(Method("DeleteFile") + ", File: " + path_name, kEventWarning, kLevelFileChange);
  return deleted;
}

std::string CQvFileSystem::DeleteFolder(std::string& folder, bool /*silent*/) {
  return Reported(Method("DeleteFolder"), [&] {
    if (!CheckFolderExists(folder, true)) return std::string("True");
    if (folder.size() > 1 && folder.back() == kPathSeparator) folder.pop_back();
    const fs::path target = fs::absolute(folder).lexically_normal();
    if (target == target.root_path() || WithoutTrailingSeparators(folder).empty()) {
      throw core::Error(core::kErrInvalidProcedureCall, "", "Refusing to delete a root folder");
    }
    RemoveTree(folder);
    return std::string("True");
  });
}

std::string CQvFileSystem::DeleteFolder(const std::string& folder, bool silent) {
  std::string copy = folder;
  return DeleteFolder(copy, silent);
}

bool CQvFileSystem::DeleteFolders(const std::string& list) {
  return Guard(
      StandardErrorReport("DeleteFolders"), false,
      [&](int&) {
        for (const std::string& entry : Split(list, ";")) {
          std::error_code ec;
          if (!entry.empty() && fs::is_directory(entry, ec)) RemoveTree(entry);
        }
        return true;
      },
      Fixed(""));
}

bool CQvFileSystem::DeleteFiles(const std::string& list) {
  return Guard(
      StandardErrorReport("DeleteFiles"), false,
      [&](int&) {
        for (const std::string& entry : Split(list, ";")) {
          std::error_code ec;
          if (entry.empty() || !fs::is_regular_file(entry, ec)) continue;
          fs::remove(entry, ec);
          if (ec) throw core::ErrorFromCode(ec, "", entry);
        }
        return true;
      },
      Fixed(""));
}

bool CQvFileSystem::AreFilesTheSame(const std::string& file1, const std::string& file2,
                                    bool stringent_check) {
  return Guard(
      ReportNothing, false,
      [&](int&) {
        std::error_code ec;
        if (!fs::is_regular_file(file1, ec) || !fs::is_regular_file(file2, ec)) return false;
        const uintmax_t size1 = fs::file_size(file1, ec);
        if (ec) return false;
        const uintmax_t size2 = fs::file_size(file2, ec);
        if (ec || size1 != size2) return false;
        if (!stringent_check) return true;

        // A file that cannot be opened or read compares unequal.
        core::File a = core::File::Open(file1, O_RDONLY, kClassName);
        core::File b = core::File::Open(file2, O_RDONLY, kClassName);
        constexpr size_t kBlock = 1 << 20;
        std::vector<char> block_a(kBlock);
        std::vector<char> block_b(kBlock);
        for (;;) {
          const size_t n_a = a.ReadBlock(block_a.data(), kBlock);
          const size_t n_b = b.ReadBlock(block_b.data(), kBlock);
          if (n_a != n_b) return false;
          if (n_a == 0) return true;
          if (std::memcmp(block_a.data(), block_b.data(), n_a) != 0) return false;
        }
      },
      Fixed(""));
}

bool CQvFileSystem::GetFiles(const std::string& directory, std::vector<FsoFile>& files) {
  return Reported(Method("GetFiles"), [&] {
    std::error_code ec;
    if (directory.empty() || !fs::is_directory(directory, ec)) return false;
    std::vector<FsoFile> found;
    for (const auto& entry : fs::directory_iterator(directory)) {
      if (!entry.is_regular_file()) continue;
      FsoFile file;
      file.Name = entry.path().filename().string();
      file.Path = ConcatenatePath(directory, file.Name);
      file.Size = entry.file_size();
      struct stat info {};
      if (::stat(file.Path.c_str(), &info) == 0) file.DateLastModified = info.st_mtime;
      found.push_back(std::move(file));
    }
    std::sort(found.begin(), found.end(),
              [](const FsoFile& x, const FsoFile& y) { return x.Name < y.Name; });
    files = std::move(found);
    return true;
  });
}

std::string CQvFileSystem::GetFirstFileWithAttribute(const std::string& folder,
                                                     int32_t attribute_mask) {
  return Reported(Method("GetFirstFileWithAttribute"), [&]() -> std::string {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) return {};
    std::vector<FsoFile> files;
    GetFiles(folder, files);
    for (const FsoFile& file : files) {
      if ((FileAttributes(file.Path) & attribute_mask) != 0) return file.Path;
    }
    std::vector<fs::path> subfolders;
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (entry.is_directory() && !entry.is_symlink()) subfolders.push_back(entry.path());
    }
    std::sort(subfolders.begin(), subfolders.end());
    for (const fs::path& subfolder : subfolders) {
      std::string found = GetFirstFileWithAttribute(subfolder.string(), attribute_mask);
      if (!found.empty()) return found;
    }
    return {};
  });
}

bool CQvFileSystem::IsFileOpen(const std::string& file_name) {
  // Closing also drops a lock this may just have taken.
  const core::File file = core::File::TryOpen(file_name, O_RDONLY, kClassName);
  return file.IsOpen() && ::flock(file.Descriptor(), LOCK_EX | LOCK_NB) != 0 &&
         errno == EWOULDBLOCK;
}

}  // namespace qv

#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "core/Error.h"
#include "fs/basFileSystemPaths.h"

namespace qv {

class EventLog;

// One file of a folder listing.
struct FsoFile {
  std::string Name;  // file name with extension
  std::string Path;  // full path
  uint64_t Size = 0;
  std::time_t DateLastModified = 0;
};

// The program's file system services: path texts, existence checks, folders, backups,
// copies, renames, deletes, file comparison, listings, network paths, free space and
// system folders.
//
// Paths use "/" (kPathSeparator); a UNC path is "//server/share/...". Every operation
// works on the names as given, whatever characters they hold; nothing goes through a
// shell.
//
// Failures: unless an operation says otherwise, an unexpected failure is logged through
// the object's own event log (a CQvEventLogger once logging is installed)
// ("CQvFileSystem.<Operation>", event type 2, caller level 1) and then thrown again to the caller
// as core::Error with the same number, source and description. Program errors carry
// kObjectErrorBase + their number (basErrorHandling.h).
class CQvFileSystem {
 public:
  CQvFileSystem();
  ~CQvFileSystem();
  CQvFileSystem(const CQvFileSystem&) = delete;
  CQvFileSystem& operator=(const CQvFileSystem&) = delete;

  // --- Paths and folders ---

  // first + "/" + second, after removing every trailing "/" of `first` and every
  // leading "/" of `second`. The overload taking variables writes the trimmed texts back.
  std::string ConcatenatePath(std::string& first_path, std::string& second_path);
  std::string ConcatenatePath(const std::string& first_path, const std::string& second_path);

  // Splits a full name into folder (with its final "/"), file name (with extension)
  // and extension (after the last "."). Out-texts that a name does not fill are left
  // as they were: a blank name fills nothing, a name without "." leaves `ext`, and a
  // name ending in "/" is all path (empty file name, `ext` left).
  void SplitFilePath(const std::string& full_file_name, std::string& path, std::string& file_name,
                     std::string& ext);

  // The location with a final "/" (an empty location gives "/").
  std::string AddPathToDir(const std::string& location);
  // The text after the last "/", or the whole text without one.
  std::string GetFileName(const std::string& file_name);
  // True when the path starts with "//".
  bool IsUNCPath(const std::string& path);

  // True when the folder exists. A missing folder gives false when silent, and throws
  // error 9005 (logged) otherwise.
  bool CheckFolderExists(const std::string& path, bool silent = false);
  // True when the file exists (a missing file gives false even when not silent). A
  // name that cannot be looked at gives false, or error 9010 when not silent; a file
  // that is there but locked or unreadable counts as existing.
  bool CheckFileExists(const std::string& file_name, bool silent = false);

  // Creates every missing folder along the path (the root, and the server and share
  // of a UNC path, are never created). True when the folder exists afterwards; false
  // for an empty path or the root alone.
  bool CreateFolder(const std::string& path_name);

  // True when none of the invalid characters occurs in the name; otherwise false with
  // the first invalid character (in set order) in `invalid_char_found`. An empty set
  // becomes the default "\ / : * ? \" < > |" (written back); every occurrence of
  // `char_delimiter` is taken out of the set first.
  bool IsValidFileName(const std::string& file_name, std::string& invalid_char_set,
                       std::string& invalid_char_found, const std::string& char_delimiter);
  bool IsValidFileName(const std::string& file_name, const std::string& char_delimiter = {});

  // The name (trimmed of spaces) with every entry of the invalid set (split at the
  // delimiter) replaced by its URL encoding. Failures are logged, not thrown: "".
  std::string EscapeFileName(const std::string& file_name, std::string& invalid_char_set,
                             std::string& invalid_char_found, const std::string& char_delimiter);
  std::string EscapeFileName(const std::string& file_name, const std::string& char_delimiter = " ");

  // --- File operations ---

  // Copies an existing file to `backup_file`; an empty backup name becomes
  // <folder>/Backup/<name>_yyyy-mm-dd_hh.mm.ss.bak (folder created, name written
  // back). False when the file does not exist.
  bool BackupFile(std::string& file_to_backup, std::string& backup_file);
  bool BackupFile(const std::string& file_to_backup);

  // Copies an existing folder to `backup_folder`; an empty name becomes the folder
  // (without a final "/") followed by the backup postfix. False when it does not exist.
  bool BackupFolder(const std::string& folder_to_backup, std::string& backup_folder);

  // Copies one file, replacing the destination and creating its folder; see
  // qv::CopyFileFSO.
  bool CopyFileFSO(const std::string& source, const std::string& destination);

  // Copies the folder with everything below it to the destination folder, replacing
  // files there and creating missing folders. False when the source is not a folder
  // or the copy failed. A refused access caused by a read-only file throws error 9012
  // naming that file.
  bool CopyFolder(const std::string& source_folder, const std::string& destination_folder,
                  bool overwrite_files = true, bool silent = false);

  // Moves a file or folder to a new name. False when either name is empty; a file
  // that is read-only and nothing else throws error 9012.
  bool Rename(const std::string& old_path, const std::string& new_path);

  // Removes one file for good (not a folder). False when the path is empty, missing,
  // a folder, or cannot be removed. Logs the attempt (caller level 32).
  bool DeleteFile(const std::string& path_name, bool silent = false);

  // Removes the folder with everything in it (read-only entries included). Returns the
  // text "True" when no failure occurred, also when there was no folder; a final "/"
  // of the variable is removed.
  std::string DeleteFolder(std::string& folder, bool silent = false);
  std::string DeleteFolder(const std::string& folder, bool silent = false);

  // Whether two existing regular files are equal: by length alone, or with
  // `stringent_check` byte by byte. Any failure gives false; nothing is logged.
  bool AreFilesTheSame(const std::string& file1, const std::string& file2,
                       bool stringent_check = false);

  // The regular files of a folder, in name order. False (and `files` untouched) when
  // the folder does not exist.
  bool GetFiles(const std::string& directory, std::vector<FsoFile>& files);

  // True when another process holds an exclusive lock on the file; false otherwise,
  // also when the file does not exist.
  bool IsFileOpen(const std::string& file_name);

  // --- Network paths and disk space ---

  // Server (field 3) and share (field 4) of a "//server/share/..." path; "" otherwise.
  std::string GetMachineNameFromUNC(const std::string& unc_path);
  std::string GetShareNameFromUNC(const std::string& unc_path);
  // No drive is mapped to a network share here: always "".
  std::string GetMappedNetDrive(const std::string& drive_letter);
  // A local path as its network form: with no mapped drives a folder comes back with a
  // final "/" and a file unchanged; a UNC path with a share unchanged, without one "".
  std::string ConvertToUNC(const std::string& non_unc_file_path,
                           const std::string& computer_name = {});
  std::string GetUNCPath(const std::string& non_unc_file_path);
  // A UNC file mapped by name into `default_path` ("" without one); other paths unchanged.
  std::string GetLocalPath(const std::string& unc_file_path, const std::string& default_path);
  // Equal names (case-insensitive), or names that resolve to the same canonical host
  // name. Failures are logged: false.
  bool IsSameComputer(const std::string& computer1, const std::string& computer2);
  // Whether two paths name the same file or folder. When both exist the file system
  // decides (same device and inode); when only one exists they differ; otherwise the
  // texts are compared case-insensitively, after UNC and local conversion.
  bool IsSamePath(const std::string& path1, const std::string& path2);
  // Bytes available to this user on the volume of `path`; error 9003 when unknown.
  double GetDiskFreeSpace(const std::string& path);

  // --- System folders ---

  // "/": the root of the system's file tree.
  std::string GetSysDrive();
  // The registry values ProgramFilesDir / CommonFilesDir of
  // HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion when set, else
  // "/opt" / "/usr/local/share".
  std::string GetProgramFilesFolder();
  std::string GetCommonFilesFolder();
  // The maker's folder below the common files folder.
  std::string GetTolvaneCommonFolder();

  // The backup postfix for the present moment: "_yyyy-mm-dd_hh.mm.ss.bak".
  static std::string GetBackupPostfix();

 private:
  bool IsFolder(const std::string& path);
  void CopyFolderByFile(const std::string& source_folder, const std::string& target_folder);
  bool DeleteFolders(const std::string& list);
  bool DeleteFiles(const std::string& list);
  std::string GetFirstFileWithAttribute(const std::string& folder, int32_t attribute_mask);
  std::string DriveLetter(const std::string& drive);

  void Log(const std::string& message, int32_t event_type, int32_t caller_level);
  // The event-log report for Guard: the failure at the level it was given.
  void ReportFailure(const std::string& message, const core::ErrorRecord& error, int32_t event_type,
                     int32_t caller_level);
  // Runs `body`; a failure is logged as `message` and thrown again.
  template <typename Body>
  auto Reported(const std::string& message, Body&& body) -> decltype(body());
  // Reported for a body that counts its steps, `message(step)` naming the failure.
  template <typename Body, typename Message>
  auto ReportedByStep(Body&& body, Message&& message) -> std::invoke_result_t<Body&, int&>;
  // Runs `body`; a failure is logged as `message` and `neutral` returned.
  template <typename Body, typename Result>
  Result Logged(const std::string& message, Result neutral, Body&& body);

  int32_t instance_number_ = 0;
  std::unique_ptr<EventLog> logger_;
};

}  // namespace qv

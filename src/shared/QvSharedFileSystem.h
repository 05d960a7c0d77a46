#pragma once

#include <string>
#include <vector>

namespace qv {

// File and folder services over std::filesystem. "Silent" means the operation answers
// false where it would otherwise throw. Failures throw core::Error (file error numbers).
class QvSharedFileSystem {
 public:
  // True when the folder exists.
  static bool CheckFolderExists(const std::string& path, bool silent);
  // True when a file (not a folder) exists at the path. A file that cannot be looked
  // at for lack of permission counts as existing.
  static bool CheckFileExists(const std::string& path, bool silent);

  // Fills the folder part (with its final "/"), the file name (with its extension) and
  // the extension (without the "."; written only when the name has one). An empty or
  // blank full name writes nothing; a full name ending in "/" is all folder.
  static void SplitFilePath(const std::string& full_name, std::string& path, std::string& file_name,
                            std::string& extension);

  // Creates the folder and every missing parent. True when the folder exists afterwards.
  static bool CreateFolder(const std::string& path);

  // The files of the folder (not sub-folders), as full paths sorted by name. False,
  // with `files` untouched, when the folder does not exist.
  static bool GetFiles(const std::string& folder, std::vector<std::string>& files);

  // Copies the file. With `backup_path` empty a fresh name in the same folder is chosen
  // (name_yyyymmdd_hhmmss.ext, with a counter when taken) and written back; a given
  // backup path is replaced. False when the file does not exist; throws when the copy
  // fails.
  static bool BackupFile(const std::string& path, std::string& backup_path);

  // True when the file was deleted; false when there was none. A failure throws, or
  // gives false when silent.
  static bool DeleteFile(const std::string& path, bool silent);

  // The name, trimmed of blanks, with every entry of `invalid_set` (split at
  // `delimiter`) replaced by its percent-encoding. An empty set becomes the default
  // "\ / : * ? " < > |" and is written back. `found` is not set.
  static std::string EscapeFileName(const std::string& file_name, std::string& invalid_set,
                                    std::string& found, const std::string& delimiter);
};

}  // namespace qv

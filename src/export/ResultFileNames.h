#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Folder.h"

namespace qv {

// Names of the files the change-detecting exports write for one result file.

// The folders beside a result: its last data, its delivered files, its undelivered ones.
inline constexpr const char* kLastFolder = "last";
inline constexpr const char* kDeliveredFolder = "LastTx";
inline constexpr const char* kUndeliveredFolder = "Unsent";

// The file of the page of rows `start` to `end` of a paged result: the result path,
// "_", the two row numbers joined by "-", and ".xml".
std::string PageFilePath(const std::string& result_path, int32_t start, int32_t end);

// The file of part `part` (from 0) of a split result: the result path, "_" and the number.
std::string PartFilePath(const std::string& result_path, size_t part);

// Whether `file_name` is a part file of the result named `result_name` (PartFilePath).
bool IsPartFileOf(std::string_view file_name, std::string_view result_name);

// Whether `file_name` is a page file of the result named `result_name` (PageFilePath):
// that name, "_", two row numbers joined by "-", and ".xml".
bool IsPageFileOf(std::string_view file_name, std::string_view result_name);

// The pending deletions of a paged result: the rows of entities gone from it whose
// deletions were not delivered yet, in its last folder.
std::string PendingDeletionsFileOf(const std::string& last_folder, const std::string& result_name);

// A page's last data as it was before a run replaced it, kept while that run may still
// need its rows: the page's last-data file name + ".was".
std::string FormerPageFileOf(const std::string& page_last_file);
// Whether `file_name` is a former page file of the result named `result_name`.
bool IsFormerPageFileOf(std::string_view file_name, std::string_view result_name);

// The record, in the last folder, of a result, change or page file sent for entities
// its last data lacks: "." + the file's name + ".sent". It keeps the entity's row until the
// last data has it, so that its deletion is not lost to a stopped run.
// A file sent again before its record went gets a record of its own: `copy` 1, 2 ... adds
// "." and the number before ".sent".
std::string SentRecordFileOf(const std::string& last_folder, const std::string& change_file,
                             int copy = 0);
// Whether `file_name` is such a record of a file of the result named `result_name`.
bool IsSentRecordOf(std::string_view file_name, std::string_view result_name);

// Whether `file_name` is a change file of the result named `result_name`: that name, a
// number of one to six digits, and ".xml".
bool IsChangeFileOf(std::string_view file_name, std::string_view result_name);

// The result names `file_name` is a change file of (IsChangeFileOf): one for each way
// its digits may be split off, so none, one or up to six.
std::vector<std::string_view> ResultsOfChangeFile(std::string_view file_name);

// Whether `file_name` is a temporary file made while writing or copying a file whose
// name starts with `result_name` (the result, its pages and change files): "." + that
// name + ".tmp" and eight hexadecimal digits, or + "." and six letters or digits.
bool IsTemporaryOf(std::string_view file_name, std::string_view result_name);

// What a listing of a folder found, never following a symbolic link: its regular files,
// and the links where files (or, refused by `reach`, the folder itself) were expected.
struct FolderFiles {
  std::vector<std::filesystem::path> files;
  std::vector<std::filesystem::path> links;
};
FolderFiles ListFiles(const std::filesystem::path& folder, core::Folder::Reach reach);

// Removes the regular files of `folder` whose names `wanted` takes, by name under the
// folder opened as `reach` allows; the links found there (or the folder itself, when it
// is a link refused) go to `links` and are left as they are. How many went. Nothing
// there is none; another failure throws core::Error.
size_t RemoveFilesIn(const std::filesystem::path& folder, core::Folder::Reach reach,
                     const std::function<bool(const std::string&)>& wanted,
                     std::vector<std::filesystem::path>& links);

// The regular files directly in `folder` (which may be reached through a link); none
// when it cannot be listed.
std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& folder);

// The folder part of a path, with its final separator; empty for a bare name.
std::string FolderOf(const std::string& path);
// Makes the folder of `file` when it is missing (a result's folder, maybe a link).
void CreateFolderOf(const std::string& file);
// Makes the folder of `file`, one the program owns (last): a link in its place throws.
void CreateOwnFolderOf(const std::string& file, const std::string& source);

}  // namespace qv

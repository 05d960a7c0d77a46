#pragma once

#include <string>

// Path routines of the basFileSystem module for code outside CQvFileSystem.
namespace qv {

// The separator between folders.
inline constexpr char kPathSeparator = '/';
inline constexpr const char* kPathSeparatorText = "/";

// first + "/" + second, after removing every trailing "/" of `first` and every
// leading "/" of `second`. The overload taking variables writes the trimmed texts back.
// ("/a//" and "//b" give "/a/b"; an empty first gives "/" + second.)
std::string ConcatenatePath(std::string& first_path, std::string& second_path);
std::string ConcatenatePath(const std::string& first_path, const std::string& second_path);

// Copies one file over the kernel's copy, replacing an existing destination and
// creating the destination's folder. A source with "*" or "?" that is not itself an
// existing file is a pattern for the files of its folder, copied into the destination
// folder: true when at least one file matched and all were copied. False for an empty
// source and when source and destination are the same file (nothing is copied).
// Failures are traced ("basFileSystem.CopyFileFSO, Source:...") and thrown as program
// error 9013 ("orbCopyingFileError": source, destination, the failure's description).
bool CopyFileFSO(const std::string& source, const std::string& destination);

}  // namespace qv

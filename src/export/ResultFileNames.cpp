#include "export/ResultFileNames.h"

#include <algorithm>
#include <cctype>

#include "shared/QvSharedFileSystem.h"

namespace qv {
namespace {

bool AllOf(std::string_view text, int (*test)(int)) {
  return std::all_of(text.begin(), text.end(),
                     [test](char c) { return test(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

std::string PageFilePath(const std::string& result_path, int32_t start, int32_t end) {
  return result_path + "_" + std::to_string(start) + "-" + std::to_string(end) + ".xml";
}

std::string PartFilePath(const std::string& result_path, size_t part) {
  return result_path + "_" + std::to_string(part);
}

bool IsPartFileOf(std::string_view file_name, std::string_view result_name) {
  if (file_name.size() <= result_name.size() + 1 || !file_name.starts_with(result_name) ||
      file_name[result_name.size()] != '_') {
    return false;
  }
  return file_name.find_first_not_of("0123456789", result_name.size() + 1) ==
         std::string_view::npos;
}

std::string PendingDeletionsFileOf(const std::string& last_folder, const std::string& result_name) {
  return (std::filesystem::path(last_folder) / ("." + result_name + ".deleted")).string();
}

namespace {
constexpr std::string_view kFormerExtension = ".was";
}  // namespace

std::string SentRecordFileOf(const std::string& last_folder, const std::string& change_file,
                             int copy) {
  std::string name = "." + std::filesystem::path(change_file).filename().string();
  if (copy > 0) name += "." + std::to_string(copy);
  return (std::filesystem::path(last_folder) / (name + ".sent")).string();
}

bool IsSentRecordOf(std::string_view file_name, std::string_view result_name) {
  constexpr std::string_view kSent = ".sent";
  if (file_name.size() <= 1 + kSent.size() || file_name.front() != '.' ||
      !file_name.ends_with(kSent)) {
    return false;
  }
  std::string_view sent = file_name.substr(1, file_name.size() - 1 - kSent.size());
  // A record of a file sent again ends in "." and its number.
  if (const size_t dot = sent.rfind('.'); dot != std::string_view::npos && dot + 1 < sent.size() &&
                                          AllOf(sent.substr(dot + 1), std::isdigit)) {
    sent = sent.substr(0, dot);
  }
  if (sent == result_name || IsPageFileOf(sent, result_name)) return true;
  // A change file of the result or of one of its pages.
  for (const std::string_view of : ResultsOfChangeFile(sent)) {
    if (of == result_name || IsPageFileOf(of, result_name)) return true;
  }
  return false;
}

std::string FormerPageFileOf(const std::string& page_last_file) {
  return page_last_file + std::string(kFormerExtension);
}

bool IsFormerPageFileOf(std::string_view file_name, std::string_view result_name) {
  return file_name.ends_with(kFormerExtension) &&
         IsPageFileOf(file_name.substr(0, file_name.size() - kFormerExtension.size()), result_name);
}

bool IsPageFileOf(std::string_view file_name, std::string_view result_name) {
  constexpr std::string_view kExtension = ".xml";
  if (file_name.size() <= result_name.size() + 1 + kExtension.size() ||
      !file_name.starts_with(result_name) || file_name[result_name.size()] != '_' ||
      !file_name.ends_with(kExtension)) {
    return false;
  }
  const std::string_view rows = file_name.substr(
      result_name.size() + 1, file_name.size() - result_name.size() - 1 - kExtension.size());
  const size_t dash = rows.find('-');
  return dash != std::string_view::npos && dash > 0 && dash + 1 < rows.size() &&
         AllOf(rows.substr(0, dash), std::isdigit) && AllOf(rows.substr(dash + 1), std::isdigit);
}

bool IsChangeFileOf(std::string_view file_name, std::string_view result_name) {
  constexpr std::string_view kExtension = ".xml";
  if (file_name.size() <= result_name.size() + kExtension.size() ||
      !file_name.starts_with(result_name) || !file_name.ends_with(kExtension)) {
    return false;
  }
  const std::string_view number = file_name.substr(
      result_name.size(), file_name.size() - result_name.size() - kExtension.size());
  return !number.empty() && number.size() <= 6 && AllOf(number, std::isdigit);
}

std::vector<std::string_view> ResultsOfChangeFile(std::string_view file_name) {
  constexpr std::string_view kExtension = ".xml";
  std::vector<std::string_view> results;
  if (!file_name.ends_with(kExtension)) return results;
  const std::string_view stem = file_name.substr(0, file_name.size() - kExtension.size());
  for (size_t digits = 1; digits <= 6 && digits < stem.size(); ++digits) {
    if (!std::isdigit(static_cast<unsigned char>(stem[stem.size() - digits]))) break;
    results.push_back(stem.substr(0, stem.size() - digits));
  }
  return results;
}

bool IsTemporaryOf(std::string_view file_name, std::string_view result_name) {
  if (result_name.empty() || !file_name.starts_with('.')) return false;
  const std::string_view rest = file_name.substr(1);
  if (!rest.starts_with(result_name)) return false;
  constexpr std::string_view kSaveMark = ".tmp";
  if (rest.size() >= result_name.size() + kSaveMark.size() + 8) {
    const std::string_view tail = rest.substr(rest.size() - 12);
    if (tail.starts_with(kSaveMark) && AllOf(tail.substr(4), std::isxdigit)) return true;
  }
  if (rest.size() >= result_name.size() + 7) {
    const std::string_view tail = rest.substr(rest.size() - 7);
    if (tail[0] == '.' && AllOf(tail.substr(1), std::isalnum)) return true;
  }
  return false;
}

FolderFiles ListFiles(const std::filesystem::path& folder, core::Folder::Reach reach) {
  FolderFiles found;
  try {
    const core::Folder open = core::Folder::Open(folder.string(), reach, "ListFiles");
    for (core::FolderEntry& entry : open.List()) {
      if (entry.kind == core::EntryKind::kFile) found.files.push_back(folder / entry.name);
      if (entry.kind == core::EntryKind::kLink) found.links.push_back(folder / entry.name);
    }
  } catch (const core::Error&) {
    if (core::KindOf(folder.string()) == core::EntryKind::kLink) found.links.push_back(folder);
  }
  return found;
}

size_t RemoveFilesIn(const std::filesystem::path& folder, core::Folder::Reach reach,
                     const std::function<bool(const std::string&)>& wanted,
                     std::vector<std::filesystem::path>& links) {
  core::Folder open;
  try {
    open = core::Folder::Open(folder.string(), reach, "RemoveFilesIn");
  } catch (const core::Error&) {
    if (core::KindOf(folder.string()) != core::EntryKind::kLink) throw;
    links.push_back(folder);
    return 0;
  }
  size_t removed = 0;
  for (const core::FolderEntry& entry : open.List()) {
    if (entry.kind == core::EntryKind::kLink) links.push_back(folder / entry.name);
    if (entry.kind == core::EntryKind::kFile && wanted(entry.name)) {
      removed += open.RemoveFile(entry.name);
    }
  }
  return removed;
}

std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& folder) {
  return ListFiles(folder, core::Folder::Reach::kFollow).files;
}

std::string FolderOf(const std::string& path) {
  std::string folder;
  std::string file_name;
  std::string extension;
  QvSharedFileSystem::SplitFilePath(path, folder, file_name, extension);
  return folder;
}

void CreateFolderOf(const std::string& file) {
  const std::string folder = FolderOf(file);
  if (!folder.empty() && !QvSharedFileSystem::CheckFolderExists(folder, true)) {
    QvSharedFileSystem::CreateFolder(folder);
  }
}

void CreateOwnFolderOf(const std::string& file, const std::string& source) {
  const std::string folder = FolderOf(file);
  if (!folder.empty()) core::Folder::Make(folder, core::Folder::Reach::kOwn, source);
}

}  // namespace qv

#include "shared/QvSharedFileSystem.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "core/Clock.h"
#include "core/PosixError.h"
#include "core/Text.h"
#include "shared/QvSharedStrings.h"

namespace qv {
namespace fs = std::filesystem;
namespace {

constexpr char kSource[] = "QvSharedFileSystem";
constexpr char kDefaultInvalidSet[] = "\\ / : * ? \" < > |";

bool EndsWithIgnoreCase(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         core::EqualsIgnoreCase(std::string_view(text).substr(text.size() - suffix.size()), suffix);
}

std::string TimeStamp() {
  const core::LocalTime now = core::LocalNow();
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "_%04d%02d%02d_%02d%02d%02d", now.year, now.month, now.day,
                now.hour, now.minute, now.second);
  return stamp;
}

std::string FreeBackupName(const fs::path& file) {
  const std::string base = (file.parent_path() / file.stem()).string() + TimeStamp();
  const std::string ext = file.extension().string();
  std::string candidate = base + ext;
  std::error_code ec;
  for (int n = 1; fs::exists(candidate, ec) || ec; ++n) {
    candidate = base + "_" + std::to_string(n) + ext;
  }
  return candidate;
}

}  // namespace

bool QvSharedFileSystem::CheckFolderExists(const std::string& path, bool /*silent*/) {
  if (path.empty()) return false;
  std::error_code ec;
  return fs::is_directory(path, ec);
}

bool QvSharedFileSystem::CheckFileExists(const std::string& path, bool /*silent*/) {
  if (path.empty()) return false;
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec) return ec == std::errc::permission_denied;
  return fs::exists(status) && !fs::is_directory(status);
}

void QvSharedFileSystem::SplitFilePath(const std::string& full_name, std::string& path,
                                       std::string& file_name, std::string& extension) {
  if (core::Trim(full_name, " ").empty()) return;
  const size_t slash = full_name.rfind('/');
  file_name = slash == std::string::npos ? full_name : full_name.substr(slash + 1);
  if (core::Trim(file_name, " ").empty()) {
    path = full_name;
    return;
  }
  if (const size_t dot = file_name.rfind('.'); dot != std::string::npos) {
    extension = file_name.substr(dot + 1);
  }
  const std::string trimmed(core::Trim(full_name, " "));
  path = EndsWithIgnoreCase(trimmed, file_name)
             ? trimmed.substr(0, trimmed.size() - file_name.size())
             : trimmed;
}

bool QvSharedFileSystem::CreateFolder(const std::string& path) {
  if (core::Trim(path, " ").empty()) return false;
  std::error_code ec;
  fs::create_directories(path, ec);
  return fs::is_directory(path, ec);
}

bool QvSharedFileSystem::GetFiles(const std::string& folder, std::vector<std::string>& files) {
  if (!CheckFolderExists(folder, true)) return false;
  std::vector<std::string> found;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    if (!it->is_directory(type_ec)) found.push_back(it->path().string());
  }
  if (ec) throw core::ErrorFromCode(ec, kSource, "Cannot list " + folder);
  std::sort(found.begin(), found.end());
  files = std::move(found);
  return true;
}

bool QvSharedFileSystem::BackupFile(const std::string& path, std::string& backup_path) {
  if (!CheckFileExists(path, true)) return false;
  const bool choose_name = backup_path.empty();
  const std::string target = choose_name ? FreeBackupName(fs::path(path)) : backup_path;
  std::error_code ec;
  fs::copy_file(path, target,
                choose_name ? fs::copy_options::none : fs::copy_options::overwrite_existing, ec);
  if (ec) throw core::ErrorFromCode(ec, kSource, "Cannot copy " + path + " to " + target);
  backup_path = target;
  return true;
}

bool QvSharedFileSystem::DeleteFile(const std::string& path, bool silent) {
  if (!CheckFileExists(path, true)) return false;
  std::error_code ec;
  if (fs::remove(path, ec)) return true;
  if (!ec || silent) return false;
  throw core::ErrorFromCode(ec, kSource, "Cannot delete " + path);
}

std::string QvSharedFileSystem::EscapeFileName(const std::string& file_name,
                                               std::string& invalid_set, std::string& /*found*/,
                                               const std::string& delimiter) {
  if (invalid_set.empty()) invalid_set = kDefaultInvalidSet;
  std::vector<std::string> entries;
  if (delimiter.empty()) {
    entries.push_back(invalid_set);
  } else {
    size_t start = 0;
    for (size_t at; (at = invalid_set.find(delimiter, start)) != std::string::npos;
         start = at + delimiter.size()) {
      entries.push_back(invalid_set.substr(start, at - start));
    }
    entries.push_back(invalid_set.substr(start));
  }
  std::string result(core::Trim(file_name, " "));
  for (const std::string& entry : entries) {
    if (entry.empty()) continue;
    const std::string encoded = QvSharedStrings::Encode1(entry);
    for (size_t at = 0; (at = result.find(entry, at)) != std::string::npos; at += encoded.size()) {
      result.replace(at, entry.size(), encoded);
    }
  }
  return result;
}

}  // namespace qv

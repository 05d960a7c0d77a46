#include "log/CQvLogFileMgr.h"

#include <cstdio>
#include <vector>

#include "fs/basFileSystem.h"
#include "fs/basFileSystemPaths.h"
#include "platform/ProgramFolder.h"
#include "shared/ErrorBoundary.h"
#include "shared/QvSharedFileSystem.h"
#include "shared/TextFormatter.h"

namespace qv {
namespace {

constexpr int32_t kResFileNamePattern = 181;
constexpr int32_t kResFolderName = 185;
constexpr int32_t kResFileEnding = 295;
constexpr int32_t kResDateFormat = 324;
constexpr size_t kBufferSlots = 11;

std::string Prefix(const char* operation) { return std::string("CQvLogFileMgr.") + operation; }

bool EndsWith(const std::string& text, const std::string& ending) {
  return text.size() >= ending.size() &&
         text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

std::string Digits(int value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*d", width, value);
  return text;
}

}  // namespace

std::string CQvLogFileMgr::LoadResString(int32_t number) {
  switch (number) {
    case kResFileNamePattern:
      return "RX_%1_%2.log";
    case kResFolderName:
      return "Logs";
    case kResFileEnding:
      return ".log";
    case kResDateFormat:
      return "yyyy-mm-dd";
    default:
      return {};
  }
}

std::string CQvLogFileMgr::FormatDate(const core::LocalTime& date, const std::string& format) {
  std::string result;
  for (size_t i = 0; i < format.size();) {
    const std::string rest = format.substr(i);
    if (rest.rfind("yyyy", 0) == 0) {
      result += Digits(date.year, 4);
      i += 4;
    } else if (rest.rfind("mm", 0) == 0) {
      result += Digits(date.month, 2);
      i += 2;
    } else if (rest.rfind("dd", 0) == 0) {
      result += Digits(date.day, 2);
      i += 2;
    } else if (rest.rfind("hh", 0) == 0) {
      result += Digits(date.hour, 2);
      i += 2;
    } else if (rest.rfind("nn", 0) == 0) {
      result += Digits(date.minute, 2);
      i += 2;
    } else if (rest.rfind("ss", 0) == 0) {
      result += Digits(date.second, 2);
      i += 2;
    } else {
      result += format[i];
      ++i;
    }
  }
  return result;
}

void CQvLogFileMgr::ShowLogFile(const std::string& /*file_name*/) {}

std::string CQvLogFileMgr::GetLogFileName(int32_t log_number, const core::LocalTime& date) {
  return Guard<std::string>(
      ReportToErrorLog, {},
      [&](int& line) {
        line = 1;
        const std::string name = TextFormatter::Format(
            LoadResString(kResFileNamePattern),
            {FormatDate(date, LoadResString(kResDateFormat)), std::to_string(log_number)});
        line = 2;
        std::string invalid_set;
        std::string found;
        return QvSharedFileSystem::EscapeFileName(name, invalid_set, found, " ");
      },
      AtLine(Prefix("GetLogFileName, @Line#")));
}

std::string CQvLogFileMgr::GetLogFileFolder() {
  return Guard<std::string>(
      ReportToErrorLog, {},
      [&](int&) {
        return ConcatenatePath(platform::ProgramFolder(), LoadResString(kResFolderName));
      },
      Fixed(Prefix("GetLogFileFolder")));
}

std::string CQvLogFileMgr::GetLogFileByDate(int32_t log_number, const core::LocalTime& date) {
  return Guard<std::string>(
      ReportToErrorLog, {},
      [&](int& line) {
        line = 1;
        return ConcatenatePath(GetLogFileFolder(), GetLogFileName(log_number, date));
      },
      AtLine(Prefix("GetLogFileByDate, @Line#")));
}

std::string CQvLogFileMgr::GetLogFilePath(int32_t log_number) {
  return Guard<std::string>(
      ReportToErrorLog, {},
      [&](int& line) {
        line = 1;
        const std::string name = GetLogFileName(log_number, core::LocalNow());
        line = 2;
        const std::string folder = GetLogFileFolder();
        if (!QvSharedFileSystem::CheckFolderExists(folder, true)) {
          line = 3;
          QvSharedFileSystem::CreateFolder(folder);
        }
        line = 4;
        return ConcatenatePath(folder, name);
      },
      AtLine(Prefix("GetLogFilePath, @Line#")));
}

void CQvLogFileMgr::GetAllLogFiles(std::map<std::string, std::string>& files) {
  Guard<int>(
      ReportToErrorLog, 0,
      [&](int& line) {
        line = 1;
        std::vector<std::string> paths;
        if (!QvSharedFileSystem::GetFiles(GetLogFileFolder(), paths)) return 0;
        line = 2;
        const std::string ending = LoadResString(kResFileEnding);
        for (const std::string& path : paths) {
          const std::string name = path.substr(path.rfind(kPathSeparator) + 1);
          if (EndsWith(name, ending)) files[name] = path;
        }
        return 0;
      },
      AtLine(Prefix("GetAllLogFiles, @Line#")));
}

bool CQvLogFileMgr::DeleteLogFile(const std::string& file_name) {
  return Guard<bool>(
      ReportToErrorLog, false,
      [&](int&) {
        return QvSharedFileSystem::DeleteFile(ConcatenatePath(GetLogFileFolder(), file_name), true);
      },
      Fixed(Prefix("DeleteLogFile")));
}

bool CQvLogFileMgr::BackupLogFiles() {
  return Guard<bool>(
      ReportToErrorLog, false,
      [&](int&) {
        std::map<std::string, std::string> files;
        GetAllLogFiles(files);
        for (const auto& [name, path] : files) {
          std::string backup;
          QvSharedFileSystem::BackupFile(path, backup);
        }
        return true;
      },
      Fixed(Prefix("BackupLogFiles")));
}

void CQvLogFileMgr::SaveLogLine(const std::string& file_path, const std::string& text,
                                bool flush_now, bool with_time) {
  Guard<int>(
      ReportToErrorLog, 0,
      [&](int& line) {
        line = 1;
        if (buffer_count_ == 0) buffer_.fill(std::string());
        const core::LocalTime now = core::LocalNow();
        const std::string time =
            Digits(now.hour, 2) + ":" + Digits(now.minute, 2) + ":" + Digits(now.second, 2);
        const size_t slot = static_cast<size_t>(buffer_count_);
        buffer_[slot] = with_time ? TextFormatter::Format("%2   -   %1", {text, time})
                                  : TextFormatter::Format("%1", {text});
        if (slot + 1 < kBufferSlots && !flush_now) {
          ++buffer_count_;
          return 0;
        }
        line = 2;
        std::string body = GetBodyFromTextFile(file_path, kTextFormatDefault);
        for (size_t i = 0; i <= slot; ++i) {
          if (!body.empty() || i > 0) body += "\r\n";
          body += buffer_[i];
        }
        line = 3;
        WriteBodyToTextFile(file_path, body, kTextFormatDefault);
        buffer_.fill(std::string());
        buffer_count_ = 0;
        return 0;
      },
      AtLine(Prefix("SaveLogLine, @Line#")));
}

void CQvLogFileMgr::WriteBlankLineToLogFile(const std::string& file_path) {
  Guard<int>(
      ReportToErrorLog, 0,
      [&](int& line) {
        line = 1;
        SaveLogLine(file_path, "", false, false);
        return 0;
      },
      AtLine(Prefix("WriteBlankLineToLogFile, @Line#")));
}

}  // namespace qv

#include "log/CQvEventLogger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <utility>

#include "core/AtomicFile.h"
#include "core/File.h"
#include "core/Text.h"
#include "fs/basFileSystemPaths.h"
#include "log/CQvLogFileMgr.h"
#include "platform/AppLog.h"
#include "platform/CodePage.h"
#include "platform/ProgramFolder.h"
#include "shared/EventSink.h"
#include "shared/TextFormatter.h"
#include "util/basCQvRegistry.h"
#include "util/basCQvStringManipulation.h"

namespace qv {
namespace {

constexpr char kDefaultTemplate[] = "%2\tType: %4\t%3";
constexpr size_t kBufferSlots = 11;

// What all loggers of the process share.
struct SharedState {
  int32_t level_cache = 0;  // 0: not read yet
  int32_t log_mode = 0;
  ado::Variant log_properties;
};

struct LockedState {
  std::mutex mutex;
  SharedState state;
};

LockedState& Shared() {
  static LockedState shared;
  return shared;
}

// Runs `use` on the shared state under its lock. `use` must not log.
template <typename Use>
auto WithShared(Use&& use) {
  LockedState& shared = Shared();
  std::lock_guard<std::mutex> lock(shared.mutex);
  return std::forward<Use>(use)(shared.state);
}

std::string TwoDigits(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d", value);
  return text;
}

std::string FourDigits(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04d", value);
  return text;
}

// EventLogLevel as a 32-bit mask; -1 (everything passes) when it is missing, not a
// 32-bit number, or 0.
int32_t ReadLevelFromRegistry() {
  const ado::Variant value =
      ReadRegistryValue(kHKeyLocalMachine, "SOFTWARE", "Tolvane", "EventLogLevel");
  if (value.Type() != ado::VarType::kI4) return -1;
  const int32_t level = static_cast<int32_t>(value.AsInt64());
  return level == 0 ? -1 : level;
}

// Element `index` of an array variant as text; empty when the array has no such index.
std::string ArrayElementText(const ado::Variant& value, int32_t index) {
  if (value.Type() != ado::VarType::kArray) return {};
  const ado::Array& array = value.AsArray();
  if (index < array.lower_bound || index > array.UpperBound()) return {};
  return QvStrMan_VarToStr(array.items[static_cast<size_t>(index - array.lower_bound)]);
}

bool HasElement(const ado::Variant& value, int32_t index) {
  if (value.Type() != ado::VarType::kArray) return false;
  const ado::Array& array = value.AsArray();
  return index >= array.lower_bound && index <= array.UpperBound();
}

// Replaces the file with `bytes`: a temporary file beside it is renamed over it, so a
// failed write leaves the old content.
bool ReplaceFile(const std::string& path, const std::string& bytes) {
  try {
    core::AtomicFile file(path, "CQvEventLogger");
    file.SetMode(0644);
    file.Write(bytes);
    file.Commit(core::AtomicFile::Durability::kRenameOnly);
    return true;
  } catch (const core::Error&) {
    return false;
  }
}

}  // namespace

CQvEventLogger::CQvEventLogger() {
  // The registry file is read outside the lock: reading it may log.
  if (WithShared([](const SharedState& shared) { return shared.level_cache == 0; })) {
    const int32_t level = ReadLevelFromRegistry();
    WithShared([level](SharedState& shared) {
      if (shared.level_cache != 0) return;
      shared.level_cache = level;
      shared.log_mode = kLogModeApplication;
    });
  }
  level_ = WithShared([](const SharedState& shared) { return shared.level_cache; });
  default_template_ = kDefaultTemplate;
  default_log_file_path_ =
      ConcatenatePath(platform::ProgramFolder(), HourlyLogFileName(core::LocalNow()));
  platform::AppLog::Process().StartLogging(default_log_file_path_, 0);
  ado::Variant properties(
      ado::Array{0, {ado::Variant(default_template_), ado::Variant(default_log_file_path_)}});
  WithShared([&](SharedState& shared) { shared.log_properties = std::move(properties); });
  log_file_mgr_ = std::make_unique<CQvLogFileMgr>();
}

CQvEventLogger::~CQvEventLogger() = default;

void CQvEventLogger::SetProperties(const ado::Variant& properties, int32_t log_mode) {
  if (properties.Type() == ado::VarType::kArray && log_mode == kLogModeCustomFile) {
    WithShared([&](SharedState& shared) { shared.log_properties = properties; });
  }
}

void CQvEventLogger::LogMode(int32_t log_mode) {
  WithShared([log_mode](SharedState& shared) { shared.log_mode = log_mode; });
}

int32_t CQvEventLogger::LogMode() const {
  return WithShared([](const SharedState& shared) { return shared.log_mode; });
}

void CQvEventLogger::InitializeEventLogger(std::string& log_file_name, std::string& log_file_path) {
  Initialize(log_file_name, log_file_path, 0);
}

void CQvEventLogger::InitializeEventLogger() {
  std::string name;
  std::string path;
  Initialize(name, path, 0);
}

void CQvEventLogger::Initialize(std::string& log_file_name, std::string& log_file_path,
                                int32_t log_mode) {
  if (level_ == -1) return;
  if (log_file_name.empty()) {
    const core::LocalTime now = core::LocalNow();
    log_file_name = "RX" + TwoDigits(now.month) + "-" + TwoDigits(now.day) + "-" +
                    FourDigits(now.year) + "_" + TwoDigits(now.hour) + "." + TwoDigits(now.minute) +
                    "." + TwoDigits(now.second) + ".log";
  }
  if (log_file_path.empty()) log_file_path = platform::ProgramFolder();
  if (log_file_path.back() != kPathSeparator) log_file_path += kPathSeparator;
  WithShared([log_mode](SharedState& shared) { shared.log_mode |= log_mode; });
  platform::AppLog::Process().StartLogging(log_file_path + log_file_name, log_mode);
}

void CQvEventLogger::LogEvent(const std::string& message, core::ErrorRecord* error,
                              int32_t event_type, int32_t* caller_level) {
  int32_t local_level = 1;
  int32_t& level = caller_level != nullptr ? *caller_level : local_level;
  if (level == 0) level = 1;
  if (error != nullptr && error->help_file == "LogLevel") level = error->help_context;
  if ((level & level_) == 0) return;

  const bool snapshot_taken = error != nullptr;
  if (snapshot_taken) error_snapshot_.CopyFrom(*error);
  try {
    if (error == nullptr ||
        (error_snapshot_.Number() == 0 && error_snapshot_.Description().empty())) {
      WriteEvent(message, event_type);
    } else {
      WriteEvent(message + "\t" +
                     FormatErrorText(std::to_string(error_snapshot_.Number()),
                                     error_snapshot_.Source(), error_snapshot_.Description()),
                 kEventError);
    }
  } catch (...) {
    level_ = -1;
    WithShared([](SharedState& shared) { shared.level_cache = -1; });
  }
  if (snapshot_taken) error_snapshot_.CopyTo(*error);
}

void CQvEventLogger::LogEvent(const std::string& message, core::ErrorRecord* error,
                              int32_t event_type, int32_t caller_level) {
  LogEvent(message, error, event_type, &caller_level);
}

std::string CQvEventLogger::FormatErrorText(const std::string& number, const std::string& source,
                                            const std::string& description) {
  return "Error: #" + number + "\tSource: " + source + "\tDescription: " + description;
}

void CQvEventLogger::WriteEvent(const std::string& text, int32_t event_type) {
  const SharedState shared = WithShared([](const SharedState& state) { return state; });
  if ((shared.log_mode & (1 | 2 | 4)) != 0) WriteToApplicationLog(text, event_type);
  if ((shared.log_mode & kLogModeCustomFile) != 0 &&
      shared.log_properties.Type() == ado::VarType::kArray) {
    std::string line_template = ArrayElementText(shared.log_properties, 0);
    if (line_template.empty()) line_template = default_template_;
    const std::string file_path = ArrayElementText(shared.log_properties, 1);
    WriteToCustomLog(text, event_type, file_path, line_template, false);
  }
}

void CQvEventLogger::WriteToApplicationLog(const std::string& text, int32_t event_type) {
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::string_view piece = core::CodePointPrefix(rest, kApplicationLogPiece);
    platform::AppLog::Process().LogEvent(piece, event_type);  // a failed entry is skipped
    rest.remove_prefix(piece.size());
  }
}

void CQvEventLogger::WriteToCustomLog(const std::string& text, int32_t event_type,
                                      std::string file_path, std::string line_template,
                                      bool flush_now) {
  const ado::Variant properties =
      WithShared([](const SharedState& shared) { return shared.log_properties; });
  if (file_path.empty() && HasElement(properties, 1)) {
    file_path = ArrayElementText(properties, 1);
  }
  if (line_template.empty() && HasElement(properties, 0)) {
    line_template = ArrayElementText(properties, 0);
  }
  if (line_template.empty()) line_template = default_template_;
  AppendToLogFile(file_path, FormatLogLine(text, line_template, event_type), flush_now);
}

std::string CQvEventLogger::FormatLogLine(const std::string& text, const std::string& line_template,
                                          int32_t event_type) {
  const core::LocalTime now = core::LocalNow();
  std::string type_id = event_type == kEventError     ? "ERROR_TYPE_ID"
                        : event_type == kEventWarning ? "WARNING_TYPE_ID"
                                                      : "INFO_TYPE_ID";
  const std::string values[5] = {
      FourDigits(now.year) + "-" + TwoDigits(now.month) + "-" + TwoDigits(now.day),
      TwoDigits(now.hour) + ":" + TwoDigits(now.minute) + ":" + TwoDigits(now.second),
      text,
      LoadResourceText(type_id),
      std::to_string(::gettid()),
  };
  // One pass over the template: placeholders inside the message stay as written.
  std::string line;
  for (size_t i = 0; i < line_template.size(); ++i) {
    if (line_template[i] == '%' && i + 1 < line_template.size() && line_template[i + 1] >= '1' &&
        line_template[i + 1] <= '5') {
      line += values[line_template[i + 1] - '1'];
      ++i;
    } else {
      line += line_template[i];
    }
  }
  return line;
}

void CQvEventLogger::AppendToLogFile(const std::string& file_path, const std::string& line,
                                     bool flush_now) {
  try {
    if (buffer_count_ == 0) buffer_.fill(std::string());
    const size_t slot = static_cast<size_t>(buffer_count_);
    buffer_[slot] = TextFormatter::Format("%1", {line});
    const bool full = buffer_count_ == static_cast<int32_t>(kBufferSlots) - 1;
    if (!full && !flush_now) ++buffer_count_;
    if (!full && !flush_now) return;

    const std::string present = GetBodyFromTextFile(file_path);
    std::string body = present;
    if (!present.empty()) body += "\r\n";
    for (size_t i = 0; i <= slot; ++i) {
      if (i > 0) body += "\r\n";
      body += buffer_[i];
    }
    platform::CodePage ansi(platform::kCodePageWindows1252);
    const std::string bytes = ansi.CanRepresent(body) ? ansi.FromUtf8(body) : body;
    if (file_path.empty() || !ReplaceFile(file_path, bytes)) {
      throw core::Error(75, "CQvEventLogger", "Could not write the log file '" + file_path + "'");
    }
    buffer_.fill(std::string());
    buffer_count_ = 0;
  } catch (const std::exception& e) {
    // The buffer keeps its lines; the next flush tries again.
    std::cerr << e.what() << std::endl;
  }
}

std::string CQvEventLogger::GetBodyFromTextFile(const std::string& file_name,
                                                int32_t /*encoding*/) {
  try {
    const std::string bytes = core::File::Open(file_name, O_RDONLY, "CQvEventLogger").ReadAll();
    // A log file is written in Windows-1252 unless a line needed UTF-8.
    const std::string text = core::IsValidUtf8(bytes)
                                 ? bytes
                                 : platform::CodePageToUtf8(bytes, platform::kCodePageWindows1252);
    return QvStrMan_GetNullTerminatedString(text);
  } catch (...) {
    return {};
  }
}

std::string CQvEventLogger::HourlyLogFileName(const core::LocalTime& when) {
  return platform::AppLog::HourlyFileName(when);
}

void CQvEventLogger::ResetSharedState() {
  WithShared([](SharedState& shared) { shared = SharedState{}; });
}

void CQvEventLogger::SetClock(std::shared_ptr<const core::Clock> clock) {
  core::SetProcessClock(std::move(clock));
}

}  // namespace qv

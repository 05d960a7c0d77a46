#include "log/LogRetention.h"

#include <algorithm>
#include <chrono>
#include <string_view>
#include <system_error>
#include <utility>

#include "util/basCQvRegistry.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

// True when `name` is `pattern` with each '9' standing for a digit.
bool Matches(std::string_view name, std::string_view pattern) {
  if (name.size() != pattern.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (pattern[i] == '9' ? (name[i] < '0' || name[i] > '9') : name[i] != pattern[i]) return false;
  }
  return true;
}

constexpr std::string_view kHourlyPattern = "RX_9999-99-99_99.log";
constexpr std::string_view kRunPattern = "RX99-99-9999_99.99.99.log";

// A per-run log's name reordered so that names sort by the time they hold:
// "RXmm-dd-yyyy_hh.nn.ss.log" -> "yyyymmddhhnnss".
std::string RunLogSortKey(const std::string& name) {
  return name.substr(8, 4) + name.substr(2, 2) + name.substr(5, 2) + name.substr(13, 2) +
         name.substr(16, 2) + name.substr(19, 2);
}

int32_t DwordValue(const char* name, int32_t fallback, std::vector<std::string>* problems) {
  const ado::Variant value = ReadRegistryValue(kHKeyLocalMachine, "SOFTWARE", "Tolvane", name);
  if (value.Type() == ado::VarType::kEmpty) return fallback;
  if (value.Type() == ado::VarType::kI4 && value.AsInt64() >= 1) {
    return static_cast<int32_t>(value.AsInt64());
  }
  if (problems != nullptr) {
    problems->push_back(std::string("the registry value ") + name +
                        " is not a dword of 1 or more; " + std::to_string(fallback) + " is used");
  }
  return fallback;
}

}  // namespace

LogRetention LogRetention::FromRegistry(std::vector<std::string>* problems) {
  LogRetention retention;
  retention.days = DwordValue("LogRetentionDays", kDefaultDays, problems);
  retention.keep_files = DwordValue("LogKeepFiles", kDefaultKeepFiles, problems);
  return retention;
}

bool LogRetention::IsHourlyLog(const std::string& name) { return Matches(name, kHourlyPattern); }

bool LogRetention::IsRunLog(const std::string& name) { return Matches(name, kRunPattern); }

LogRetention::Outcome LogRetention::Prune(const fs::path& folder, fs::file_time_type now) const {
  Outcome outcome;
  const fs::file_time_type cutoff = now - std::chrono::hours(24) * days;
  std::vector<std::pair<std::string, fs::path>> run_logs;  // sort key, path
  const auto remove = [&](const fs::path& path) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(path, ec);
    if (fs::remove(path, ec)) {
      ++outcome.removed;
      if (size != static_cast<uintmax_t>(-1)) outcome.bytes += size;
    } else if (ec) {
      outcome.failures.push_back(path.string() + ": " + ec.message());
    }
  };
  try {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      const bool hourly = IsHourlyLog(name);
      const bool run = !hourly && IsRunLog(name);
      if (!hourly && !run) continue;
      // A link is not a log of this program's, whatever it is named.
      if (!fs::is_regular_file(it->symlink_status(ec))) {
        ec.clear();
        continue;
      }
      const fs::file_time_type written = it->last_write_time(ec);
      if (!ec && written < cutoff) {
        remove(it->path());
      } else if (run) {
        run_logs.emplace_back(RunLogSortKey(name), it->path());
      }
      ec.clear();
    }
    if (ec) outcome.failures.push_back(folder.string() + ": " + ec.message());
    const size_t keep = static_cast<size_t>(std::max(keep_files, 1));
    if (run_logs.size() > keep) {
      std::sort(run_logs.begin(), run_logs.end());
      for (size_t i = 0; i + keep < run_logs.size(); ++i) remove(run_logs[i].second);
    }
  } catch (const std::exception& e) {
    outcome.failures.push_back(folder.string() + ": " + e.what());
  }
  return outcome;
}

}  // namespace qv

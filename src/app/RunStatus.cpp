#include "app/RunStatus.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/ExitStatus.h"
#include "core/Clock.h"
#include "core/Error.h"
#include "core/File.h"
#include "export/EntityIndex.h"
#include "export/PageKeys.h"
#include "export/ResultFileNames.h"
#include "platform/ProgramFolder.h"
#include "platform/RunLock.h"
#include "shared/QvSharedStrings.h"
#include "store/CQvXMLManip.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

// Whether `name` is the file of the result named `result` or of one of its pages
// (PageFilePath) or parts ("<result>_<n>").
bool BelongsToResult(std::string_view name, std::string_view result) {
  return name == result || IsPageFileOf(name, result) || IsPartFileOf(name, result);
}

// The files of the result (and its pages) in `folder`, by name.
std::vector<fs::path> FilesOfResult(const fs::path& folder, const std::string& result,
                                    bool with_change_files) {
  std::vector<fs::path> files;
  for (const fs::path& file : FilesIn(folder)) {
    const std::string name = file.filename().string();
    if (BelongsToResult(name, result)) {
      files.push_back(file);
      continue;
    }
    if (!with_change_files) continue;
    // A change file of the result or of a page.
    const std::vector<std::string_view> owners = ResultsOfChangeFile(name);
    if (std::any_of(owners.begin(), owners.end(), [&](std::string_view owner) {
          return owner == result || IsPageFileOf(owner, result);
        })) {
      files.push_back(file);
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

struct Rule {
  int position = 0;
  std::string target_path;
  fs::path folder;
  std::string name;
};

// The rules of the program folder; nullopt, with `error` set, when the file cannot be
// read.
std::optional<std::vector<Rule>> ReadRules(std::string& error) {
  const std::string path = (fs::path(platform::ProgramFolder()) / "QvExportRules.xml").string();
  const std::shared_ptr<ado::Recordset> rs = CQvXMLManip().OpenXMLToRS(path, true, 6);
  if (!rs || rs->State() != ado::adStateOpen || !rs->Fields().Find("tTargetPath")) {
    const std::string origin = platform::ProgramFolderOrigin();
    error = path + " is missing or has no tTargetPath field" +
            (origin.empty() ? "" : " (the program folder is " + origin + ")");
    return std::nullopt;
  }
  std::vector<Rule> rules;
  for (int position = 1; !rs->Eof(); rs->MoveNext(), ++position) {
    Rule rule;
    rule.position = position;
    rule.target_path = QvSharedStrings::ToText(rs->Fields().Item("tTargetPath").Value());
    const fs::path target(rule.target_path);
    rule.folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    rule.name = target.filename().string();
    rules.push_back(std::move(rule));
  }
  return rules;
}

std::optional<int64_t> ToNumber(const std::string& text) {
  try {
    size_t used = 0;
    const int64_t number = std::stoll(text, &used);
    if (used == text.size()) return number;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

std::string LocalTimeText(fs::file_time_type time) {
  const auto system = std::chrono::file_clock::to_sys(time);
  return core::FormatDateTime(core::ToLocalTime(std::chrono::system_clock::to_time_t(system)));
}

// A run's summary line in the log: "<time>\t<type>\tqvdataexporter mode N: rules run ...".
struct SummaryLine {
  std::string time;  // "yyyy-mm-dd hh:mm:ss"
  std::string type;  // "Information" for a successful run
  std::string text;  // from "qvdataexporter mode"
};

std::optional<SummaryLine> ParseSummary(std::string_view line) {
  const size_t first_tab = line.find('\t');
  if (first_tab == std::string_view::npos) return std::nullopt;
  const size_t second_tab = line.find('\t', first_tab + 1);
  if (second_tab == std::string_view::npos) return std::nullopt;
  const std::string_view text = line.substr(second_tab + 1);
  if (!text.starts_with("qvdataexporter mode ") || text.find(": rules run ") == std::string::npos) {
    return std::nullopt;
  }
  return SummaryLine{std::string(line.substr(0, first_tab)),
                     std::string(line.substr(first_tab + 1, second_tab - first_tab - 1)),
                     std::string(text)};
}

struct LastRuns {
  std::optional<SummaryLine> last;
  std::optional<SummaryLine> last_success;
};

// The last run's summary and the last successful one's, from the program's logs,
// newest log first.
LastRuns FindLastRuns() {
  std::vector<fs::path> logs;
  for (const fs::path& file : FilesIn(platform::ProgramFolder())) {
    const std::string name = file.filename().string();
    if (name.starts_with("RX") && name.ends_with(".log")) logs.push_back(file);
  }
  std::sort(logs.begin(), logs.end(), [](const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::last_write_time(a, ec) > fs::last_write_time(b, ec);
  });
  LastRuns runs;
  for (const fs::path& log : logs) {
    std::string text;
    try {
      text = core::File::ReadWhole(log.string(), "RunStatus");
    } catch (const core::Error&) {
      continue;
    }
    std::optional<SummaryLine> last;
    std::optional<SummaryLine> success;
    for (size_t start = 0; start < text.size();) {
      const size_t end = std::min(text.find('\n', start), text.size());
      std::string_view line = std::string_view(text).substr(start, end - start);
      start = end + 1;
      if (line.ends_with('\r')) line.remove_suffix(1);
      if (std::optional<SummaryLine> summary = ParseSummary(line)) {
        if (summary->type == "Information") success = summary;
        last = std::move(summary);
      }
    }
    if (!runs.last) runs.last = std::move(last);
    if (!runs.last_success) runs.last_success = std::move(success);
    if (runs.last && runs.last_success) break;
  }
  return runs;
}

// Seconds from a local "yyyy-mm-dd hh:mm:ss" to now; nothing when it does not parse.
std::optional<int64_t> SecondsSince(const std::string& local_time) {
  core::LocalTime moment;
  if (std::sscanf(local_time.c_str(), "%d-%d-%d %d:%d:%d", &moment.year, &moment.month, &moment.day,
                  &moment.hour, &moment.minute, &moment.second) != 6) {
    return std::nullopt;
  }
  const std::optional<int64_t> then = core::ToUnixSeconds(moment);
  if (!then) return std::nullopt;
  return core::UnixNanoseconds() / 1000000000 - *then;
}

std::string AgeText(int64_t seconds) {
  constexpr int64_t kHour = 3600;
  constexpr int64_t kDay = 24 * kHour;
  if (seconds < 0) seconds = 0;
  if (seconds < 120) return std::to_string(seconds) + " s ago";
  if (seconds < 2 * kHour) return std::to_string(seconds / 60) + " min ago";
  if (seconds < 2 * kDay) return std::to_string(seconds / kHour) + " h ago";
  return std::to_string(seconds / kDay) + " days ago";
}

struct RuleState {
  const Rule* rule = nullptr;
  size_t last_files = 0;
  int64_t last_rows = 0;
  std::string last_newest;  // local time of the newest last-data file
  fs::path last_folder;
  size_t unsent_files = 0;
  uintmax_t unsent_bytes = 0;
};

RuleState ReadRuleState(const Rule& rule) {
  RuleState state;
  state.rule = &rule;
  state.last_folder = rule.folder / kLastFolder;
  const std::vector<fs::path> last = FilesOfResult(state.last_folder, rule.name, false);
  state.last_files = last.size();
  fs::file_time_type newest = fs::file_time_type::min();
  for (const fs::path& file : last) {
    const std::shared_ptr<ado::Recordset> rs = CQvXMLManip().OpenXMLToRS(file, false, 1);
    if (rs && rs->State() == ado::adStateOpen) state.last_rows += rs->RecordCount();
    std::error_code ec;
    newest = std::max(newest, fs::last_write_time(file, ec));
  }
  if (!last.empty()) state.last_newest = LocalTimeText(newest);
  const std::vector<fs::path> unsent =
      FilesOfResult(rule.folder / kUndeliveredFolder, rule.name, true);
  state.unsent_files = unsent.size();
  for (const fs::path& file : unsent) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(file, ec);
    if (!ec) state.unsent_bytes += size;
  }
  return state;
}

void PrintText(std::ostream& out, const std::optional<platform::RunLock::Holding>& running,
               const std::vector<RuleState>& rules, const LastRuns& runs) {
  if (running) {
    out << "Running now: pid " << running->pid << ", started " << running->started << "\n";
  }
  for (const RuleState& state : rules) {
    out << "Rule " << state.rule->position << ": " << state.rule->target_path << "\n";
    if (state.last_files == 0) {
      out << "  last data: none (the next run sends the whole result)\n";
    } else {
      out << "  last data: " << state.last_files << " file(s) in " << state.last_folder.string()
          << ", " << state.last_rows << " rows, newest " << state.last_newest << "\n";
    }
    out << "  waiting in Unsent: " << state.unsent_files << " file(s), " << state.unsent_bytes
        << " bytes\n";
  }
  out << "Last run: "
      << (runs.last ? runs.last->time + " " + runs.last->type + " " + runs.last->text
                    : std::string("none in the logs"))
      << "\n";
  out << "Last successful run: ";
  if (!runs.last_success) {
    out << "none in the logs\n";
  } else {
    const std::optional<int64_t> age = SecondsSince(runs.last_success->time);
    out << runs.last_success->time << (age ? " (" + AgeText(*age) + ")" : std::string()) << "\n";
  }
}

nlohmann::json RunJson(const std::optional<SummaryLine>& run) {
  if (!run) return nullptr;
  nlohmann::json json = {{"time", run->time}, {"type", run->type}, {"summary", run->text}};
  if (const std::optional<int64_t> age = SecondsSince(run->time)) json["age_seconds"] = *age;
  return json;
}

void PrintJson(std::ostream& out, const std::optional<platform::RunLock::Holding>& running,
               const std::vector<RuleState>& rules, const LastRuns& runs) {
  nlohmann::json json;
  json["program_folder"] = platform::ProgramFolder();
  json["running"] = nullptr;
  if (running) {
    json["running"] = {{"pid", running->pid}, {"started", running->started}};
    if (const std::optional<int64_t> pid = ToNumber(running->pid)) json["running"]["pid"] = *pid;
  }
  json["rules"] = nlohmann::json::array();
  for (const RuleState& state : rules) {
    nlohmann::json rule = {
        {"position", state.rule->position},
        {"target_path", state.rule->target_path},
        {"last_data", nullptr},
        {"unsent", {{"files", state.unsent_files}, {"bytes", state.unsent_bytes}}}};
    if (state.last_files > 0) {
      rule["last_data"] = {{"files", state.last_files},
                           {"rows", state.last_rows},
                           {"newest", state.last_newest},
                           {"folder", state.last_folder.string()}};
    }
    json["rules"].push_back(std::move(rule));
  }
  json["last_run"] = RunJson(runs.last);
  json["last_success"] = RunJson(runs.last_success);
  // Invalid UTF-8 in a path is replaced rather than failing the whole report.
  out << json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

}  // namespace

int RunStatus::Show(std::ostream& out, bool as_json) {
  const std::optional<platform::RunLock::Holding> running =
      platform::RunLock::Probe(platform::ProgramFolder());
  std::string error;
  const std::optional<std::vector<Rule>> rules = ReadRules(error);
  if (!rules) {
    if (as_json) {
      // Scripts get JSON whatever happens.
      nlohmann::json json = {{"program_folder", platform::ProgramFolder()}, {"error", error}};
      out << json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    } else {
      out << "qvdataexporter: " << error << "\n";
    }
    return kExitNotStarted;
  }
  std::vector<RuleState> states;
  for (const Rule& rule : *rules) states.push_back(ReadRuleState(rule));
  const LastRuns runs = FindLastRuns();
  if (as_json) {
    PrintJson(out, running, states, runs);
  } else {
    PrintText(out, running, states, runs);
  }
  return kExitSuccess;
}

int RunStatus::ResetLast(const std::string& rule_name, std::ostream& out) {
  const std::string folder = platform::ProgramFolder();
  std::optional<platform::RunLock> lock;
  try {
    lock.emplace(folder);
  } catch (const core::Error& e) {
    out << "qvdataexporter: nothing was reset: " << e.record().description << "\n";
    return kExitNotStarted;
  }
  if (!lock->Held()) {
    out << "another run (" << lock->Holder() << ") holds the program folder; nothing was reset\n";
    return kExitLocked;
  }
  std::string error;
  const std::optional<std::vector<Rule>> rules = ReadRules(error);
  if (!rules) {
    out << "qvdataexporter: " << error << "\n";
    return kExitNotStarted;
  }
  std::vector<const Rule*> chosen;
  for (const Rule& rule : *rules) {
    if (rule_name == "all" || rule_name == std::to_string(rule.position) ||
        rule_name == rule.target_path || rule_name == rule.name) {
      chosen.push_back(&rule);
    }
  }
  if (chosen.empty()) {
    out << "qvdataexporter: no rule '" << rule_name
        << "' (give its number, its tTargetPath, its file name, or all)\n";
    return kExitNotStarted;
  }
  int status = kExitSuccess;
  for (const Rule* rule : chosen) {
    std::vector<fs::path> files = FilesOfResult(rule->folder / kLastFolder, rule->name, false);
    const std::vector<fs::path> delivered =
        FilesOfResult(rule->folder / kDeliveredFolder, rule->name, false);
    files.insert(files.end(), delivered.begin(), delivered.end());
    for (const fs::path& file : files) {
      std::error_code ec;
      fs::remove(file, ec);
      if (ec) {
        out << "cannot remove " << file.string() << ": " << ec.message() << "\n";
        status = kExitFailure;
      }
    }
    // The keys of the last data go with it.
    std::error_code ignored;
    fs::remove(EntityIndex::KeysFileOf((rule->folder / kLastFolder / rule->name).string()),
               ignored);
    fs::remove(PageKeys::FileOf((rule->folder / kLastFolder).string(), rule->name), ignored);
    // And the deletions waiting in it: without last data nothing is known to be gone.
    fs::remove(PendingDeletionsFileOf((rule->folder / kLastFolder).string(), rule->name), ignored);
    for (const fs::path& file :
         ListFiles(rule->folder / kLastFolder, core::Folder::Reach::kOwn).files) {
      const std::string name = file.filename().string();
      if (IsFormerPageFileOf(name, rule->name) || IsSentRecordOf(name, rule->name)) {
        fs::remove(file, ignored);
      }
    }
    out << "Rule " << rule->position << " (" << rule->target_path << "): " << files.size()
        << " file(s) of last data removed; the next run sends its whole result\n";
  }
  return status;
}

}  // namespace qv

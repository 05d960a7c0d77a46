#include "app/RunStatus.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include "app/ExitStatus.h"
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
// ("<result>_<from>-<to>.xml") or parts ("<result>_<n>").
bool BelongsToResult(const std::string& name, const std::string& result) {
  if (name == result) return true;
  if (name.size() <= result.size() + 1 || name.compare(0, result.size(), result) != 0 ||
      name[result.size()] != '_') {
    return false;
  }
  const std::string rest = name.substr(result.size() + 1);
  const size_t digits = rest.find_first_not_of("0123456789");
  if (digits == 0) return false;
  if (digits == std::string::npos) return true;  // a part
  const std::string tail = rest.substr(digits);
  const size_t dash = tail.rfind('-', 0);
  return dash == 0 && tail.size() > 5 && tail.ends_with(".xml") &&
         tail.find_first_not_of("0123456789", 1) == tail.size() - 4;
}

// The files of the result (and its pages) in `folder`, by name.
std::vector<fs::path> ResultFiles(const fs::path& folder, const std::string& result,
                                  bool with_change_files) {
  std::vector<fs::path> files;
  for (const fs::path& file : FilesIn(folder)) {
    const std::string name = file.filename().string();
    if (BelongsToResult(name, result)) {
      files.push_back(file);
      continue;
    }
    if (!with_change_files) continue;
    // A change file of the result or of a page: "<result or page><number>.xml".
    const size_t xml = name.rfind(".xml");
    if (xml == std::string::npos || xml + 4 != name.size()) continue;
    const size_t number = name.find_last_not_of("0123456789", xml - 1);
    if (number != std::string::npos && number + 1 < xml &&
        BelongsToResult(name.substr(0, number + 1), result)) {
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

// The rules of the program folder; nullopt when the file cannot be read.
std::optional<std::vector<Rule>> ReadRules(std::ostream& out) {
  const std::string path = (fs::path(platform::ProgramFolder()) / "QvExportRules.xml").string();
  const std::shared_ptr<ado::Recordset> rs = CQvXMLManip().OpenXMLToRS(path, true, 6);
  if (!rs || rs->State() != ado::adStateOpen || !rs->Fields().Find("tTargetPath")) {
    out << "qvdataexporter: " << path << " is missing or has no tTargetPath field\n";
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

std::string LocalTimeText(fs::file_time_type time) {
  const auto system = std::chrono::file_clock::to_sys(time);
  const std::time_t seconds = std::chrono::system_clock::to_time_t(system);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// The last summary line of a run in the program's logs, newest log first.
std::string LastRunSummary() {
  std::vector<fs::path> logs;
  for (const fs::path& file : FilesIn(platform::ProgramFolder())) {
    const std::string name = file.filename().string();
    if (name.starts_with("RX") && name.ends_with(".log")) logs.push_back(file);
  }
  std::sort(logs.begin(), logs.end(), [](const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::last_write_time(a, ec) > fs::last_write_time(b, ec);
  });
  for (const fs::path& log : logs) {
    std::string text;
    try {
      text = core::File::ReadWhole(log.string(), "RunStatus");
    } catch (const core::Error&) {
      continue;
    }
    std::string found;
    for (size_t start = 0; start < text.size();) {
      const size_t end = std::min(text.find('\n', start), text.size());
      const std::string_view line = std::string_view(text).substr(start, end - start);
      start = end + 1;
      if (line.find("\tqvdataexporter mode ") != std::string::npos &&
          line.find(": rules run ") != std::string::npos) {
        found = line;
      }
    }
    if (!found.empty()) {
      for (char& c : found) {
        if (c == '\t') c = ' ';
      }
      return found;
    }
  }
  return {};
}

}  // namespace

int RunStatus::Show(std::ostream& out) {
  const std::optional<std::vector<Rule>> rules = ReadRules(out);
  if (!rules) return kExitNotStarted;
  for (const Rule& rule : *rules) {
    out << "Rule " << rule.position << ": " << rule.target_path << "\n";
    const std::vector<fs::path> last = ResultFiles(rule.folder / "last", rule.name, false);
    if (last.empty()) {
      out << "  last data: none (the next run sends the whole result)\n";
    } else {
      int64_t rows = 0;
      fs::file_time_type newest = fs::file_time_type::min();
      for (const fs::path& file : last) {
        const std::shared_ptr<ado::Recordset> rs = CQvXMLManip().OpenXMLToRS(file, false, 1);
        if (rs && rs->State() == ado::adStateOpen) rows += rs->RecordCount();
        std::error_code ec;
        newest = std::max(newest, fs::last_write_time(file, ec));
      }
      out << "  last data: " << last.size() << " file(s) in " << (rule.folder / "last").string()
          << ", " << rows << " rows, newest " << LocalTimeText(newest) << "\n";
    }
    const std::vector<fs::path> unsent = ResultFiles(rule.folder / "Unsent", rule.name, true);
    uintmax_t bytes = 0;
    for (const fs::path& file : unsent) {
      std::error_code ec;
      const uintmax_t size = fs::file_size(file, ec);
      if (!ec) bytes += size;
    }
    out << "  waiting in Unsent: " << unsent.size() << " file(s), " << bytes << " bytes\n";
  }
  const std::string summary = LastRunSummary();
  out << "Last run: " << (summary.empty() ? std::string("none in the logs") : summary) << "\n";
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
  const std::optional<std::vector<Rule>> rules = ReadRules(out);
  if (!rules) return kExitNotStarted;
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
    std::vector<fs::path> files = ResultFiles(rule->folder / "last", rule->name, false);
    const std::vector<fs::path> delivered = ResultFiles(rule->folder / "LastTx", rule->name, false);
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
    fs::remove(EntityIndex::KeysFileOf((rule->folder / "last" / rule->name).string()), ignored);
    fs::remove(PageKeys::FileOf((rule->folder / "last").string(), rule->name), ignored);
    out << "Rule " << rule->position << " (" << rule->target_path << "): " << files.size()
        << " file(s) of last data removed; the next run sends its whole result\n";
  }
  return status;
}

}  // namespace qv

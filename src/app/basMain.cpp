#include "app/basMain.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <ostream>
#include <string_view>

#include "ado/Connection.h"
#include "app/DryRun.h"
#include "app/ExportCheck.h"
#include "app/Progress.h"
#include "app/RunMetrics.h"
#include "app/RunStatus.h"
#include "core/Clock.h"
#include "export/CQvDataExporter.h"
#include "log/LogRetention.h"
#include "log/basEventLogger.h"
#include "platform/Journal.h"
#include "platform/ProgramFolder.h"
#include "platform/RunLock.h"
#include "platform/StopSignal.h"
#include "settings/basCommonRes.h"
#include "shared/ErrorBoundary.h"
#include "shared/QvSharedConvert.h"
#include "shared/QvSharedErrorLog.h"

#ifndef QV_VERSION
#define QV_VERSION "unknown"
#endif
#ifndef QV_BUILD_TYPE
#define QV_BUILD_TYPE "unknown"
#endif
#ifndef QV_COMPILER
#define QV_COMPILER "an unknown compiler"
#endif

namespace qv {
namespace {

constexpr int16_t kDefaultMode = 7;
constexpr int32_t kLastMode = 7;

bool IsWholeNumber(std::string_view text) {
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

CommandLine Error(std::string text, bool mode_error = false) {
  CommandLine command_line;
  command_line.action = CommandLine::Action::kError;
  command_line.error = std::move(text);
  command_line.mode_error = mode_error;
  return command_line;
}

constexpr const char* kModeList =
    "MODE  1  one result file per rule, not uploaded\n"
    "      2  each result in 5 parts, uploaded\n"
    "      3  each result in 20 parts, uploaded\n"
    "      4  changed records only\n"
    "      5  changed pages of 20 rows\n"
    "      6  changed pages of 100 rows\n"
    "      7  changed records, page by page (the default; 0 means 7)\n";

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine command_line;
  bool action_given = false;
  bool mode_given = false;
  const auto set_action = [&](CommandLine::Action action) {
    if (action_given) return false;
    action_given = true;
    command_line.action = action;
    return true;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      CommandLine help;
      help.action = CommandLine::Action::kHelp;
      return help;
    }
    if (arg == "--version") {
      CommandLine version;
      version.action = CommandLine::Action::kVersion;
      return version;
    }
    if (arg == "--json") {
      command_line.json = true;
      continue;
    }
    if (arg == "--quiet" || arg == "-q") {
      command_line.quiet = true;
      continue;
    }
    if (arg == "--metrics" || arg == "--reset-last") {
      if (i + 1 == args.size() || args[i + 1].empty()) return Error(arg + " needs a value");
      if (arg == "--metrics") {
        command_line.metrics_file = args[++i];
        continue;
      }
      if (!set_action(CommandLine::Action::kResetLast)) return Error("give one action at most");
      command_line.reset_rule = args[++i];
      continue;
    }
    if (arg == "--check" || arg == "--dry-run" || arg == "--status") {
      const CommandLine::Action action = arg == "--check"     ? CommandLine::Action::kCheck
                                         : arg == "--dry-run" ? CommandLine::Action::kDryRun
                                                              : CommandLine::Action::kStatus;
      if (!set_action(action)) return Error("give one action at most");
      continue;
    }
    if (!IsWholeNumber(arg)) {
      if (arg.starts_with("-")) return Error("unknown option '" + arg + "'");
      return Error("'" + arg + "' is not an export mode (a whole number) nor an option", true);
    }
    if (mode_given) return Error("too many arguments: give one export mode at most");
    mode_given = true;
    int32_t mode = 0;
    try {
      mode = QvSharedConvert::ToInteger(ado::Variant(arg));
    } catch (const core::Error&) {
      return Error("export mode " + arg + " is out of range", true);
    }
    if (mode < 0 || mode > kLastMode) {
      return Error("export mode " + arg + " is not one of the modes 1 to 7 (0 means 7)", true);
    }
    command_line.mode = mode == 0 ? kDefaultMode : static_cast<int16_t>(mode);
  }
  using Action = CommandLine::Action;
  if (mode_given &&
      (command_line.action == Action::kStatus || command_line.action == Action::kResetLast)) {
    return Error("an export mode goes with a run, --dry-run or --check only");
  }
  if (command_line.json && command_line.action != Action::kStatus) {
    return Error("--json goes with --status only");
  }
  if (!command_line.metrics_file.empty() && command_line.action != Action::kRun) {
    return Error("--metrics goes with a run only");
  }
  return command_line;
}

std::string UsageText() {
  return "Usage: qvdataexporter [--quiet] [--metrics FILE] [MODE]\n"
         "       qvdataexporter --check [MODE]\n"
         "       qvdataexporter --dry-run [--quiet] [MODE]\n"
         "       qvdataexporter --status [--json]\n"
         "       qvdataexporter --reset-last RULE|all\n"
         "       qvdataexporter --help | --version\n"
         "\n"
         "Runs every export rule of QvExportRules.xml on the data sources of QvExportDS.xml\n"
         "and writes (and uploads) the results. The program folder is $QVDATAEXPORTER_HOME,\n"
         "or else the folder of the executable.\n"
         "\n" +
         std::string(kModeList) +
         "\n"
         "--check            checks the program folder without running anything: files,\n"
         "                   rules, connections, SQL (prepared, not run), upload address,\n"
         "                   uploader, registry file, log folder; one line per item;\n"
         "                   exit 0 when all are ok, 1 otherwise\n"
         "--dry-run [MODE]   runs the export on a temporary copy of its state and sends\n"
         "                   nothing; prints per rule the rows, pages, entities and the\n"
         "                   files that would be sent\n"
         "--status           a run in progress (pid, start); per rule: last data, files\n"
         "                   waiting in Unsent; the last run and the age of the last\n"
         "                   successful one. With --json, the same as one JSON object\n"
         "--reset-last RULE  removes the last data of a rule (its number, tTargetPath or\n"
         "                   file name; all for every rule): the next run sends it whole.\n"
         "                   Refused (exit 3) while a run holds the program folder\n"
         "--quiet, -q        no progress line on the terminal\n"
         "--metrics FILE     writes the run's metrics to FILE (node exporter textfile\n"
         "                   format); the registry value MetricsFile does the same\n"
         "\n"
         "Exit status: 0 success, 1 a rule, query, file write or upload failed,\n"
         "2 bad command line or the run could not start, 3 another run holds the\n"
         "program folder, 128 + N stopped by signal N (130 SIGINT, 143 SIGTERM).\n";
}

std::string VersionText() {
  std::string text = std::string("qvdataexporter ") + QV_VERSION + "\n";
  text += std::string("built ") + QV_BUILD_TYPE + " with " + QV_COMPILER + "\n";
  text += "runs with:\n";
  const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
  text += std::string("  libcurl ") + (curl != nullptr ? curl->version : "(unknown)");
  if (curl != nullptr && curl->ssl_version != nullptr)
    text += std::string(", ") + curl->ssl_version;
  text += "\n";
  for (const std::string& library : ado::Connection::LibraryVersions()) {
    text += "  " + library + "\n";
  }
  return text;
}

namespace {

double UnixTime() { return static_cast<double>(core::UnixNanoseconds()) / 1e9; }

// Writes the metrics file of a run when one is configured; a failure is logged.
void WriteMetrics(const CommandLine& command_line, const RunStats& stats, int exit_status,
                  double start_time) {
  const std::string path = RunMetrics::FilePath(command_line.metrics_file);
  if (path.empty()) return;
  const std::string failure =
      RunMetrics::Write(path, RunMetrics::Text(stats, exit_status, start_time, UnixTime()));
  if (!failure.empty()) {
    QvSharedErrorLog::Instance().LogEvent(
        "qvdataexporter: cannot write the metrics file " + path + ": " + failure, {}, kEventWarning,
        kLevelExport);
  }
}

// Removes the program's log files that the retention leaves behind; what it removed is
// logged, and what it could not remove is a warning.
void PruneLogFiles(QvSharedErrorLog& log) {
  std::vector<std::string> problems;
  const LogRetention retention = LogRetention::FromRegistry(&problems);
  for (const std::string& problem : problems) {
    log.LogEvent("qvdataexporter: " + problem, {}, kEventWarning, kLevelExport);
  }
  const LogRetention::Outcome outcome = retention.Prune(platform::ProgramFolder());
  if (outcome.removed > 0) {
    log.LogEvent("qvdataexporter: removed " + std::to_string(outcome.removed) +
                     " old log file(s), " + std::to_string(outcome.bytes) + " bytes",
                 {}, kEventInformation, kLevelExport);
  }
  for (const std::string& failure : outcome.failures) {
    log.LogEvent("qvdataexporter: cannot remove an old log file: " + failure, {}, kEventWarning,
                 kLevelExport);
  }
}

int RunExport(const CommandLine& command_line, std::ostream& err, bool terminal, bool journal) {
  const double start_time = UnixTime();
  QvSharedErrorLog& log = QvSharedErrorLog::Instance();
  RunStats not_started;
  not_started.mode = command_line.mode;
  std::optional<platform::RunLock> lock;
  try {
    lock.emplace(platform::ProgramFolder());
  } catch (const core::Error& e) {
    log.LogEvent("qvdataexporter: the run could not start: " + e.record().description, {},
                 kEventWarning, kLevelExport);
    WriteMetrics(command_line, not_started, kExitNotStarted, start_time);
    return kExitNotStarted;
  }
  if (!lock->Held()) {
    // A warning, so that it reaches standard error as well as the log. The metrics
    // stay those of the run that holds the folder.
    log.LogEvent("another run (" + lock->Holder() + ") holds the program folder", {}, kEventWarning,
                 kLevelExport);
    return kExitLocked;
  }
  PruneLogFiles(log);

  CQvDataExporter exporter;
  std::optional<Progress> progress;
  if (terminal && !command_line.quiet) {
    progress.emplace(err);
    exporter.SetObserver(&*progress);
  }
  exporter.ExportAll(command_line.mode);
  progress.reset();
  const RunStats& stats = exporter.Stats();
  if (!stats.started) {
    const std::string origin = platform::ProgramFolderOrigin();
    log.LogEvent("qvdataexporter: the run could not start: " + stats.start_failure +
                     (origin.empty()
                          ? ""
                          : " (program folder " + platform::ProgramFolder() + ": " + origin + ")"),
                 {}, kEventWarning, kLevelExport);
    WriteMetrics(command_line, stats, kExitNotStarted, start_time);
    return kExitNotStarted;
  }
  const std::string summary = RunSummary(stats);
  const int status = ExitStatus(stats);
  // The log's last word agrees with the exit status: a failed run ends on an Error, a
  // stopped one on a Warning. Both reach standard error through the log already.
  const int32_t event_type = stats.stop_signal != 0   ? kEventWarning
                             : status != kExitSuccess ? kEventError
                                                      : kEventInformation;
  log.LogEvent(summary, {}, event_type, kLevelExport);
  if (event_type == kEventInformation) {
    if (journal) {
      err << platform::PriorityPrefix(platform::kPriorityInfo) << summary << "\n";
    } else if (terminal) {
      err << summary << "\n";
    }
  }
  WriteMetrics(command_line, stats, status, start_time);
  return status;
}

}  // namespace

int Main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool terminal,
         bool journal) {
  InstallEventLogging();
  InstallCommonResources();
  try {
    const CommandLine command_line = ParseCommandLine(args);
    switch (command_line.action) {
      case CommandLine::Action::kHelp:
        out << UsageText();
        return kExitSuccess;
      case CommandLine::Action::kVersion:
        out << VersionText();
        return kExitSuccess;
      case CommandLine::Action::kError:
        err << "qvdataexporter: " << command_line.error << "\n"
            << (command_line.mode_error ? kModeList : "")
            << "Run 'qvdataexporter --help' for the usage.\n";
        return kExitNotStarted;
      case CommandLine::Action::kCheck:
        return ExportCheck::Run(command_line.mode, out);
      case CommandLine::Action::kDryRun: {
        DryRun dry_run(out);
        return dry_run.Run(command_line.mode);
      }
      case CommandLine::Action::kStatus:
        return RunStatus::Show(out, command_line.json);
      case CommandLine::Action::kResetLast:
        return RunStatus::ResetLast(command_line.reset_rule, out);
      case CommandLine::Action::kRun:
        break;
    }
    return RunExport(command_line, err, terminal, journal);
  } catch (...) {
    QvSharedErrorLog::Instance().LogEvent(".Main", CurrentErrorRecord(), kEventWarning,
                                          kLevelExport);
    return kExitNotStarted;
  }
}

}  // namespace qv

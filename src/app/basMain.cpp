#include "app/basMain.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <ostream>
#include <string_view>

#include "app/CQvDataExporter.h"
#include "platform/ProgramFolder.h"
#include "platform/RunLock.h"
#include "platform/StopSignal.h"
#include "shared/ErrorBoundary.h"
#include "shared/QvSharedConvert.h"
#include "shared/QvSharedErrorLog.h"

#ifndef QV_VERSION
#define QV_VERSION "unknown"
#endif

namespace qv {
namespace {

constexpr int16_t kDefaultMode = 7;

bool IsWholeNumber(std::string_view text) {
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

CommandLine Error(std::string text) {
  CommandLine command_line;
  command_line.action = CommandLine::Action::kError;
  command_line.error = std::move(text);
  return command_line;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine command_line;
  if (args.empty()) return command_line;
  if (args.size() > 1) return Error("too many arguments: give one export mode at most");

  const std::string& arg = args.front();
  if (arg == "--help" || arg == "-h") {
    command_line.action = CommandLine::Action::kHelp;
    return command_line;
  }
  if (arg == "--version") {
    command_line.action = CommandLine::Action::kVersion;
    return command_line;
  }
  if (!IsWholeNumber(arg)) {
    return Error("'" + arg + "' is not an export mode (a whole number) nor an option");
  }
  int32_t mode = 0;
  try {
    mode = QvSharedConvert::ToInteger(ado::Variant(arg));
  } catch (const ado::Error&) {
    return Error("export mode " + arg + " is out of range");
  }
  if (mode < INT16_MIN || mode > INT16_MAX) return Error("export mode " + arg + " is out of range");
  command_line.mode = mode == 0 ? kDefaultMode : static_cast<int16_t>(mode);
  return command_line;
}

std::string UsageText() {
  return "Usage: qvdataexporter [MODE]\n"
         "       qvdataexporter --help | --version\n"
         "\n"
         "Runs every export rule of QvExportRules.xml on the data sources of QvExportDS.xml\n"
         "and writes (and uploads) the results. The program folder is $QVDATAEXPORTER_HOME,\n"
         "or else the folder of the executable.\n"
         "\n"
         "MODE  1  one result file per rule, not uploaded\n"
         "      2  each result in 5 parts, uploaded\n"
         "      3  each result in 20 parts, uploaded\n"
         "      4  changed records only\n"
         "      5  changed pages of 20 rows\n"
         "      6  changed pages of 100 rows\n"
         "      7  changed records, page by page (the default; 0 means 7)\n"
         "\n"
         "Exit status: 0 success, 1 a rule, query, file write or upload failed,\n"
         "2 bad command line or the run could not start, 3 another run holds the\n"
         "program folder, 128 + N stopped by signal N (130 SIGINT, 143 SIGTERM).\n";
}

std::string VersionText() { return std::string("qvdataexporter ") + QV_VERSION + "\n"; }

int ExitStatus(const RunStats& stats) {
  if (!stats.started) return kExitNotStarted;
  if (stats.stop_signal != 0) return 128 + stats.stop_signal;
  if (stats.aborted || stats.rules_failed > 0 || stats.sends_failed > 0 || stats.failures > 0) {
    return kExitFailure;
  }
  return kExitSuccess;
}

std::string RunSummary(const RunStats& stats) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", stats.seconds);
  std::string text = "qvdataexporter mode " + std::to_string(stats.mode) + ": rules run " +
                     std::to_string(stats.rules_run) + ", rules failed " +
                     std::to_string(stats.rules_failed) + ", files written " +
                     std::to_string(stats.files_written) + ", files sent " +
                     std::to_string(stats.files_sent) + ", sends failed " +
                     std::to_string(stats.sends_failed) + ", " + seconds + " seconds";
  if (stats.stop_signal != 0) {
    text += std::string(" (stopped by ") + platform::SignalName(stats.stop_signal) + ")";
  } else if (stats.aborted) {
    text += " (run ended early)";
  }
  return text;
}

int Main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
         bool summary_to_err) {
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
        err << "qvdataexporter: " << command_line.error << "\n" << UsageText();
        return kExitNotStarted;
      case CommandLine::Action::kRun:
        break;
    }

    QvSharedErrorLog& log = QvSharedErrorLog::Instance();
    std::optional<platform::RunLock> lock;
    try {
      lock.emplace(platform::ProgramFolder());
    } catch (const ado::Error& e) {
      log.LogEvent("qvdataexporter: the run could not start: " + e.record().description, {},
                   kEventWarning, kLevelExport);
      return kExitNotStarted;
    }
    if (!lock->Held()) {
      // A warning, so that it reaches standard error as well as the log.
      log.LogEvent("another run (" + lock->Holder() + ") holds the program folder", {},
                   kEventWarning, kLevelExport);
      return kExitLocked;
    }

    CQvDataExporter exporter;
    exporter.ExportAll(command_line.mode);
    const RunStats& stats = exporter.Stats();
    if (!stats.started) {
      log.LogEvent("qvdataexporter: the run could not start: " + stats.start_failure, {},
                   kEventWarning, kLevelExport);
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
    if (summary_to_err && event_type == kEventInformation) err << summary << "\n";
    return status;
  } catch (...) {
    QvSharedErrorLog::Instance().LogEvent(".Main", CurrentErrorRecord(), kEventWarning,
                                          kLevelExport);
    return kExitNotStarted;
  }
}

}  // namespace qv

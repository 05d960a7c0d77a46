#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "app/ExitStatus.h"
#include "export/RunStats.h"

namespace qv {

// What the command line asks for.
struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kError, kCheck, kDryRun, kStatus, kResetLast };
  Action action = Action::kRun;
  int16_t mode = 7;          // for kRun, kDryRun and kCheck: the export mode, 0 turned into 7
  std::string error;         // for kError: one line saying what is wrong
  bool mode_error = false;   // for kError: the mode is wrong (the modes are listed)
  bool quiet = false;        // --quiet: no progress on the terminal
  bool json = false;         // --json: --status as JSON
  std::string metrics_file;  // --metrics FILE
  std::string reset_rule;    // for kResetLast: the rule, or "all"
};

// Reads the arguments after the program name: none runs mode 7; one whole number
// from 1 to 7 runs that mode, 0 meaning 7 (any other number is an error); "--help" or "-h" and
// "--version" ask for those texts. "--check", "--dry-run", "--status" and "--reset-last RULE" ask
// for those actions (one at most; a mode goes with a run, --dry-run and --check);
// "--quiet" (or "-q") and "--metrics FILE" go with a run, "--json" with --status.
// Anything else is an error.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

std::string UsageText();
std::string VersionText();

// The start-up routine. Help, version, --check, --dry-run, --status and --reset-last
// write to `out`; command-line errors with the usage to `err`. A run ends with its
// summary line in the error log (QvSharedErrorLog), and writes its metrics file when
// one is configured (RunMetrics); a run that could not start logs why as a warning
// instead. When `terminal` (standard error is a terminal) the run shows its progress
// on `err` (unless --quiet) and its summary there. Only one run at a time works in a
// program folder: while another holds it, Main logs who does and returns kExitLocked.
// When `journal` (standard error is the journal) a successful run's summary goes to
// `err` too, with its priority prefix. Returns the exit status. Never throws.
int Main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool terminal,
         bool journal = false);

}  // namespace qv

#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "app/RunStats.h"

namespace qv {

// Exit statuses of the program.
inline constexpr int kExitSuccess = 0;     // every rule ran without a reported failure
inline constexpr int kExitFailure = 1;     // a rule, query, file write or upload failed
inline constexpr int kExitNotStarted = 2;  // bad command line, or the run could not start
inline constexpr int kExitLocked = 3;      // another run holds the program folder
// A run stopped by SIGTERM or SIGINT exits with 128 + the signal's number.

// What the command line asks for.
struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kError };
  Action action = Action::kRun;
  int16_t mode = 7;   // for kRun: the export mode, 0 already turned into 7
  std::string error;  // for kError: one line saying what is wrong
};

// Reads the arguments after the program name: none runs mode 7; one whole number
// (16-bit, sign allowed) runs that mode, 0 meaning 7; "--help" or "-h" and "--version"
// ask for those texts; anything else is an error.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

std::string UsageText();
std::string VersionText();

// The exit status a finished run gives.
int ExitStatus(const RunStats& stats);
// The closing line of a run: mode, rules run and failed, files written, sent and not
// sent, seconds taken, and whether a signal or a failure ended it early.
std::string RunSummary(const RunStats& stats);

// The start-up routine. Help and version go to `out`; command-line errors with the
// usage to `err`. A run ends with its summary line in the error log (QvSharedErrorLog),
// and on `err` too when `summary_to_err`; a run that could not start logs why as a
// warning instead. Only one run at a time works in a program folder: while another
// holds it, Main logs who does and returns kExitLocked. Returns the exit status.
// Never throws.
int Main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
         bool summary_to_err);

}  // namespace qv

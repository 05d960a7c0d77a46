#pragma once

#include "export/RunStats.h"

namespace qv {

// Exit statuses of the program.
inline constexpr int kExitSuccess = 0;     // every rule ran without a reported failure
inline constexpr int kExitFailure = 1;     // a rule, query, file write or upload failed
inline constexpr int kExitNotStarted = 2;  // bad command line, or the run could not start
inline constexpr int kExitLocked = 3;      // another run holds the program folder
// A run stopped by SIGTERM or SIGINT exits with 128 + the signal's number.

// The exit status a finished run gives.
int ExitStatus(const RunStats& stats);

}  // namespace qv

#pragma once

#include <ostream>
#include <span>
#include <string>

namespace rsfile {

// Exit statuses of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the command failed; one line on standard error
inline constexpr int kExitUsage = 2;    // the command line is wrong; error plus usage

// Runs the tool on its arguments (without the program name): normal output goes to
// `out`, errors, prefixed "rsfile: ", to `err`. Returns the exit status.
int Run(std::span<const std::string> args, std::ostream& out, std::ostream& err);

}  // namespace rsfile

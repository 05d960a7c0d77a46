#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace rsfile {

// The options a command accepts besides --help.
struct OptionSet {
  bool decode = false;
  bool encode = false;
};

// One command's arguments after parsing.
struct CommandLine {
  std::vector<std::string> operands;
  std::optional<int32_t> decode;  // encode type for --decode
  std::optional<int32_t> encode;  // encode type for --encode
  bool help = false;
};

// Parses the arguments that follow the command name. Options may come anywhere, as
// "--decode N" or "--decode=N"; "--" ends the options. Throws UsageError (naming the
// command) for an unknown option, an option the command does not take, a repeated
// option, or an encode type other than 1 or 6. The number of operands is the
// caller's to check.
CommandLine ParseCommandLine(const std::string& command, std::span<const std::string> args,
                             OptionSet allowed);

}  // namespace rsfile

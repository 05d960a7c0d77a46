#pragma once

#include <string_view>

namespace rsfile {

// The tool's usage: its commands, one line each.
std::string_view GeneralUsage();

// The usage line of one command ("Usage: rsfile show FILE [--decode N]"); empty for
// an unknown command.
std::string_view CommandUsage(std::string_view command);

// What the command does, its options and an example; empty for an unknown command.
std::string_view CommandHelp(std::string_view command);

}  // namespace rsfile

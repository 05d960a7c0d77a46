#include "CommandLine.h"

#include <charconv>
#include <string_view>

#include "ToolError.h"

namespace rsfile {
namespace {

int32_t ParseEncodeType(const std::string& command, std::string_view option,
                        std::string_view text) {
  int32_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || (value != 1 && value != 6)) {
    throw UsageError(
        std::string(option) + " takes an encode type, 1 or 6, not '" + std::string(text) + "'",
        command);
  }
  return value;
}

}  // namespace

CommandLine ParseCommandLine(const std::string& command, std::span<const std::string> args,
                             OptionSet allowed) {
  CommandLine line;
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      line.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      line.help = true;
      continue;
    }
    std::string_view name = arg;
    std::optional<std::string_view> value;
    if (size_t eq = name.find('='); eq != std::string_view::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    std::optional<int32_t>* target = nullptr;
    if (name == "--decode" && allowed.decode) target = &line.decode;
    if (name == "--encode" && allowed.encode) target = &line.encode;
    if (target == nullptr) {
      throw UsageError("unknown option '" + std::string(name) + "' for '" + command + "'", command);
    }
    if (target->has_value()) {
      throw UsageError(std::string(name) + " given twice", command);
    }
    if (!value) {
      if (i + 1 == args.size()) {
        throw UsageError(std::string(name) + " needs an encode type, 1 or 6", command);
      }
      value = args[++i];
    }
    *target = ParseEncodeType(command, name, *value);
  }
  return line;
}

}  // namespace rsfile

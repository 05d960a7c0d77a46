#pragma once

#include <stdexcept>
#include <string>

namespace rsfile {

// A failure the tool reports as one line on standard error, exit status 1.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A command line the tool cannot run: reported with the usage, exit status 2.
class UsageError : public std::runtime_error {
 public:
  UsageError(const std::string& message, std::string command = {})
      : std::runtime_error(message), command_(std::move(command)) {}

  // The command whose usage applies; empty for the tool's general usage.
  const std::string& command() const { return command_; }

 private:
  std::string command_;
};

}  // namespace rsfile

#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qv::e2e {

// How a child process ended and what it printed.
struct ChildResult {
  int exit_code = -1;  // 128 + signal number when it was killed
  bool timed_out = false;
  std::string out;
  std::string err;
  long max_rss_kb = 0;  // peak resident set of the child
  double seconds = 0;   // wall time from start to end
};

// What to run and how.
struct ChildOptions {
  // Variables set (or, with no value, removed) on top of this process's environment.
  std::map<std::string, std::optional<std::string>> env;
  // Fed to standard input; /dev/null when not set.
  std::optional<std::filesystem::path> stdin_file;
  // Where standard output and error are captured; a fresh temporary folder when empty.
  std::filesystem::path scratch;
  // Killed (SIGKILL) once this much time has passed.
  std::chrono::seconds limit{180};
  // Standard output goes to this file and is not read back when set.
  std::optional<std::filesystem::path> stdout_file;
};

// Runs argv[0] (looked up on PATH when it holds no "/") without a shell and waits for
// it. Throws std::runtime_error when it cannot be started.
ChildResult RunChild(const std::vector<std::string>& argv, const ChildOptions& options = {});

// The full path of a program on PATH; empty when there is none.
std::string FindOnPath(const std::string& program);

}  // namespace qv::e2e

#pragma once

#include <memory>
#include <string>
#include <vector>

namespace qv::platform {

// Starts a program and waits for it to end. The argument vector is passed to the
// program as it is: argv[0] is the path of the program (not searched on PATH) and
// every further element reaches it as one argument. Nothing goes through a shell.
class ProcessRunner {
 public:
  virtual ~ProcessRunner() = default;

  // Runs the program and returns its exit status (0 to 255) once it has ended.
  // Throws core::Error, whose description gives the reason, when the vector is empty,
  // when the program could not be started (53 when it does not exist, 70 when it may
  // not be run), when it was ended by a signal, or when waiting for it failed.
  virtual int Run(const std::vector<std::string>& argv) = 0;

  // As Run, with what the program writes to standard error caught in `error_output`
  // (its first few kilobytes) instead of reaching ours. This default runs it as Run does.
  virtual int RunQuietly(const std::vector<std::string>& argv, std::string& error_output) {
    error_output.clear();
    return Run(argv);
  }
};

// The real runner: posix_spawn and waitpid. The child gets the caller's environment,
// standard output and standard error, and /dev/null as standard input. It runs in a
// process group of its own, which a second stop signal kills (StopSignal.h).
class PosixProcessRunner : public ProcessRunner {
 public:
  int Run(const std::vector<std::string>& argv) override;
  int RunQuietly(const std::vector<std::string>& argv, std::string& error_output) override;

 private:
  // Runs the program with `error_fd` as its standard error, or ours when it is -1.
  static int Spawn(const std::vector<std::string>& argv, int error_fd);
};

// The process-wide runner that the program's operations use; a PosixProcessRunner
// unless replaced. Safe to call from any thread.
std::shared_ptr<ProcessRunner> CurrentProcessRunner();

// Replaces the process-wide runner and returns the previous one; null restores the
// real runner. Meant for tests, which put in a runner that records its arguments.
std::shared_ptr<ProcessRunner> SetProcessRunner(std::shared_ptr<ProcessRunner> runner);

}  // namespace qv::platform

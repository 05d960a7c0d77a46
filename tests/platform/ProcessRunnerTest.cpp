#include "platform/ProcessRunner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <csignal>
#include <filesystem>

#include "core/Error.h"
#include "support/TestFolder.h"

namespace qv::platform {
namespace {

namespace fs = std::filesystem;

constexpr char kShell[] = "/bin/sh";

// The error the runner throws for `argv`; fails the test when it returns instead.
core::ErrorRecord RunFailure(const std::vector<std::string>& argv) {
  PosixProcessRunner runner;
  try {
    const int status = runner.Run(argv);
    ADD_FAILURE() << "ran with status " << status;
  } catch (const core::Error& e) {
    return e.record();
  }
  return {};
}

// Restores a signal's disposition when the test ends.
class SignalRestorer {
 public:
  explicit SignalRestorer(int signal) : signal_(signal) { sigaction(signal_, nullptr, &saved_); }
  ~SignalRestorer() { sigaction(signal_, &saved_, nullptr); }
  SignalRestorer(const SignalRestorer&) = delete;
  SignalRestorer& operator=(const SignalRestorer&) = delete;

 private:
  int signal_;
  struct sigaction saved_ {};
};

TEST(ProcessRunner, ReturnsTheExitStatusOfTheProgram) {
  PosixProcessRunner runner;
  EXPECT_EQ(runner.Run({kShell, "-c", "exit 0"}), 0);
  EXPECT_EQ(runner.Run({kShell, "-c", "exit 3"}), 3);
  EXPECT_EQ(runner.Run({kShell, "-c", "exit 255"}), 255);
}

TEST(ProcessRunner, EachElementIsOneArgumentAndNothingIsRunByAShell) {
  test::TestFolder folder;
  const fs::path cwd_bait = fs::current_path() / "pwned";
  ASSERT_FALSE(fs::exists(cwd_bait));
  const std::string hostile = "a \"q\" 'p' $(touch pwned) `touch pwned` ; touch pwned & x.txt";
  const fs::path target = folder.Path() / hostile;

  PosixProcessRunner runner;
  ASSERT_EQ(runner.Run({"/usr/bin/touch", target.string()}), 0);

  EXPECT_TRUE(fs::exists(target));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.Path()), fs::directory_iterator()), 1);
  EXPECT_FALSE(fs::exists(cwd_bait));
}

TEST(ProcessRunner, ProgramThatCannotStartThrowsWithTheReason) {
  test::TestFolder folder;
  const fs::path missing = folder.Path() / "upload.exe";
  core::ErrorRecord error = RunFailure({missing.string(), "x"});
  EXPECT_EQ(error.number, core::kErrFileNotFound);
  EXPECT_NE(error.description.find(missing.string()), std::string::npos) << error.description;

  const fs::path not_executable = folder.Write("plain", "#!/bin/sh\nexit 0\n");
  ::chmod(not_executable.c_str(), 0644);
  error = RunFailure({not_executable.string()});
  EXPECT_EQ(error.number, core::kErrPermissionDenied);
  EXPECT_NE(error.description.find("ermission"), std::string::npos) << error.description;

  // The path is taken as it is, never searched on PATH.
  error = RunFailure({"sh", "-c", "exit 0"});
  EXPECT_EQ(error.number, core::kErrFileNotFound);

  error = RunFailure({});
  EXPECT_EQ(error.number, core::kErrInvalidProcedureCall);
}

TEST(ProcessRunner, ProgramEndedByASignalIsAFailure) {
  const core::ErrorRecord error = RunFailure({kShell, "-c", "kill -KILL $$"});
  EXPECT_NE(error.description.find("signal 9"), std::string::npos) << error.description;
}

TEST(ProcessRunner, ChildGetsDefaultSignalsEvenWhenThisProcessIgnoresThem) {
  SignalRestorer restore(SIGTERM);
  std::signal(SIGTERM, SIG_IGN);
  // An inherited "ignore" would let the shell survive and exit 0.
  const core::ErrorRecord error = RunFailure({kShell, "-c", "kill -TERM $$; exit 0"});
  EXPECT_NE(error.description.find("signal 15"), std::string::npos) << error.description;
}

TEST(ProcessRunner, ChildDoesNotReadThisProcessStandardInput) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  ASSERT_EQ(::write(pipe_fds[1], "data\n", 5), 5);
  ::close(pipe_fds[1]);
  const int saved_stdin = ::dup(STDIN_FILENO);
  ::dup2(pipe_fds[0], STDIN_FILENO);
  ::close(pipe_fds[0]);

  PosixProcessRunner runner;
  const int status = runner.Run({kShell, "-c", "read line && test \"$line\" = data"});

  ::dup2(saved_stdin, STDIN_FILENO);
  ::close(saved_stdin);
  EXPECT_NE(status, 0) << "the child read the parent's standard input";
}

TEST(ProcessRunner, WaitGoesOnWhenASignalInterruptsIt) {
  SignalRestorer restore(SIGALRM);
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: waitpid sees EINTR
  ASSERT_EQ(sigaction(SIGALRM, &action, nullptr), 0);
  itimerval timer{};
  timer.it_value.tv_usec = 50'000;
  ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

  PosixProcessRunner runner;
  EXPECT_EQ(runner.Run({kShell, "-c", "sleep 0.4; exit 4"}), 4);
}

TEST(ProcessRunner, ProcessWideRunnerCanBeSwappedAndRestored) {
  struct FakeRunner : ProcessRunner {
    int Run(const std::vector<std::string>& argv) override {
      calls.push_back(argv);
      return 9;
    }
    std::vector<std::vector<std::string>> calls;
  };
  auto fake = std::make_shared<FakeRunner>();
  const std::shared_ptr<ProcessRunner> previous = SetProcessRunner(fake);
  EXPECT_EQ(CurrentProcessRunner()->Run({"/nowhere", "a b"}), 9);
  ASSERT_EQ(fake->calls.size(), 1u);
  EXPECT_EQ(fake->calls[0], (std::vector<std::string>{"/nowhere", "a b"}));

  EXPECT_EQ(SetProcessRunner(nullptr), fake);
  EXPECT_NE(dynamic_cast<PosixProcessRunner*>(CurrentProcessRunner().get()), nullptr);
  SetProcessRunner(previous);
}

}  // namespace
}  // namespace qv::platform

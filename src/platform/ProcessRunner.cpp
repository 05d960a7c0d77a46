#include "platform/ProcessRunner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <utility>

#include "core/Error.h"
#include "core/File.h"
#include "core/PosixError.h"
#include "platform/StopSignal.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX asks for it

namespace qv::platform {
namespace {

constexpr char kSource[] = "ProcessRunner";

[[noreturn]] void ThrowStartFailure(int errnum, const std::string& program) {
  throw core::ErrorFromErrno(errnum, kSource, "Cannot start " + program);
}

// Owners of the spawn attribute objects, so every exit path destroys them.
class SpawnActions {
 public:
  SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnActions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ok_ = posix_spawnattr_init(&attributes_) == 0; }
  ~SpawnAttributes() {
    if (ok_) posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  bool ok() const { return ok_; }
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
  bool ok_ = false;
};

std::mutex& RunnerMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<ProcessRunner>& RunnerSlot() {
  static std::shared_ptr<ProcessRunner> runner = std::make_shared<PosixProcessRunner>();
  return runner;
}

}  // namespace

int PosixProcessRunner::Run(const std::vector<std::string>& argv) { return Spawn(argv, -1); }

int PosixProcessRunner::RunQuietly(const std::vector<std::string>& argv,
                                   std::string& error_output) {
  error_output.clear();
  // An unnamed file rather than a pipe: the child never blocks on it, however much it writes.
  const int fd = ::memfd_create("uploader-stderr", MFD_CLOEXEC);
  if (fd < 0) return Spawn(argv, -1);
  core::File caught(fd, "uploader-stderr", kSource);
  const int status = Spawn(argv, fd);
  constexpr size_t kKept = 4096;
  error_output.resize(kKept);
  const ssize_t got = ::pread(fd, error_output.data(), kKept, 0);
  error_output.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return status;
}

int PosixProcessRunner::Spawn(const std::vector<std::string>& argv, int error_fd) {
  if (argv.empty() || argv.front().empty()) {
    throw core::Error(core::kErrInvalidProcedureCall, kSource, "No program to start");
  }
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  SpawnActions actions;
  SpawnAttributes attributes;
  if (!actions.ok() || !attributes.ok()) ThrowStartFailure(ENOMEM, argv.front());
  // The child must not read from our standard input.
  int rc = posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (rc != 0) ThrowStartFailure(rc, argv.front());
  if (error_fd >= 0) {
    rc = posix_spawn_file_actions_adddup2(actions.get(), error_fd, STDERR_FILENO);
    if (rc != 0) ThrowStartFailure(rc, argv.front());
  }

  // Signals this process ignores or blocks would stay ignored or blocked in the child;
  // the uploader must see them as a fresh process does.
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal :
       {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2, SIGXFSZ}) {
    sigaddset(&defaults, signal);
  }
  sigset_t no_mask;
  sigemptyset(&no_mask);
  posix_spawnattr_setsigdefault(attributes.get(), &defaults);
  posix_spawnattr_setsigmask(attributes.get(), &no_mask);
  // A group of its own: a Ctrl-C meant for this program lets the running upload end,
  // and a second stop signal can end the child with everything it started.
  posix_spawnattr_setpgroup(attributes.get(), 0);
  posix_spawnattr_setflags(attributes.get(),
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  pid_t pid = 0;
  rc = posix_spawn(&pid, argv.front().c_str(), actions.get(), attributes.get(), args.data(),
                   environ);
  if (rc != 0) ThrowStartFailure(rc, argv.front());

  const StopChildGuard stop_guard(pid);
  int status = 0;
  for (;;) {
    const pid_t waited = ::waitpid(pid, &status, 0);
    if (waited == pid) break;
    if (waited == -1 && errno == EINTR) continue;
    throw core::ErrorFromErrno(errno, kSource, "Cannot wait for " + argv.front());
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    throw core::Error(core::kErrInvalidProcedureCall, kSource,
                      argv.front() + " was ended by signal " + std::to_string(signal) + " (" +
                          strsignal(signal) + ")");
  }
  throw core::Error(core::kErrInvalidProcedureCall, kSource,
                    argv.front() + " ended in an unknown state " + std::to_string(status));
}

std::shared_ptr<ProcessRunner> CurrentProcessRunner() {
  std::lock_guard lock(RunnerMutex());
  return RunnerSlot();
}

std::shared_ptr<ProcessRunner> SetProcessRunner(std::shared_ptr<ProcessRunner> runner) {
  if (!runner) runner = std::make_shared<PosixProcessRunner>();
  std::lock_guard lock(RunnerMutex());
  return std::exchange(RunnerSlot(), std::move(runner));
}

}  // namespace qv::platform

#include "e2e/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/TestFolder.h"

extern char** environ;

namespace qv::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::vector<std::string> Environment(const ChildOptions& options) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (options.env.count(name) == 0) env.push_back(text);
  }
  for (const auto& [name, value] : options.env) {
    if (value) env.push_back(name + "=" + *value);
  }
  return env;
}

}  // namespace

std::string FindOnPath(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  if (path == nullptr) return {};
  std::stringstream folders(path);
  for (std::string folder; std::getline(folders, folder, ':');) {
    if (folder.empty()) continue;
    const fs::path candidate = fs::path(folder) / program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

ChildResult RunChild(const std::vector<std::string>& argv, const ChildOptions& options) {
  if (argv.empty()) throw std::runtime_error("RunChild: no program");
  const std::string program = FindOnPath(argv.front());
  if (program.empty()) throw std::runtime_error("RunChild: " + argv.front() + " is not on PATH");

  // The captured output goes to a folder of its own when the run was given none.
  std::optional<test::TestFolder> own_scratch;
  if (options.scratch.empty()) own_scratch.emplace();
  const fs::path& scratch = own_scratch ? own_scratch->Path() : options.scratch;
  const fs::path out_path = options.stdout_file ? *options.stdout_file : scratch / ".child-stdout";
  const fs::path err_path = scratch / ".child-stderr";
  const std::string in_path =
      options.stdin_file ? options.stdin_file->string() : std::string("/dev/null");

  std::vector<std::string> args = argv;
  std::vector<char*> arg_pointers;
  for (std::string& arg : args) arg_pointers.push_back(arg.data());
  arg_pointers.push_back(nullptr);
  std::vector<std::string> env = Environment(options);
  std::vector<char*> env_pointers;
  for (std::string& entry : env) env_pointers.push_back(entry.data());
  env_pointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, in_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const auto started = Clock::now();
  const int spawn_error = ::posix_spawn(&pid, program.c_str(), &actions, nullptr,
                                        arg_pointers.data(), env_pointers.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawn_error != 0) {
    throw std::runtime_error("cannot start " + program + ": " + std::strerror(spawn_error));
  }

  ChildResult result;
  // A watchdog kills a child that outlives its limit; the wait below stays blocking so
  // the measured time is not stretched by polling.
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (!ended.wait_until(lock, started + options.limit, [&] { return done; })) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
    }
  });
  int status = 0;
  struct rusage usage {};
  pid_t waited = -1;
  do {
    waited = ::wait4(pid, &status, 0, &usage);
  } while (waited < 0 && errno == EINTR);
  const auto finished = Clock::now();
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  ended.notify_one();
  watchdog.join();
  if (waited != pid) throw std::runtime_error("wait4 failed");
  result.seconds = std::chrono::duration<double>(finished - started).count();
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.max_rss_kb = usage.ru_maxrss;
  if (!options.stdout_file) result.out = test::ReadBytes(out_path);
  result.err = test::ReadBytes(err_path);
  return result;
}

}  // namespace qv::e2e

#include "e2e/RunningExport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace qv::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

extern "C" char** environ;

std::vector<std::string> ChildEnvironment(const ProgramFolder& folder) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (name != "QVDATAEXPORTER_HOME" && name != "QVDATAEXPORTER_REGISTRY" &&
        name != "QV_UPLOAD_CONNECT_TIMEOUT" && name != "QV_UPLOAD_MAX_TIME") {
      env.push_back(text);
    }
  }
  env.push_back("QVDATAEXPORTER_HOME=" + folder.Path().string());
  env.push_back("QV_UPLOAD_CONNECT_TIMEOUT=5");
  env.push_back("QV_UPLOAD_MAX_TIME=30");
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

RunningExport::RunningExport(const ProgramFolder& folder, const std::vector<std::string>& args,
                             std::optional<rlim_t> file_size_limit)
    : folder_(folder) {
  std::vector<std::string> argv = {ProgramFolder::ProgramPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> env = ChildEnvironment(folder);
  std::vector<char*> argv_pointers = Pointers(argv);
  std::vector<char*> env_pointers = Pointers(env);
  const std::string out = scratch_.File("stdout");
  const std::string err = scratch_.File("stderr");

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // Only async-signal-safe calls from here to exec.
    const int in_fd = ::open("/dev/null", O_RDONLY);
    const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0) ::_exit(126);
    ::dup2(in_fd, STDIN_FILENO);
    ::dup2(out_fd, STDOUT_FILENO);
    ::dup2(err_fd, STDERR_FILENO);
    if (file_size_limit) {
      const struct rlimit limit = {*file_size_limit, *file_size_limit};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
    }
    ::execve(argv_pointers[0], argv_pointers.data(), env_pointers.data());
    ::_exit(127);
  }
}

RunningExport::~RunningExport() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

void RunningExport::Signal(int signal) const {
  if (pid_ > 0) ::kill(pid_, signal);
}

ExportRun RunningExport::Wait(std::chrono::seconds limit) {
  ExportRun run;
  if (pid_ <= 0) return run;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t waited = ::waitpid(pid_, &status, WNOHANG);
    if (waited == pid_) break;
    if (waited < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
    if (std::chrono::steady_clock::now() > deadline && !run.timed_out) {
      run.timed_out = true;
      ::kill(pid_, SIGKILL);
    }
    std::this_thread::sleep_for(20ms);
  }
  pid_ = -1;
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = ReadText(scratch_.Path() / "stdout");
  run.err = ReadText(scratch_.Path() / "stderr");
  for (const std::string& name : FileNames(folder_.Path())) {
    if (name.starts_with("RX_") && name.ends_with(".log")) run.log += ReadText(folder_.File(name));
  }
  return run;
}

ExportRun RunLimited(const ProgramFolder& folder, const std::vector<std::string>& args,
                     rlim_t file_size_limit) {
  RunningExport running(folder, args, file_size_limit);
  return running.Wait();
}

void InstallHoldingUploader(const ProgramFolder& folder) {
  fs::rename(folder.File("upload.exe"), folder.File("upload.real"));
  const std::string script = folder.File("upload.exe");
  std::ofstream(script) << R"(#!/bin/sh
dir=$(dirname "$0")
n=$(( $(cat "$dir/upload.count" 2>/dev/null || echo 0) + 1 ))
echo "$n" > "$dir/upload.count"
if [ -e "$dir/hold.$n" ]; then
  echo "$$" > "$dir/held.$n.tmp" && mv "$dir/held.$n.tmp" "$dir/held.$n"
  i=0
  while [ -e "$dir/hold.$n" ] && [ "$i" -lt 1200 ]; do sleep 0.1; i=$((i + 1)); done
fi
exec "$dir/upload.real" "$@"
)";
  fs::permissions(script, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
}

int NextUploadCall(const ProgramFolder& folder) {
  const std::string count = ReadText(folder.File("upload.count"));
  return count.empty() ? 1 : std::atoi(count.c_str()) + 1;
}

void Hold(const ProgramFolder& folder, int n) {
  std::ofstream(folder.File("hold." + std::to_string(n)));
}

void Release(const ProgramFolder& folder, int n) {
  std::error_code ignored;
  fs::remove(folder.File("hold." + std::to_string(n)), ignored);
}

pid_t WaitUntilHeld(const ProgramFolder& folder, int n, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  const std::string held = folder.File("held." + std::to_string(n));
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string pid = ReadText(held);
    if (!pid.empty()) return static_cast<pid_t>(std::atoi(pid.c_str()));
    std::this_thread::sleep_for(20ms);
  }
  return -1;
}

bool ProcessStays(pid_t pid, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
    const size_t state = stat.rfind(") ");
    if (stat.empty() || (state != std::string::npos && stat[state + 2] == 'Z')) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

}  // namespace qv::e2e

#include "RsfileRunner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace rsfile_test {

namespace fs = std::filesystem;

std::vector<std::string> RunResult::ErrLines() const {
  std::vector<std::string> lines;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

RunResult RunRsfile(const std::vector<std::string>& args, const fs::path& scratch) {
  const std::string binary = QV_BINARY_DIR "/tools/rsfile/rsfile";
  const std::string out_path = (scratch / ".rsfile-stdout").string();
  const std::string err_path = (scratch / ".rsfile-stderr").string();

  std::vector<std::string> argv_text = {binary};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  int spawn_error = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawn_error != 0) throw std::runtime_error("cannot start " + binary);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  RunResult result;
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadFile(out_path);
  result.err = ReadFile(err_path);
  fs::remove(out_path);
  fs::remove(err_path);
  return result;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<fs::path> SampleFiles() {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(QV_TEST_DATA_DIR "/ado-samples")) {
    if (entry.path().extension() == ".xml") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool IsFragmentSample(const fs::path& path) {
  // F06 has no root element; F08 is only the pending-change blocks of a data section.
  // F07 is named an excerpt but is a whole document with a shortened schema.
  std::string name = path.filename().string();
  return name.starts_with("F06-") || name.starts_with("F08-");
}

}  // namespace rsfile_test

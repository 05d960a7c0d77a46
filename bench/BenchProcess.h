#pragma once

// Running the built program from a benchmark: spawning, timing and peak memory of a
// child, and a program folder around one data source.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ado/Recordset.h"
#include "store/CQvXMLManip.h"
#include "values/AdoEnums.h"

extern char** environ;

namespace bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Measure {
  int exit_code = -1;
  double seconds = 0;
  double cpu_seconds = 0;
  long peak_kb = 0;
};

struct Spawn {
  std::vector<std::string> argv;
  std::map<std::string, std::string> env;  // added to this process's environment
  std::string stdout_path = "/dev/null";
  std::string stderr_path = "/dev/null";
};

inline pid_t Start(const Spawn& spawn) {
  std::vector<std::string> args = spawn.argv;
  std::vector<char*> arg_pointers;
  for (std::string& arg : args) arg_pointers.push_back(arg.data());
  arg_pointers.push_back(nullptr);
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (spawn.env.count(text.substr(0, text.find('='))) == 0) env.push_back(text);
  }
  for (const auto& [name, value] : spawn.env) env.push_back(name + "=" + value);
  std::vector<char*> env_pointers;
  for (std::string& entry : env) env_pointers.push_back(entry.data());
  env_pointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, spawn.stdout_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, spawn.stderr_path.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  pid_t pid = 0;
  const int error = ::posix_spawnp(&pid, args.front().c_str(), &actions, nullptr,
                                   arg_pointers.data(), env_pointers.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + args.front() + ": " + strerror(error));
  return pid;
}

inline Measure Run(const Spawn& spawn) {
  const auto started = Clock::now();
  const pid_t pid = Start(spawn);
  int status = 0;
  struct rusage usage {};
  while (::wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) throw std::runtime_error("wait4 failed");
  }
  Measure m;
  m.seconds = std::chrono::duration<double>(Clock::now() - started).count();
  m.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  m.peak_kb = usage.ru_maxrss;
  m.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return m;
}

// Runs every command one after the other; the sums of times, the largest peak.
inline Measure RunAll(const std::vector<Spawn>& spawns) {
  Measure total;
  total.exit_code = 0;
  for (const Spawn& spawn : spawns) {
    const Measure m = Run(spawn);
    total.seconds += m.seconds;
    total.cpu_seconds += m.cpu_seconds;
    total.peak_kb = std::max(total.peak_kb, m.peak_kb);
    if (m.exit_code != 0) total.exit_code = m.exit_code;
  }
  return total;
}

// `m` itself, once it is known to have succeeded.
inline const Measure& Require(const Measure& m, const std::string& what) {
  if (m.exit_code != 0) {
    throw std::runtime_error(what + " failed with status " + std::to_string(m.exit_code));
  }
  return m;
}

// A new folder `prefix`-XXXXXX in `base` for a benchmark's files; throws when it cannot
// be made.
// The file system `path` lies on, as "ext4 with a journal (/dev/loop0 on /mnt/j)": the
// cost of making files differs a lot between kinds (ext4 without a journal pays for
// every file made shortly after many were removed), so figures name it.
inline std::string FileSystemOf(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return "unknown";
  const std::string device =
      std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev));
  std::ifstream mounts("/proc/self/mountinfo");
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string id, parent, dev, root, point;
    fields >> id >> parent >> dev >> root >> point;
    const size_t dash = line.find(" - ");
    if (dev != device || dash == std::string::npos) continue;
    std::istringstream rest(line.substr(dash + 3));
    std::string type, source;
    rest >> type >> source;
    if (type == "ext4" || type == "ext3") {
      const std::string name = fs::path(source).filename().string();
      bool journal = false;
      std::error_code ec;
      for (const auto& entry : fs::directory_iterator("/proc/fs/jbd2", ec)) {
        journal = journal || entry.path().filename().string().starts_with(name + "-");
      }
      type += journal ? " with a journal" : " without a journal";
    }
    return type + " (" + source + " on " + point + ")";
  }
  return "unknown";
}

// A new folder in `base` for a benchmark's files; says which file system it is on.
inline fs::path MakeWorkFolder(const fs::path& base, const std::string& prefix) {
  std::string pattern = (base / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot make a folder in " + base.string() + ": " +
                             std::strerror(errno));
  }
  std::printf("files in %s, on %s\n", pattern.c_str(), FileSystemOf(pattern).c_str());
  return pattern;
}

inline fs::path BinaryDir() {
  return fs::read_symlink("/proc/self/exe").parent_path().parent_path();
}
inline fs::path SourceDir() { return fs::path(__FILE__).parent_path().parent_path(); }

// A recordset file of text and whole-number fields, its text values encoded.
inline void WriteConfigFile(const fs::path& path, const std::vector<std::string>& names,
                            const std::vector<std::vector<ado::Variant>>& rows,
                            int32_t encode_type) {
  auto rs = std::make_shared<ado::Recordset>();
  for (size_t i = 0; i < names.size(); ++i) {
    const bool number = names[i].front() == 'n';
    rs->Fields().Append(names[i], number ? ado::adInteger : ado::adVarWChar, number ? 4 : 4000,
                        ado::adFldIsNullable);
  }
  rs->SetLockType(ado::adLockOptimistic);
  rs->Open();
  for (const auto& row : rows) {
    rs->AddNew();
    for (size_t i = 0; i < row.size(); ++i) rs->Fields().Item(i).SetValue(row[i]);
    rs->Update();
  }
  if (!qv::CQvXMLManip().SaveRSToXML(rs, path.string(), true, false, encode_type)) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

struct RuleText {
  std::string target;
  std::string select;
  std::string from;
  std::string order_by;
  std::string import_rule;
};

// A program folder with the uploader, one data source and the rules.
inline void MakeProgramFolder(const fs::path& folder, const std::string& connection,
                              const std::vector<RuleText>& rules, const std::string& upload_url,
                              const std::string& registry_values = "") {
  fs::create_directories(folder);
  fs::copy_file(BinaryDir() / "upload.exe", folder / "upload.exe",
                fs::copy_options::overwrite_existing);
  std::vector<std::vector<ado::Variant>> rows;
  for (const RuleText& rule : rules) {
    rows.push_back({ado::Variant(rule.target), ado::Variant(int32_t{1}), ado::Variant(rule.select),
                    ado::Variant(rule.from), ado::Variant(""), ado::Variant(rule.order_by),
                    ado::Variant(rule.import_rule)});
  }
  WriteConfigFile(folder / "QvExportRules.xml",
                  {"tTargetPath", "nDSID", "tSQLSelect", "tSQLFrom", "tSQLWhere", "tSQLOrderBy",
                   "tImportRuleFolder"},
                  rows, 6);
  WriteConfigFile(folder / "QvExportDS.xml", {"nID", "tName", "tConnectionString"},
                  {{ado::Variant(int32_t{1}), ado::Variant("Bench"), ado::Variant(connection)}}, 1);
  WriteConfigFile(folder / "QvExportSettings.xml", {"nID", "tValue"},
                  {{ado::Variant(int32_t{1}), ado::Variant(upload_url)}}, 1);
  // Only export progress and failures are logged, as in production.
  std::ofstream(folder / "registry.reg")
      << "Windows Registry Editor Version 5.00\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tolvane]\r\n\"EventLogLevel\"=dword:00000001\r\n"
      << registry_values;
}

inline Measure RunExporter(const fs::path& folder, const std::string& mode) {
  Spawn spawn;
  spawn.argv = {(BinaryDir() / "qvdataexporter").string(), mode};
  spawn.env["QVDATAEXPORTER_HOME"] = folder.string();
  spawn.stderr_path = (folder / "stderr.txt").string();
  return Run(spawn);
}

}  // namespace bench

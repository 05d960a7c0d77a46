#include "platform/RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/Clock.h"
#include "core/Error.h"
#include "core/PosixError.h"

namespace qv::platform {
namespace {

constexpr char kSource[] = "RunLock";

std::string ReadFromStart(core::File& file) {
  try {
    file.Seek(0, SEEK_SET);
    return file.ReadAll();
  } catch (const core::Error&) {
    return {};
  }
}

// The value after "key=" up to the line end; empty when missing.
std::string Value(const std::string& text, const std::string& key) {
  const std::string prefix = key + "=";
  size_t at = text.rfind(prefix, 0) == 0 ? 0 : text.find("\n" + prefix);
  if (at == std::string::npos) return {};
  if (at != 0) ++at;
  at += prefix.size();
  const size_t end = text.find('\n', at);
  return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// "pid N, started T" from the text a holder wrote.
RunLock::Holding HoldingOf(const std::string& text) {
  RunLock::Holding holding{Value(text, "pid"), Value(text, "started")};
  if (holding.pid.empty()) holding.pid = "unknown";
  if (holding.started.empty()) holding.started = "unknown";
  return holding;
}

// Whether /proc/locks lists a granted flock on the file with this device and inode.
bool FlockListed(dev_t device, ino_t inode) {
  std::ifstream locks("/proc/locks");
  // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; waiting locks carry "->".
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, advisory, access, pid, file;
    if (!(fields >> number >> kind) || kind == "->" || kind != "FLOCK") continue;
    if (!(fields >> advisory >> access >> pid >> file)) continue;
    unsigned int major_number = 0;
    unsigned int minor_number = 0;
    unsigned long long listed_inode = 0;
    if (std::sscanf(file.c_str(), "%x:%x:%llu", &major_number, &minor_number, &listed_inode) != 3) {
      continue;
    }
    if (listed_inode == inode && major_number == major(device) && minor_number == minor(device)) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::optional<RunLock::Holding> RunLock::Probe(const std::string& folder) {
  const std::string path = (std::filesystem::path(folder) / kFileName).string();
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  if (!FlockListed(status.st_dev, status.st_ino)) return std::nullopt;
  try {
    return HoldingOf(core::File::ReadWhole(path, kSource));
  } catch (const core::Error&) {
    return HoldingOf({});
  }
}

RunLock::RunLock(const std::string& folder) {
  const std::string path = (std::filesystem::path(folder) / kFileName).string();
  // Close-on-exec: the uploader must not inherit the lock and outlive a killed run with it.
  file_ = core::File::TryOpen(path, O_RDWR | O_CREAT | O_NOFOLLOW, kSource, 0644);
  if (!file_.IsOpen()) {
    throw core::ErrorFromErrno(errno, kSource, "cannot open the lock file " + path,
                               core::FileAccess::kCreate);
  }
  const int fd = file_.Descriptor();
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    const int errnum = errno;
    if (errnum != EWOULDBLOCK) {
      throw core::ErrorFromErrno(errnum, kSource, "cannot lock " + path);
    }
    // The holder writes right after locking; give it a moment before reading.
    std::string text;
    for (int attempt = 0; attempt < 20; ++attempt) {
      text = ReadFromStart(file_);
      if (text.find('\n') != std::string::npos && !Value(text, "started").empty()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const Holding holding = HoldingOf(text);
    holder_ = "pid " + holding.pid + ", started " + holding.started;
    return;
  }
  held_ = true;
  const std::string text = "pid=" + std::to_string(::getpid()) +
                           "\nstarted=" + core::FormatDateTime(core::LocalNow()) + "\n";
  // What a turned-away run reads; the lock holds even when this cannot be written.
  if (::ftruncate(fd, 0) == 0) file_.TryWriteAll(text);
}

RunLock::~RunLock() = default;

}  // namespace qv::platform

#include "platform/RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
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

}  // namespace

RunLock::RunLock(const std::string& folder) {
  const std::string path = (std::filesystem::path(folder) / kFileName).string();
  // Close-on-exec: the uploader must not inherit the lock and outlive a killed run with it.
  file_ = core::File::TryOpen(path, O_RDWR | O_CREAT, kSource, 0644);
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
    std::string pid = Value(text, "pid");
    std::string started = Value(text, "started");
    holder_ = "pid " + (pid.empty() ? std::string("unknown") : pid) + ", started " +
              (started.empty() ? std::string("unknown") : started);
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

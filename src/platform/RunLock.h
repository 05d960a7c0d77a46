#pragma once

#include <optional>
#include <string>

#include "core/File.h"

namespace qv::platform {

// One run at a time per folder: an exclusive flock on the file "qvdataexporter.lock"
// in the folder, held for the object's life. The kernel releases it when the process
// ends in any way, so a killed run never leaves a lock behind. The holder writes its
// pid and start time into the file for the runs it turns away. The file itself stays.
class RunLock {
 public:
  static constexpr const char* kFileName = "qvdataexporter.lock";

  // Tries to take the lock without waiting. Throws core::Error, with the reason, when
  // the lock file cannot be opened or locked for another reason than a holder.
  explicit RunLock(const std::string& folder);
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // A run that holds the folder's lock, as its lock file tells.
  struct Holding {
    std::string pid;      // "unknown" while the holder has not written it
    std::string started;  // "yyyy-mm-dd hh:mm:ss", or "unknown"
  };
  // Whether a process holds the lock of `folder`, looked up without taking the lock
  // (the kernel's list of file locks), so that a run starting meanwhile is not turned
  // away. Nothing when no one holds it or the list cannot be read.
  static std::optional<Holding> Probe(const std::string& folder);

  bool Held() const { return file_.IsOpen() && held_; }
  // When not held: "pid N, started yyyy-mm-dd hh:mm:ss" as the holder wrote it
  // ("pid unknown, started unknown" while it has not written yet).
  const std::string& Holder() const { return holder_; }

 private:
  core::File file_;
  bool held_ = false;
  std::string holder_;
};

}  // namespace qv::platform

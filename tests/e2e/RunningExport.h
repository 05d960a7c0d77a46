#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "e2e/ProgramFolder.h"
#include "support/TestFolder.h"

namespace qv::e2e {

// The program started in the background on a program folder, so that a test can act
// while it runs: signal it, hold its uploads, limit the size of the files it writes.
// A run still going when the object goes is killed.
class RunningExport {
 public:
  // Starts the program with `args`, the environment ProgramFolder::Run gives it and,
  // when set, RLIMIT_FSIZE at `file_size_limit` bytes. Throws std::runtime_error when
  // it cannot be started.
  RunningExport(const ProgramFolder& folder, const std::vector<std::string>& args,
                std::optional<rlim_t> file_size_limit = std::nullopt);
  ~RunningExport();
  RunningExport(const RunningExport&) = delete;
  RunningExport& operator=(const RunningExport&) = delete;

  pid_t Pid() const { return pid_; }
  void Signal(int signal) const;
  // Waits for the end (killing the program after `limit`) and collects its output and log.
  ExportRun Wait(std::chrono::seconds limit = std::chrono::seconds(120));

 private:
  const ProgramFolder& folder_;
  test::TestFolder scratch_;
  pid_t pid_ = -1;
};

// The program run to its end, with RLIMIT_FSIZE at `file_size_limit` bytes.
ExportRun RunLimited(const ProgramFolder& folder, const std::vector<std::string>& args,
                     rlim_t file_size_limit);

// Puts an uploader in the folder that counts its calls (from 1, over all runs) and
// holds call n while the file "hold.<n>" exists, after writing its process id to
// "held.<n>". It then hands the call to the real uploader.
void InstallHoldingUploader(const ProgramFolder& folder);
// The number the next upload call of the holding uploader will have.
int NextUploadCall(const ProgramFolder& folder);
// Makes the holding uploader hold call `n`; Release lets it go on.
void Hold(const ProgramFolder& folder, int n);
void Release(const ProgramFolder& folder, int n);
// Waits until call `n` is held; its process id, or -1 when it was not held in time.
pid_t WaitUntilHeld(const ProgramFolder& folder, int n,
                    std::chrono::seconds limit = std::chrono::seconds(120));

// Whether a process with this id is still there and not a zombie, waiting up to `limit`
// for it to go.
bool ProcessStays(pid_t pid, std::chrono::seconds limit);

}  // namespace qv::e2e

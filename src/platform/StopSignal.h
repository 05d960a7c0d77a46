#pragma once

#include <sys/types.h>

#include <string>

namespace qv::platform {

// The process-wide stop request of a run, set by SIGTERM and SIGINT.
//
// The first signal asks the run to stop at its next safe point (between files); the
// code polls StopRequested(). The second one stops at once: its handler ends the
// running uploader (the process group registered with StopChildGuard) and then the
// process, with the exit status StopExitStatus(). Files are always written to a
// temporary and renamed, so stopping at once never leaves a half-written file.

// Installs the handlers for SIGTERM and SIGINT, and a thread that logs a second stop
// signal (AppLog::Process) before it ends the process. Call once, at process start.
void InstallStopHandlers();

// A stop signal has come.
bool StopRequested();
// A second stop signal has come; the process is ending. For in-process transfers that
// poll between their steps.
bool StopNow();
// Called as the process ends on its own: after a second stop signal, makes sure its
// line is in the log, written here or by the thread that logs it.
void FinishStop();
// The first stop signal's number; 0 when none came.
int StopSignalNumber();
// 128 + StopSignalNumber().
int StopExitStatus();

// "SIGTERM", "SIGINT", or "signal N".
std::string SignalName(int signal);

// While alive, a second stop signal kills the process group `group` (a child started
// in a group of its own) before the process ends.
class StopChildGuard {
 public:
  explicit StopChildGuard(pid_t group);
  ~StopChildGuard();
  StopChildGuard(const StopChildGuard&) = delete;
  StopChildGuard& operator=(const StopChildGuard&) = delete;
};

}  // namespace qv::platform

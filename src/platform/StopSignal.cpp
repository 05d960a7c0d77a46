#include "platform/StopSignal.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <system_error>
#include <thread>

#include "platform/AppLog.h"

namespace qv::platform {
namespace {

// Lock-free atomics are async-signal-safe; the handler touches nothing else but
// kill, write and _exit.
std::atomic<int> signals_seen{0};
std::atomic<int> first_signal{0};
std::atomic<pid_t> child_group{0};
// The write end of the pipe that wakes the thread logging a second stop; -1 without.
std::atomic<int> second_stop_pipe{-1};
// Whoever logs the second stop first: the thread it wakes, or the run ending first.
std::atomic<bool> second_stop_taken{false};
std::atomic<bool> second_stop_logged{false};
// NOLINTNEXTLINE(misc-redundant-expression): pid_t is int here, not everywhere.
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free);

void WriteError(const char* text) {
  const ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
  (void)ignored;
}

extern "C" void OnStopSignal(int signal) {
  int expected = 0;
  first_signal.compare_exchange_strong(expected, signal);
  if (signals_seen.fetch_add(1) == 0) return;

  const pid_t group = child_group.load();
  if (group > 0) ::kill(-group, SIGKILL);
  // The thread logs the stop and ends the process; a third signal does not wait for it.
  const int wake = second_stop_pipe.load();
  if (signals_seen.load() == 2 && wake >= 0 && ::write(wake, "x", 1) == 1) return;
  WriteError("qvdataexporter: second stop signal, stopping at once\n");
  ::_exit(128 + first_signal.load());
}

void LogSecondStopLine() {
  AppLog::Process().LogEvent("qvdataexporter: second stop signal (" +
                                 SignalName(StopSignalNumber()) + "), stopping at once",
                             kAppLogWarning);
  second_stop_logged.store(true);
}

// Waits for a second stop signal, logs it and ends the process, unless the run, ending
// at the same time, took the line over.
void LogSecondStop(int wait) {
  char byte = 0;
  while (::read(wait, &byte, 1) < 0 && errno == EINTR) {
  }
  if (second_stop_taken.exchange(true)) return;
  LogSecondStopLine();
  ::_exit(StopExitStatus());
}

}  // namespace

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted reads and writes go on; waits that poll the stop request are
  // interrupted regardless.
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  int ends[2] = {-1, -1};
  if (second_stop_pipe.load() >= 0 || ::pipe2(ends, O_CLOEXEC) != 0) return;
  try {
    std::thread(LogSecondStop, ends[0]).detach();
    second_stop_pipe.store(ends[1]);
  } catch (const std::system_error&) {
    // Without the thread the handler itself ends the process, unlogged.
    ::close(ends[0]);
    ::close(ends[1]);
  }
}

bool StopRequested() { return signals_seen.load() > 0; }

bool StopNow() { return signals_seen.load() > 1; }

void FinishStop() {
  if (!StopNow()) return;
  if (!second_stop_taken.exchange(true)) {
    LogSecondStopLine();
    return;
  }
  // The thread is writing the line; the process ends once it is out.
  for (int i = 0; i < 200 && !second_stop_logged.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int StopSignalNumber() { return first_signal.load(); }

int StopExitStatus() { return 128 + first_signal.load(); }

std::string SignalName(int signal) {
  switch (signal) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    default:
      return "signal " + std::to_string(signal);
  }
}

StopChildGuard::StopChildGuard(pid_t group) { child_group.store(group); }

StopChildGuard::~StopChildGuard() { child_group.store(0); }

}  // namespace qv::platform

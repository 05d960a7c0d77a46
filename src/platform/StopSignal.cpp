#include "platform/StopSignal.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

namespace qv::platform {
namespace {

// Lock-free atomics are async-signal-safe; the handler touches nothing else but
// kill, write and _exit.
std::atomic<int> signals_seen{0};
std::atomic<int> first_signal{0};
std::atomic<pid_t> child_group{0};
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
  WriteError("qvdataexporter: second stop signal, stopping at once\n");
  ::_exit(128 + first_signal.load());
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
}

bool StopRequested() { return signals_seen.load() > 0; }

bool StopNow() { return signals_seen.load() > 1; }

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

#include "app/ExitStatus.h"

namespace qv {

int ExitStatus(const RunStats& stats) {
  if (!stats.started) return kExitNotStarted;
  if (stats.stop_signal != 0) return 128 + stats.stop_signal;
  if (stats.aborted || stats.rules_failed > 0 || stats.sends_failed > 0 || stats.failures > 0) {
    return kExitFailure;
  }
  return kExitSuccess;
}

}  // namespace qv

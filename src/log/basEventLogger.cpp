#include "log/basEventLogger.h"

#include "log/CQvEventLogger.h"

namespace qv {

CQvEventLogger& TraceEventLogger() {
  static CQvEventLogger logger;
  return logger;
}

void TraceEvent(const std::string& message, const ado::ErrorRecord& error, int32_t event_type,
                int32_t caller_level) {
  // The logger's own file routines trace their failures; those must not come back here.
  thread_local bool writing = false;
  if (writing) return;
  writing = true;
  try {
    ado::ErrorRecord record = error;
    TraceEventLogger().LogEvent(message, &record, event_type, caller_level);
  } catch (...) {
    // A trace that cannot be written is dropped; the caller goes on.
  }
  writing = false;
}

}  // namespace qv

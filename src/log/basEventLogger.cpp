#include "log/basEventLogger.h"

#include "shared/QvSharedErrorLog.h"

namespace qv {

void TraceEvent(const std::string& message, const ado::ErrorRecord& error, int32_t event_type,
                int32_t caller_level) {
  QvSharedErrorLog::Instance().LogEvent(message, error, event_type, caller_level);
}

}  // namespace qv

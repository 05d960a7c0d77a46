#pragma once

#include <cstdint>
#include <string>

#include "ado/Error.h"

namespace qv {

class CQvEventLogger;

// The module trace routine: receives the progress and failure reports of the export
// classes and the standard modules and writes them through one process-wide
// CQvEventLogger, which filters them by its Level like every logger. A report made
// while a report is being written is dropped. Never throws.
void TraceEvent(const std::string& message, const ado::ErrorRecord& error, int32_t event_type,
                int32_t caller_level);

// The logger behind TraceEvent, created on first use and kept until the process ends.
CQvEventLogger& TraceEventLogger();

}  // namespace qv

#pragma once

#include "shared/EventSink.h"

namespace qv {

class CQvEventLogger;

// The logger behind TraceEvent once InstallEventLogging ran: one process-wide
// CQvEventLogger, created on first use and kept until the process ends, which filters
// reports by its Level like every logger. A report made while a report is being
// written is dropped.
CQvEventLogger& TraceEventLogger();

// Installs the logger as the event sink of the lower layers: TraceEvent writes through
// TraceEventLogger, and NewEventLog gives a CQvEventLogger of its own. The program
// calls it at start; calling it again changes nothing.
void InstallEventLogging();

}  // namespace qv

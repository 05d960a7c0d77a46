#pragma once

#include <cstdint>
#include <string>

#include "ado/Error.h"

namespace qv {

// The module trace routine: receives the progress and failure reports of the export
// classes and the standard modules. Never throws.
void TraceEvent(const std::string& message, const ado::ErrorRecord& error, int32_t event_type,
                int32_t caller_level);

}  // namespace qv

#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "core/Error.h"
#include "shared/QvSharedErrorLog.h"

namespace qv {

// Where an operation sends its failure report.
using ReportFn = void (*)(const std::string& message, const core::ErrorRecord& error,
                          int32_t event_type, int32_t caller_level);

// Reports to QvSharedErrorLog::LogEvent.
void ReportToErrorLog(const std::string& message, const core::ErrorRecord& error,
                      int32_t event_type, int32_t caller_level);

// The error record for the exception being handled: core::Error keeps its own record;
// other exceptions get a record with a matching VB number and their what() text.
// Call only inside a catch block.
core::ErrorRecord CurrentErrorRecord();

// The error boundary of one public operation. `body(line)` runs with `line` the step
// counter, which the body sets before each step. Any exception is caught, reported
// as `message(line)` with its error record, event type 2 and caller level 1, and
// the neutral result is returned instead. Nothing escapes.
template <typename Result, typename Body, typename Message>
Result Guard(ReportFn report, Result neutral, Body&& body, Message&& message) {
  int line = 0;
  try {
    return std::forward<Body>(body)(line);
  } catch (...) {
    const core::ErrorRecord error = CurrentErrorRecord();
    try {
      report(std::forward<Message>(message)(line), error, kEventWarning, kLevelExport);
    } catch (...) {
      // Building the message failed (out of memory): nothing more can be reported.
    }
  }
  return neutral;
}

// A message of the common form: the prefix followed by the step number.
inline auto AtLine(std::string prefix) {
  return [prefix = std::move(prefix)](int line) { return prefix + std::to_string(line); };
}

// A message without a step number.
inline auto Fixed(std::string text) {
  return [text = std::move(text)](int) { return text; };
}

}  // namespace qv

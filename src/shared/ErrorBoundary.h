#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "core/Error.h"
#include "shared/QvSharedErrorLog.h"

namespace qv {

// Where an operation sends its failure report; Guard takes any callable of this form.
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
// through `report(message(line), error record, event type 2, caller level 1)`, and
// `neutral(line)` is returned instead. Nothing escapes.
template <typename Result, typename Report, typename Neutral, typename Body, typename Message>
Result GuardByStep(Report&& report, Neutral&& neutral, Body&& body, Message&& message) {
  int line = 0;
  try {
    return std::forward<Body>(body)(line);
  } catch (...) {
    const core::ErrorRecord error = CurrentErrorRecord();
    try {
      std::forward<Report>(report)(std::forward<Message>(message)(line), error, kEventWarning,
                                   kLevelExport);
    } catch (...) {
      // Building the message failed (out of memory): nothing more can be reported.
    }
  }
  return std::forward<Neutral>(neutral)(line);
}

// Reports the exception being handled to the error log as Guard does (event type 2,
// caller level 1), with the text `message()` gives. Call only inside a catch block;
// nothing escapes.
template <typename Message>
void ReportCurrentError(Message&& message) noexcept {
  try {
    const core::ErrorRecord error = CurrentErrorRecord();
    ReportToErrorLog(std::forward<Message>(message)(), error, kEventWarning, kLevelExport);
  } catch (...) {
    // Building the message failed (out of memory): nothing more can be reported.
  }
}

// GuardByStep with the same neutral result whatever the step.
template <typename Result, typename Report, typename Body, typename Message>
Result Guard(Report&& report, Result neutral, Body&& body, Message&& message) {
  return GuardByStep<Result>(
      std::forward<Report>(report), [&neutral](int) { return std::move(neutral); },
      std::forward<Body>(body), std::forward<Message>(message));
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

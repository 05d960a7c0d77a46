#include "util/basErrorHandling.h"

#include "shared/EventSink.h"
#include "shared/TextFormatter.h"

namespace qv {

std::string FormatResourceText(const std::string& identifier, const std::string& prefix) {
  return prefix + LoadResourceText(identifier);
}

std::string FormatResourceText(const std::string& identifier, const std::string& prefix,
                               const std::vector<std::string>& parameters) {
  // The prefix is kept with parameters too, so no caller's text is dropped.
  return prefix + TextFormatter::Format(LoadResourceText(identifier), parameters);
}

void RaiseProgramError(int32_t number, const std::string& identifier, const std::string& source,
                       const std::vector<std::string>& parameters, const std::string& help_file,
                       int32_t help_context) {
  const int64_t full_number = static_cast<int64_t>(number) + kObjectErrorBase;
  if (full_number < INT32_MIN || full_number > INT32_MAX) {
    throw core::Error(core::kErrOverflow, source, "Overflow");
  }
  throw core::Error(core::ErrorRecord{static_cast<int32_t>(full_number), source,
                                      FormatResourceText(identifier, "", parameters), help_file,
                                      help_context});
}

}  // namespace qv

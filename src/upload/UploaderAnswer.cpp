#include "upload/UploaderAnswer.h"

#include <cerrno>
#include <cstdlib>

namespace qv {

void ReadUploaderAnswer(const std::string& error_output, SendResult& result) {
  for (const std::string said : {"the server answered ", "returned error: "}) {
    const size_t at = error_output.rfind(said);
    if (at == std::string::npos) continue;
    errno = 0;
    const long status = std::strtol(error_output.c_str() + at + said.size(), nullptr, 10);
    // Only a three-digit status is an answer.
    result.http_status = errno == 0 && status >= 100 && status <= 999 ? status : 0;
    static constexpr char kRetryAfter[] = "(Retry-After: ";
    const size_t retry = error_output.find(kRetryAfter, at);
    if (retry != std::string::npos) {
      char* end = nullptr;
      const char* from = error_output.c_str() + retry + sizeof kRetryAfter - 1;
      const double seconds = std::strtod(from, &end);
      if (end != from && *end == ')' && seconds >= 0) {
        result.retry_after = seconds;
      }
    }
    return;
  }
}

}  // namespace qv

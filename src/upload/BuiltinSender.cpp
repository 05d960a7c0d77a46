#include "upload/BuiltinSender.h"

#include <exception>

namespace qv {

BuiltinSender::BuiltinSender(AbortCheck abort_check)
    : abort_check_(std::move(abort_check)), transfer_(&abort_check_) {}

SendResult BuiltinSender::Post(const std::string& file, const std::string& address,
                               const std::vector<std::string>& header_lines,
                               const SendOptions& options) {
  try {
    if (std::optional<SendResult> refused = transfer_.Begin(file, address, header_lines, options)) {
      return *refused;
    }
    return transfer_.End(curl_easy_perform(transfer_.easy()));
  } catch (const std::exception& e) {
    return SendResult::Failed(CURLE_FAILED_INIT, e.what());
  }
}

}  // namespace qv

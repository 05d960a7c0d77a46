#include "upload/ConnectionCheck.h"

#include <cmath>
#include <exception>

#include "upload/CurlHandles.h"

namespace qv {

SendResult CheckConnection(const std::string& address, const SendOptions& options) {
  try {
    CurlEasy easy;
    CURL* curl = easy.get();
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                     std::lround(options.connect_timeout_seconds * 1000.0));
    ApplyCertificateOptions(curl, options);
    const CURLcode code = curl_easy_perform(curl);
    if (code == CURLE_OK) return {};
    return SendResult::Failed(static_cast<int>(code),
                              error[0] != '\0' ? error : curl_easy_strerror(code));
  } catch (const std::exception& e) {
    return SendResult::Failed(CURLE_FAILED_INIT, e.what());
  }
}

}  // namespace qv

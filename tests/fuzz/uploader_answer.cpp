// What the uploader program prints on standard error about the server's answer.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzInput.h"
#include "upload/UploaderAnswer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qv::SendResult result;
  qv::ReadUploaderAnswer(std::string(fuzz::AsText(data, size)), result);
  if (result.http_status != 0 && (result.http_status < 100 || result.http_status > 999)) {
    std::abort();
  }
  if (result.retry_after && !(*result.retry_after >= 0)) std::abort();
  return 0;
}

#pragma once

#include <string>

#include "upload/PostTransfer.h"

namespace qv {

// Reads the HTTP status and Retry-After that upload.exe names on its standard error
// ("the server answered 503 (Retry-After: 2)"), or curl's own "returned error: 503",
// into `result`; leaves it as it is when the output names neither.
void ReadUploaderAnswer(const std::string& error_output, SendResult& result);

}  // namespace qv

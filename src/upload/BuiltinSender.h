#pragma once

#include <functional>
#include <string>
#include <vector>

#include "upload/CurlHandles.h"

namespace qv {

// How one upload went, in the terms of the curl program that upload.exe runs: status 0
// when the server answered 2xx, otherwise the exit status curl gives for the same
// failure (7 no connection, 22 an answer other than 2xx, 26 the file cannot be read,
// 28 out of time, 42 aborted, 52 no answer ...), and a text saying why.
struct SendResult {
  int status = 0;
  std::string reason;
};

struct SendOptions {
  double connect_timeout_seconds = 10;
  double max_time_seconds = 300;  // the whole transfer; 0 is no limit
  bool verify_certificate = false;

  // The defaults, with the limits that QV_UPLOAD_CONNECT_TIMEOUT and QV_UPLOAD_MAX_TIME
  // (seconds) set, as upload.exe reads them; a value that is not a number of seconds
  // keeps the default.
  static SendOptions FromEnvironment();
};

// Posts files from this process through libcurl: the request curl --data-binary @file
// sends (POST, the file's bytes as the body, Content-Type application/x-www-form-
// urlencoded, Accept */*, User-Agent curl/<version>) plus the given header lines. One
// easy handle lives as long as the sender, so consecutive uploads to the same server
// reuse its connection. Not for use from two threads at once.
class BuiltinSender {
 public:
  // Asked while a transfer runs (at least once a second); true ends the transfer with
  // status 42.
  using AbortCheck = std::function<bool()>;

  // Throws std::runtime_error when libcurl cannot be set up.
  explicit BuiltinSender(AbortCheck abort_check = nullptr);

  void SetAbortCheck(AbortCheck abort_check) { abort_check_ = std::move(abort_check); }

  // Posts the bytes of `file` to `address`, streamed from the file. Never throws.
  SendResult Post(const std::string& file, const std::string& address,
                  const std::vector<std::string>& header_lines, const SendOptions& options);

 private:
  static int OnProgress(void* sender, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

  CurlEasy easy_;
  AbortCheck abort_check_;
  char error_[CURL_ERROR_SIZE] = {};
};

}  // namespace qv

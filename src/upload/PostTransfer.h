#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/File.h"
#include "upload/CurlHandles.h"

namespace qv {

// How one upload went, in the terms of the curl program that upload.exe runs: status 0
// when the server answered 2xx, otherwise the exit status curl gives for the same
// failure (7 no connection, 22 an answer other than 2xx, 26 the file cannot be read,
// 28 out of time, 42 aborted, 52 no answer ...), and a text saying why.
struct SendResult {
  int status = 0;
  std::string reason;
  long http_status = 0;  // the server's answer; 0 when none came
  // The server's Retry-After, in seconds, when it sent one.
  std::optional<double> retry_after;

  // A failure without an answer from the server.
  static SendResult Failed(int failed_status, std::string why) {
    SendResult result;
    result.status = failed_status;
    result.reason = std::move(why);
    return result;
  }
};

struct SendOptions {
  double connect_timeout_seconds = 10;
  double max_time_seconds = 300;  // the whole transfer; 0 is no limit
  bool verify_certificate = false;
  // With verify_certificate: a PEM file of the CA certificates the server's must chain
  // to, instead of the system's. Empty: the system's.
  std::string ca_file;

  // The defaults, with the limits that QV_UPLOAD_CONNECT_TIMEOUT and QV_UPLOAD_MAX_TIME
  // (seconds) set, as upload.exe reads them; a value that is not a number of seconds
  // keeps the default.
  static SendOptions FromEnvironment();
};

// Sets the certificate checks of `options` on `curl`: none, or the server's certificate
// and name checked against `options.ca_file` or the system's CA certificates.
void ApplyCertificateOptions(CURL* curl, const SendOptions& options);

// Asked while a transfer runs (at least once a second); true ends the transfer with
// status 42.
using AbortCheck = std::function<bool()>;

// One easy handle set up to send what curl --data-binary @file sends (POST, the file's
// bytes as the body, Content-Type application/x-www-form-urlencoded, Accept */*,
// User-Agent curl/<version>), one file at a time. The handle keeps its connection
// between files when it runs on its own. Not movable: libcurl holds its address.
class PostTransfer {
 public:
  // `abort_check` must outlive the transfer; it may be empty. Throws
  // std::runtime_error when libcurl cannot be set up.
  explicit PostTransfer(const AbortCheck* abort_check);
  PostTransfer(const PostTransfer&) = delete;
  PostTransfer& operator=(const PostTransfer&) = delete;

  // Readies the handle to post `file` to `address` with the header lines, streamed from
  // the file. A result when it cannot start (the file cannot be read), else nothing.
  std::optional<SendResult> Begin(const std::string& file, const std::string& address,
                                  const std::vector<std::string>& header_lines,
                                  const SendOptions& options);
  // The outcome once libcurl ended the transfer with `code`; the file is closed and the
  // handle no longer points at it.
  SendResult End(CURLcode code);

  CURL* easy() const { return easy_.get(); }

 private:
  struct Body {
    core::File file;
    bool read_failed = false;
  };
  static size_t ReadBody(char* buffer, size_t size, size_t count, void* transfer);
  static int SeekBody(void* transfer, curl_off_t offset, int origin);
  static int OnProgress(void* transfer, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

  CurlEasy easy_;
  const AbortCheck* abort_check_;
  Body body_;
  CurlHeaderList headers_;
  std::string file_;
  char error_[CURL_ERROR_SIZE] = {};
};

}  // namespace qv

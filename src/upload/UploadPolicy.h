#pragma once

#include <optional>
#include <string>
#include <vector>

#include "upload/PostTransfer.h"

namespace qv {

// How a run sends its files: how many transfers the built-in sender keeps in flight,
// how often a passing fault is tried again, and after how many connection failures in
// a row the run stops sending.
struct UploadPolicy {
  int connections = 1;    // 1 to 16
  int retries = 2;        // 0 or more
  int give_up_after = 5;  // 1 or more
  // The wait before the first retry; each later one waits four times the one before.
  double first_wait_seconds = 1;

  static constexpr int kMaxConnections = 16;
  // The longest wait a server's Retry-After gets.
  static constexpr double kMaxRetryAfterSeconds = 60;

  // The values "UploaderConnections", "UploaderRetries" and "UploaderGiveUpAfter" under
  // HKEY_LOCAL_MACHINE\SOFTWARE\Tolvane, and QV_UPLOAD_RETRY_WAIT (seconds) for the first
  // wait. A value that is not a dword in range keeps the default; each such value is
  // added to `warnings` as one line naming the value and the default used.
  static UploadPolicy FromRegistry(std::vector<std::string>& warnings);

  // The wait before retry number `retry` (1 for the first), or the server's Retry-After
  // when it gave one (at most kMaxRetryAfterSeconds).
  double WaitBefore(int retry, std::optional<double> retry_after) const;
};

// The send options of a run: SendOptions::FromEnvironment with the certificate checks of
// the values "UploaderVerifyCertificate" (a dword other than 0 checks the server's
// certificate) and "UploaderCAFile" (a text, see CAFilePath) under
// HKEY_LOCAL_MACHINE\SOFTWARE\Tolvane.
SendOptions SendOptionsFromRegistry();

// The file a value of "UploaderCAFile" names: `value` itself, or a relative path taken
// in the program folder; empty for an empty value.
std::string CAFilePath(const std::string& value);

// Why `path` cannot serve as a file of CA certificates (missing, not a file, unreadable,
// or holding no PEM certificate), as a phrase such as "cannot be read: Permission
// denied"; empty when it can.
std::string CAFileProblem(const std::string& path);

// A failure that may pass: no connection (refused, unreachable), a connection reset or
// left without an answer, out of time, or the server answering 429, 502, 503 or 504.
bool IsPassingFault(const SendResult& result);

// A failure of the connection itself: refused, unreachable, name not resolved, a TLS
// failure, reset, closed without an answer or out of time. The run stops sending after
// enough of them in a row.
bool IsConnectionFailure(const SendResult& result);

}  // namespace qv

#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/TestFolder.h"

namespace qv::test {

// One upload request as the receiver logged it.
struct ReceivedRequest {
  std::string method;
  std::string path;
  std::string query;                  // as sent, still escaped
  std::optional<std::string> imp_id;  // decoded query keys, when present
  std::optional<std::string> fn;
  uint64_t size = 0;                  // body bytes
  int status = 0;                     // 0: the connection was closed without an answer
  std::optional<std::string> stored;  // where the body went, relative to Root()
  std::string request_line;           // "POST /upload?... HTTP/1.1"
  std::vector<std::pair<std::string, std::string>> headers;  // as received, in order
  int client_port = 0;  // the same for requests over one kept-alive connection
  int concurrent = 0;   // uploads being handled when it was answered, itself included
};

// An upload request a receiver answered, as any kind of test receiver saw it.
struct Arrival {
  std::string query;  // as sent, still escaped
  int status = 0;     // the HTTP status of the answer
  std::optional<std::string> idempotency_key;
  std::string body;    // what was stored; empty unless answered 2xx
  int connection = 0;  // the same for uploads over one connection
  int concurrent = 0;  // uploads being handled when it was answered, itself included
};

// What the test receivers share: where to post, and what arrived.
class UploadReceiver {
 public:
  virtual ~UploadReceiver() = default;
  virtual std::string BaseUrl() const = 0;
  // The upload requests answered so far, in the order answered.
  virtual std::vector<Arrival> Arrivals() const = 0;
};

// How the receiver speaks HTTP: HTTP/1.1 keeping its connections; HTTP/1.0 closing the
// connection after each answer; HTTP/1.1 answering "Connection: close"; HTTP/1.1
// keeping its connections with chunked answers.
enum class ReceiverKind { kKeepAlive, kHttp10, kClose, kChunked };

// How the receiver answers the next uploads.
enum class ReceiverMode { kOk, kHttp500, kClose, kStall, kRedirect, kHttp404, kHttp429, kHttp503 };

// tests/support/receiver.py run on a free port of 127.0.0.1 with its own temporary
// folder, for the lifetime of the object. It also sets NO_PROXY for 127.0.0.1 so that
// child processes reach it directly.
class Receiver : public UploadReceiver {
 public:
  // Starts the receiver, speaking as `kind` and answering each upload after
  // `delay_ms`, and waits until it answers. Throws std::runtime_error when it cannot
  // be started or does not answer within a few seconds.
  explicit Receiver(ReceiverKind kind = ReceiverKind::kKeepAlive, int delay_ms = 0);
  // Stops the receiver (SIGTERM, then SIGKILL) and removes its folder.
  ~Receiver() override;
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // The name of a program the receiver or the uploader needs (python3, curl) that is
  // not on PATH; empty when both are there. With QV_TEST_TOOLS_REQUIRED=1 a missing
  // one also fails the current test.
  static std::string MissingTool();

  int Port() const { return port_; }
  // "http://127.0.0.1:<port>/upload": the address to post uploads to.
  std::string BaseUrl() const override;
  std::vector<Arrival> Arrivals() const override;
  const std::filesystem::path& Root() const { return root_; }

  // The upload requests received so far, in order (control and health requests left out).
  std::vector<ReceivedRequest> Requests() const;
  // The body last stored for the import rule and file name, if any.
  std::optional<std::string> Received(const std::string& imp_id, const std::string& fn) const;

  // The next `count` uploads are answered in `mode`; kStall waits `seconds` first, and
  // kHttp429 and kHttp503 send them as Retry-After.
  // kOk clears any mode still set. With `share` below 1, each upload is hit with that
  // probability, drawn from a generator seeded with `seed`, and only those hit count.
  // Throws std::runtime_error when refused.
  void FailNext(ReceiverMode mode, int count, double seconds = 0, double share = 1, int seed = 0);

  // Stops the receiver now; later uploads cannot connect. Safe to call twice.
  void Stop();

 private:
  TestFolder folder_;  // removed after the receiver stopped
  std::filesystem::path root_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// tests/support/tls_receiver.js run by node: HTTPS on a free port of 127.0.0.1 with a
// certificate for 127.0.0.1 that openssl makes for it (self-signed), speaking HTTP/2
// (streams of one connection) or HTTP/1.1 (connections kept), answering each POST
// after `delay_ms`: the first `busy` with 503, the others with 200, for the lifetime of
// the object.
class TlsReceiver : public UploadReceiver {
 public:
  // Throws std::runtime_error when it cannot be started.
  TlsReceiver(bool http2, int delay_ms, int busy = 0);
  ~TlsReceiver() override;
  TlsReceiver(const TlsReceiver&) = delete;
  TlsReceiver& operator=(const TlsReceiver&) = delete;

  // As Receiver::MissingTool, for node and openssl.
  static std::string MissingTool();
  // "https://127.0.0.1:<port>/upload".
  std::string BaseUrl() const override;
  std::vector<Arrival> Arrivals() const override;
  // The server's certificate (PEM), which also serves as the CA file that trusts it.
  std::filesystem::path Certificate() const { return folder_.Path() / "cert.pem"; }

 private:
  TestFolder folder_;
  std::filesystem::path log_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// Sends a request without a body to the receiver and returns the HTTP status, or -1
// when no answer came.
int SimpleHttpRequest(int port, const std::string& method, const std::string& target);

}  // namespace qv::test

#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "upload/PostTransfer.h"

namespace qv {

// Posts files from this process with up to a set number of transfers in flight at once
// (libcurl's multi interface: parallel connections to the server, opened as needed, or
// streams of one HTTP/2 connection where an https server offers it). Whatever the
// server speaks, HTTP/1.0, HTTP/1.1 closing or keeping its connections, or HTTP/2, the
// transfers run side by side. Driven by the caller's thread through Run; not for use
// from two threads at once.
class MultiSender {
 public:
  // Up to `in_flight` transfers (at least 1). `abort_check` is asked while transfers run.
  // Throws std::runtime_error when libcurl cannot be set up.
  MultiSender(int in_flight, AbortCheck abort_check);
  ~MultiSender();
  MultiSender(const MultiSender&) = delete;
  MultiSender& operator=(const MultiSender&) = delete;

  // Whether another transfer may start now.
  bool HasRoom() const { return !free_.empty(); }
  size_t InFlight() const { return slots_.size() - free_.size(); }

  // Starts posting `file` to `address` with the header lines; its outcome, under `id`,
  // comes from a later Run, or at once from the returned value when the file cannot be
  // read. Call only when HasRoom().
  std::optional<SendResult> Start(uint64_t id, const std::string& file, const std::string& address,
                                  const std::vector<std::string>& header_lines,
                                  const SendOptions& options);

  // Moves the transfers on, waiting at most `timeout_ms` for something to happen, and
  // returns those that ended, with their ids.
  std::vector<std::pair<uint64_t, SendResult>> Run(int timeout_ms);

 private:
  struct Slot {
    std::unique_ptr<PostTransfer> transfer;
    uint64_t id = 0;
    std::string server;  // the address without its query
  };

  // Whether a new transfer to `server` waits for a connection that might carry it as a
  // stream, rather than opening one more.
  bool MayMultiplex(const std::string& server) const;

  AbortCheck abort_check_;
  CurlMulti multi_;
  std::vector<Slot> slots_;
  std::vector<size_t> free_;          // indexes into slots_
  std::set<std::string> single_use_;  // servers that answered over HTTP/1
};

}  // namespace qv

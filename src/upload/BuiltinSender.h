#pragma once

#include <string>
#include <vector>

#include "upload/PostTransfer.h"

namespace qv {

// Posts files from this process through libcurl, one after another: the request curl
// --data-binary @file sends plus the given header lines. One easy handle lives as long
// as the sender, so consecutive uploads to the same server reuse its connection. Not
// for use from two threads at once.
class BuiltinSender {
 public:
  using AbortCheck = qv::AbortCheck;

  // Throws std::runtime_error when libcurl cannot be set up.
  explicit BuiltinSender(AbortCheck abort_check = nullptr);

  void SetAbortCheck(AbortCheck abort_check) { abort_check_ = std::move(abort_check); }

  // Posts the bytes of `file` to `address`, streamed from the file. Never throws.
  SendResult Post(const std::string& file, const std::string& address,
                  const std::vector<std::string>& header_lines, const SendOptions& options);

 private:
  AbortCheck abort_check_;
  PostTransfer transfer_;
};

}  // namespace qv

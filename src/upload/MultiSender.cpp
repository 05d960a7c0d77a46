#include "upload/MultiSender.h"

#include <strings.h>

#include <algorithm>
#include <exception>

namespace qv {

MultiSender::MultiSender(int in_flight, AbortCheck abort_check)
    : abort_check_(std::move(abort_check)) {
  const size_t count = static_cast<size_t>(std::max(in_flight, 1));
  curl_multi_setopt(multi_.get(), CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
  curl_multi_setopt(multi_.get(), CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(count));
  slots_.resize(count);
  for (size_t i = 0; i < count; ++i) {
    slots_[i].transfer = std::make_unique<PostTransfer>(&abort_check_);
    free_.push_back(count - 1 - i);
  }
}

// Only https may multiplex (HTTP/2 is not asked for in clear text), and only until a
// transfer there ends over HTTP/1. libcurl learns that a server cannot multiplex only
// from a connection it keeps: against one that closes after each answer, every
// transfer that waits would wait for the one connection being opened, one at a time.
bool MultiSender::MayMultiplex(const std::string& server) const {
  return ::strncasecmp(server.c_str(), "https://", 8) == 0 && !single_use_.contains(server);
}

MultiSender::~MultiSender() {
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (std::find(free_.begin(), free_.end(), i) == free_.end()) {
      curl_multi_remove_handle(multi_.get(), slots_[i].transfer->easy());
      slots_[i].transfer->End(CURLE_ABORTED_BY_CALLBACK);
    }
  }
}

std::optional<SendResult> MultiSender::Start(uint64_t id, const std::string& file,
                                             const std::string& address,
                                             const std::vector<std::string>& header_lines,
                                             const SendOptions& options) {
  const size_t index = free_.back();
  Slot& slot = slots_[index];
  slot.server = address.substr(0, address.find('?'));
  curl_easy_setopt(slot.transfer->easy(), CURLOPT_PIPEWAIT, MayMultiplex(slot.server) ? 1L : 0L);
  try {
    if (std::optional<SendResult> refused =
            slot.transfer->Begin(file, address, header_lines, options)) {
      return refused;
    }
  } catch (const std::exception& e) {
    return SendResult::Failed(CURLE_FAILED_INIT, e.what());
  }
  const CURLMcode added = curl_multi_add_handle(multi_.get(), slot.transfer->easy());
  if (added != CURLM_OK) {
    slot.transfer->End(CURLE_FAILED_INIT);
    return SendResult::Failed(CURLE_FAILED_INIT, curl_multi_strerror(added));
  }
  slot.id = id;
  free_.pop_back();
  return std::nullopt;
}

std::vector<std::pair<uint64_t, SendResult>> MultiSender::Run(int timeout_ms) {
  std::vector<std::pair<uint64_t, SendResult>> ended;
  int running = 0;
  curl_multi_perform(multi_.get(), &running);
  if (running > 0) {
    curl_multi_poll(multi_.get(), nullptr, 0, timeout_ms, nullptr);
    curl_multi_perform(multi_.get(), &running);
  }
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* easy = message->easy_handle;
    const CURLcode code = message->data.result;
    for (size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i].transfer->easy() != easy) continue;
      curl_multi_remove_handle(multi_.get(), easy);
      long version = CURL_HTTP_VERSION_NONE;
      if (curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version) == CURLE_OK &&
          (version == CURL_HTTP_VERSION_1_0 || version == CURL_HTTP_VERSION_1_1)) {
        single_use_.insert(slots_[i].server);
      }
      ended.emplace_back(slots_[i].id, slots_[i].transfer->End(code));
      free_.push_back(i);
      break;
    }
  }
  return ended;
}

}  // namespace qv

#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "HttpSink.h"
#include "support/Receiver.h"

namespace bench {

// The kinds of receiver the upload benchmarks measure, by name.
inline const std::vector<std::string> kReceiverKinds = {
    "HTTP/1.0",         "HTTP/1.1 keep-alive", "HTTP/1.1 Connection: close",
    "HTTP/1.1 chunked", "https HTTP/1.1",      "https HTTP/2"};

// A receiver of one kind, answering after `delay`: the HTTP sink in this process for
// http://, the TLS test receiver (node) for https://.
class KindReceiver {
 public:
  KindReceiver(const std::string& kind, std::chrono::milliseconds delay) {
    if (Tls(kind)) {
      tls_ = std::make_unique<qv::test::TlsReceiver>(kind == "https HTTP/2",
                                                     static_cast<int>(delay.count()));
      return;
    }
    for (const SinkKind sink_kind :
         {SinkKind::kKeepAlive, SinkKind::kHttp10, SinkKind::kClose, SinkKind::kChunked}) {
      if (kind == SinkKindName(sink_kind)) sink_ = std::make_unique<HttpSink>(delay, sink_kind);
    }
  }

  static bool Tls(const std::string& kind) { return kind.rfind("https", 0) == 0; }

  std::string Url() const { return sink_ ? sink_->Url() : tls_->BaseUrl(); }

  // The requests answered, and the most answered at once, since the last call.
  std::pair<uint64_t, int> Take() {
    if (sink_) {
      const uint64_t requests = sink_->Requests();
      const uint64_t answered = requests - seen_;
      seen_ = requests;
      return {answered, sink_->TakeMostAtOnce()};
    }
    const std::vector<qv::test::Arrival> arrivals = tls_->Arrivals();
    int most = 0;
    for (size_t i = seen_; i < arrivals.size(); ++i) most = std::max(most, arrivals[i].concurrent);
    const uint64_t answered = arrivals.size() - seen_;
    seen_ = arrivals.size();
    return {answered, most};
  }

 private:
  std::unique_ptr<HttpSink> sink_;
  std::unique_ptr<qv::test::TlsReceiver> tls_;
  uint64_t seen_ = 0;
};

}  // namespace bench

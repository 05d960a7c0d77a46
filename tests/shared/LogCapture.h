#pragma once

#include <memory>
#include <string>
#include <vector>

#include "shared/QvSharedErrorLog.h"

namespace qv::test {

// Collects what the process-wide error log receives while it lives.
class LogCapture {
 public:
  LogCapture() : sink_(std::make_shared<Sink>()) {
    previous_ = QvSharedErrorLog::Instance().SetSink(sink_);
  }
  ~LogCapture() { QvSharedErrorLog::Instance().SetSink(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<LogEntry>& Entries() const { return sink_->entries; }

  // Entries of the given event type (warnings are failure reports).
  std::vector<LogEntry> OfType(int32_t event_type) const {
    std::vector<LogEntry> found;
    for (const LogEntry& entry : sink_->entries) {
      if (entry.event_type == event_type) found.push_back(entry);
    }
    return found;
  }
  std::vector<std::string> Warnings() const {
    std::vector<std::string> messages;
    for (const LogEntry& entry : OfType(kEventWarning)) messages.push_back(entry.message);
    return messages;
  }
  void Clear() { sink_->entries.clear(); }

 private:
  struct Sink : LogSink {
    void Write(const LogEntry& entry) noexcept override { entries.push_back(entry); }
    std::vector<LogEntry> entries;
  };
  std::shared_ptr<Sink> sink_;
  std::shared_ptr<LogSink> previous_;
};

}  // namespace qv::test

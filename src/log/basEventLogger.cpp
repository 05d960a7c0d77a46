#include "log/basEventLogger.h"

#include <memory>

#include "log/CQvEventLogger.h"

namespace qv {
namespace {

class LoggerLog : public EventLog {
 public:
  void InitializeEventLogger() override { logger_.InitializeEventLogger(); }
  void LogEvent(const std::string& message, core::ErrorRecord* error, int32_t event_type,
                int32_t caller_level) override {
    logger_.LogEvent(message, error, event_type, caller_level);
  }

 private:
  CQvEventLogger logger_;
};

class LoggerSink : public EventSink {
 public:
  void Trace(const std::string& message, const core::ErrorRecord& error, int32_t event_type,
             int32_t caller_level) noexcept override {
    // The logger's own file routines trace their failures; those must not come back here.
    thread_local bool writing = false;
    if (writing) return;
    writing = true;
    try {
      core::ErrorRecord record = error;
      TraceEventLogger().LogEvent(message, &record, event_type, caller_level);
    } catch (...) {
      // A trace that cannot be written is dropped; the caller goes on.
    }
    writing = false;
  }

  std::unique_ptr<EventLog> NewEventLog() override { return std::make_unique<LoggerLog>(); }
};

}  // namespace

CQvEventLogger& TraceEventLogger() {
  static CQvEventLogger logger;
  return logger;
}

void InstallEventLogging() {
  static const std::shared_ptr<EventSink> sink = std::make_shared<LoggerSink>();
  SetEventSink(sink);
}

}  // namespace qv

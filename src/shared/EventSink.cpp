#include "shared/EventSink.h"

#include <atomic>
#include <utility>

namespace qv {
namespace {

std::atomic<std::shared_ptr<EventSink>>& InstalledSink() {
  static std::atomic<std::shared_ptr<EventSink>> sink;
  return sink;
}

std::atomic<ResourceTextSource>& InstalledTexts() {
  static std::atomic<ResourceTextSource> source{nullptr};
  return source;
}

class DroppingLog : public EventLog {
 public:
  void InitializeEventLogger() override {}
  void LogEvent(const std::string&, core::ErrorRecord*, int32_t, int32_t) override {}
};

}  // namespace

std::shared_ptr<EventSink> SetEventSink(std::shared_ptr<EventSink> sink) {
  return InstalledSink().exchange(std::move(sink));
}

void TraceEvent(const std::string& message, const core::ErrorRecord& error, int32_t event_type,
                int32_t caller_level) {
  if (const std::shared_ptr<EventSink> sink = InstalledSink().load()) {
    sink->Trace(message, error, event_type, caller_level);
  }
}

std::unique_ptr<EventLog> NewEventLog() {
  if (const std::shared_ptr<EventSink> sink = InstalledSink().load()) return sink->NewEventLog();
  return std::make_unique<DroppingLog>();
}

ResourceTextSource SetResourceTextSource(ResourceTextSource source) {
  return InstalledTexts().exchange(source);
}

std::string LoadResourceText(const std::string& identifier) {
  const ResourceTextSource source = InstalledTexts().load();
  return source != nullptr ? source(identifier) : std::string();
}

}  // namespace qv

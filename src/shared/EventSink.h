#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/Error.h"

namespace qv {

// One log writer of the program's logger, for an object that keeps its own.
class EventLog {
 public:
  virtual ~EventLog() = default;
  virtual void InitializeEventLogger() = 0;
  virtual void LogEvent(const std::string& message, core::ErrorRecord* error, int32_t event_type,
                        int32_t caller_level) = 0;
};

// Where the layers below the logger (string routines, file services) report. The
// logger implements it and the program installs it at start (InstallEventLogging);
// until then reports are dropped.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // Never throws.
  virtual void Trace(const std::string& message, const core::ErrorRecord& error, int32_t event_type,
                     int32_t caller_level) noexcept = 0;
  virtual std::unique_ptr<EventLog> NewEventLog() = 0;
};

// Installs `sink` (null removes it); returns the one it replaces.
std::shared_ptr<EventSink> SetEventSink(std::shared_ptr<EventSink> sink);

// The module trace routine: hands a report to the installed sink. Never throws.
void TraceEvent(const std::string& message, const core::ErrorRecord& error, int32_t event_type,
                int32_t caller_level);

// A log of the installed sink; one that drops every entry when none is installed.
std::unique_ptr<EventLog> NewEventLog();

// The display text of a resource identifier, from the source the program installs at
// start (InstallCommonResources); empty until then.
using ResourceTextSource = std::string (*)(const std::string& identifier);
ResourceTextSource SetResourceTextSource(ResourceTextSource source);
std::string LoadResourceText(const std::string& identifier);

}  // namespace qv

#pragma once

// What the source files of CQvFileSystem share: its name, two path helpers, and the
// report wrappers its operations run in (over the one error boundary, Guard).

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>

#include "core/Error.h"
#include "fs/CQvFileSystem.h"
#include "fs/basFileSystemPaths.h"
#include "shared/ErrorBoundary.h"

namespace qv {
namespace file_system_parts {

inline constexpr char kClassName[] = "CQvFileSystem";
// The log levels of its traces.
inline constexpr int32_t kLevelFailure = 1;
inline constexpr int32_t kLevelFileChange = 32;
inline constexpr int32_t kLevelObject = 64;
inline constexpr int32_t kLevelLookup = 128;

inline std::string Method(const char* name) { return std::string(kClassName) + "." + name; }

inline bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

// The path without trailing separators, keeping a lone root.
inline std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == kPathSeparator) path.pop_back();
  return path;
}

}  // namespace file_system_parts

template <typename Body, typename Message>
auto CQvFileSystem::ReportedByStep(Body&& body, Message&& message)
    -> std::invoke_result_t<Body&, int&> {
  using Result = std::invoke_result_t<Body&, int&>;
  core::ErrorRecord failure;
  return GuardByStep<Result>(
      [&](const std::string& text, const core::ErrorRecord& error, int32_t event_type,
          int32_t caller_level) {
        failure = error;
        ReportFailure(text, error, event_type, caller_level);
      },
      [&](int) -> Result {
        throw core::Error(
            core::ErrorRecord{failure.number, failure.source, failure.description, {}, 0});
      },
      std::forward<Body>(body), std::forward<Message>(message));
}

template <typename Body>
auto CQvFileSystem::Reported(const std::string& message, Body&& body) -> decltype(body()) {
  return ReportedByStep([&](int&) { return body(); }, Fixed(message));
}

template <typename Body, typename Result>
Result CQvFileSystem::Logged(const std::string& message, Result neutral, Body&& body) {
  return Guard(
      [this](const std::string& text, const core::ErrorRecord& error, int32_t event_type,
             int32_t caller_level) { ReportFailure(text, error, event_type, caller_level); },
      std::move(neutral), [&](int&) { return body(); }, Fixed(message));
}

}  // namespace qv

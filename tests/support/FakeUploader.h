#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/Error.h"
#include "platform/ProcessRunner.h"

namespace qv::test {

// Stands in for the uploader: records every argument vector and whether the file named
// by "@path" was there while it ran. Answers 26 (curl cannot read the file) when it was
// not, else the chosen status; or fails to start.
class FakeUploader : public platform::ProcessRunner {
 public:
  explicit FakeUploader(int status = 0) : status_(status) {}

  int Run(const std::vector<std::string>& argv) override {
    std::lock_guard lock(mutex_);
    calls_.push_back(argv);
    const bool present =
        argv.size() > 2 && argv[2].size() > 1 && std::filesystem::exists(argv[2].substr(1));
    file_present_.push_back(present);
    if (fail_to_start_) throw core::Error(core::kErrFileNotFound, "ProcessRunner", "Cannot start");
    if (argv.size() > 2 && !present) return 26;
    return status_;
  }
  void SetStatus(int status) {
    std::lock_guard lock(mutex_);
    status_ = status;
  }
  void FailToStart() {
    std::lock_guard lock(mutex_);
    fail_to_start_ = true;
  }
  std::vector<std::vector<std::string>> Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  // For each call, whether the file to send was there.
  std::vector<bool> FilePresent() const {
    std::lock_guard lock(mutex_);
    return file_present_;
  }
  // The file names (FN values) uploaded, in order.
  std::vector<std::string> UploadedFiles() const {
    std::vector<std::string> names;
    for (const auto& argv : Calls()) {
      if (argv.size() > 2) names.push_back(std::filesystem::path(argv[2]).filename().string());
    }
    return names;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::vector<std::string>> calls_;
  std::vector<bool> file_present_;
  int status_;
  bool fail_to_start_ = false;
};

// Puts a runner in place of the process-wide one while it lives.
class RunnerSwap {
 public:
  explicit RunnerSwap(std::shared_ptr<platform::ProcessRunner> runner)
      : previous_(platform::SetProcessRunner(std::move(runner))) {}
  ~RunnerSwap() { platform::SetProcessRunner(previous_); }
  RunnerSwap(const RunnerSwap&) = delete;
  RunnerSwap& operator=(const RunnerSwap&) = delete;

 private:
  std::shared_ptr<platform::ProcessRunner> previous_;
};

}  // namespace qv::test

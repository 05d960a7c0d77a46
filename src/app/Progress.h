#pragma once

#include <chrono>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>

#include "export/RunStats.h"

namespace qv {

// The progress of a run on a terminal: one line per rule, redrawn in place (rows read,
// pages done and their total when known, files sent, failures) and left standing when
// the rule ends. While it lives, whatever else is written to `terminal` first clears
// the line being drawn, so log lines never run into it.
class Progress : public RunObserver {
 public:
  // `terminal` is the standard error of a terminal; it must outlive the object.
  explicit Progress(std::ostream& terminal);
  ~Progress() override;
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void RuleStarted(const std::string& target_path, int32_t index, int32_t total) override;
  void RuleProgress(const RuleStats& so_far) override;
  void RuleFinished(const RuleStats& rule) override;

 private:
  class ClearingBuffer;

  void Draw(const RuleStats& rule, bool final);

  std::ostream& terminal_;
  std::streambuf* original_;
  std::unique_ptr<ClearingBuffer> buffer_;
  std::string prefix_;
  std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace qv

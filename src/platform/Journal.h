#pragma once

#include <mutex>
#include <streambuf>
#include <string>
#include <string_view>

namespace qv::platform {

// Syslog priorities, as the journal reads them from a "<N>" at the start of a line.
inline constexpr int kPriorityError = 3;
inline constexpr int kPriorityWarning = 4;
inline constexpr int kPriorityInfo = 6;

// True when standard error is connected to the journal: JOURNAL_STREAM
// ("<device>:<inode>") names the file standard error is open on.
bool StandardErrorIsJournal();

// "<N>" for a priority.
std::string PriorityPrefix(int priority);

// True when `line` starts with a priority prefix.
bool HasPriorityPrefix(std::string_view line);

// Passes everything written to it on to `target`, each line that does not carry a
// priority prefix of its own led by the one for `priority`. `target` must outlive it.
// Threads may write at once; a line written in one call stays whole.
class PriorityLineBuf : public std::streambuf {
 public:
  PriorityLineBuf(std::streambuf* target, int priority);
  ~PriorityLineBuf() override;
  PriorityLineBuf(const PriorityLineBuf&) = delete;
  PriorityLineBuf& operator=(const PriorityLineBuf&) = delete;

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  // Writes the held start of a line to the target; false when the target failed. The
  // mutex is held.
  bool Flush(bool line_ends);
  int_type Put(int_type c);

  std::mutex mutex_;
  std::streambuf* target_;
  std::string prefix_;
  std::string held_;       // the start of the current line, not passed on yet
  bool mid_line_ = false;  // part of the current line went out already
};

}  // namespace qv::platform

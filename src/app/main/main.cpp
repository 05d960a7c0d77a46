#include <malloc.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/basMain.h"
#include "platform/AppLog.h"
#include "platform/Journal.h"
#include "platform/StopSignal.h"
#include "upload/CQVFileXfer.h"

namespace {

// While alive and standard error is the journal, every line written to std::cerr
// carries a syslog priority: the log's own lines theirs, any other line "error".
class JournalStream {
 public:
  explicit JournalStream(bool journal) {
    if (!journal) return;
    buffer_.emplace(std::cerr.rdbuf(), qv::platform::kPriorityError);
    previous_ = std::cerr.rdbuf(&*buffer_);
    qv::platform::AppLog::Process().SetPriorityPrefixes(true);
  }
  ~JournalStream() {
    if (!buffer_) return;
    std::cerr.flush();
    std::cerr.rdbuf(previous_);
  }
  JournalStream(const JournalStream&) = delete;
  JournalStream& operator=(const JournalStream&) = delete;

 private:
  std::optional<qv::platform::PriorityLineBuf> buffer_;
  std::streambuf* previous_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  // A write past a file size limit fails with EFBIG and is reported like a full disk,
  // instead of ending the process halfway through the run.
  std::signal(SIGXFSZ, SIG_IGN);
  // Results pass through blocks of records allocated and freed a block at a time: keep
  // freed memory for the next block instead of handing it back to the system and
  // faulting it in again (a tenth of a run's time on large results).
  mallopt(M_MMAP_THRESHOLD, 4 << 20);
  mallopt(M_TRIM_THRESHOLD, 16 << 20);
  qv::platform::InstallStopHandlers();
  // A stop that must not wait for the running upload ends the built-in sender's too.
  qv::CQVFileXfer::SetAbortCheck(qv::platform::StopNow);
  const std::vector<std::string> args(argv + 1, argv + argc);
  const bool journal = qv::platform::StandardErrorIsJournal();
  const JournalStream journal_stream(journal);
  const int status = qv::Main(args, std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1, journal);
  qv::platform::FinishStop();
  return status;
}

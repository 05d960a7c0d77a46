#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "upload/MultiSender.h"
#include "upload/UploadPolicy.h"

namespace qv {

// How a file's upload ended.
struct UploadOutcome {
  SendResult result;  // of the last try
  int tries = 0;
  // Not sent at all: the run had stopped sending to the address (UploadQueue::Shut) or
  // a stop signal had come.
  bool held = false;
};

// One file to post.
struct UploadJob {
  std::string file;
  std::string address;
  std::vector<std::string> header_lines;
  // Gets the outcome, on the thread that drives the queue, from inside Add, Pump or
  // Drain. It must not call back into the queue.
  std::function<void(const UploadOutcome&)> done;
};

// The uploads of a run, in the order they are added: up to the policy's number of
// transfers in flight, a passing fault tried again after a wait, and no more sending
// once the connection failed too often in a row (the door is shut), until Reopen.
// Driven from one thread.
class UploadQueue {
 public:
  // Runs one upload.exe process for a file and returns how it went; blocks until then.
  using ProcessSend = std::function<SendResult(const UploadJob&)>;

  // `process_send` sends when the queue does not use the built-in sender.
  explicit UploadQueue(ProcessSend process_send);
  ~UploadQueue();
  UploadQueue(const UploadQueue&) = delete;
  UploadQueue& operator=(const UploadQueue&) = delete;

  // Takes the settings for the next files; applied at once when nothing is in flight or
  // waiting, else once the queue is idle.
  void Configure(const UploadPolicy& policy, const SendOptions& options, bool builtin);
  // Asked while transfers run and while a retry waits; true ends them (status 42).
  void SetAbortCheck(AbortCheck abort_check);

  // Starts the job, first waiting (and finishing others) while the transfers in flight
  // are at the policy's limit. With the door shut, or after a stop signal, the job ends
  // at once, held.
  void Add(UploadJob job);
  // Moves the transfers and the waiting retries on; `block` waits until at least one
  // job ended (or nothing is left).
  void Pump(bool block);
  // Runs until every job added has ended.
  void Drain();
  bool Idle() const { return in_flight_.empty() && waiting_.empty(); }

  // Whether the run stopped sending, and the reason of the failure that shut it.
  bool Shut() const { return shut_; }
  const std::string& ShutReason() const { return shut_reason_; }
  // The connection failures in a row that shut the door.
  int FailuresThatShut() const { return failures_that_shut_; }
  // Sends again: a new run.
  void Reopen();

 private:
  using Clock = std::chrono::steady_clock;
  struct Pending {
    UploadJob job;
    UploadOutcome outcome;
    Clock::time_point due;  // when it waits for a retry
  };

  void Start(uint64_t id, Pending pending);
  void Ended(uint64_t id, Pending pending, const SendResult& result);
  void StartDueRetries(bool stopping);
  void ApplyConfiguration();
  bool Aborted() const;

  ProcessSend process_send_;
  AbortCheck abort_check_;
  UploadPolicy policy_;
  SendOptions options_;
  bool builtin_ = false;
  std::optional<std::tuple<UploadPolicy, SendOptions, bool>> next_configuration_;
  std::unique_ptr<MultiSender> multi_;
  std::map<uint64_t, Pending> in_flight_;
  std::vector<std::pair<uint64_t, Pending>> waiting_;  // for a retry
  uint64_t next_id_ = 0;
  int failures_in_a_row_ = 0;
  int failures_that_shut_ = 0;
  bool shut_ = false;
  std::string shut_reason_;
};

}  // namespace qv

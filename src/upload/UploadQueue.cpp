#include "upload/UploadQueue.h"

#include <algorithm>
#include <exception>
#include <thread>

#include "platform/StopSignal.h"

namespace qv {
namespace {

// The longest a blocking Pump waits before it looks at the retries and the stop signal.
constexpr int kPollMilliseconds = 100;

}  // namespace

UploadQueue::UploadQueue(ProcessSend process_send) : process_send_(std::move(process_send)) {}

UploadQueue::~UploadQueue() = default;

void UploadQueue::Configure(const UploadPolicy& policy, const SendOptions& options, bool builtin) {
  next_configuration_.emplace(policy, options, builtin);
  if (Idle()) ApplyConfiguration();
}

void UploadQueue::SetAbortCheck(AbortCheck abort_check) { abort_check_ = std::move(abort_check); }

bool UploadQueue::Aborted() const {
  try {
    return abort_check_ && abort_check_();
  } catch (...) {
    return true;
  }
}

void UploadQueue::ApplyConfiguration() {
  if (!next_configuration_) return;
  const int connections_before = policy_.connections;
  std::tie(policy_, options_, builtin_) = *next_configuration_;
  next_configuration_.reset();
  if (!builtin_ || (multi_ && connections_before == policy_.connections)) return;
  multi_.reset();
  try {
    multi_ = std::make_unique<MultiSender>(policy_.connections, [this] { return Aborted(); });
  } catch (const std::exception&) {
    // Every transfer then fails with status 2 (Start).
  }
}

void UploadQueue::Add(UploadJob job) {
  if (Idle()) ApplyConfiguration();
  const auto full = [&] { return builtin_ ? multi_ && !multi_->HasRoom() : !in_flight_.empty(); };
  while (!shut_ && full()) Pump(true);
  Pending pending{std::move(job), {}, {}};
  if (shut_) {
    pending.outcome.held = true;
    pending.outcome.result = SendResult::Failed(CURLE_COULDNT_CONNECT, shut_reason_);
    pending.job.done(pending.outcome);
    return;
  }
  if (platform::StopRequested()) {
    // A stop signal came while the file waited for room: it is left for the next run.
    pending.outcome.held = true;
    pending.outcome.result = SendResult::Failed(CURLE_ABORTED_BY_CALLBACK, "the run was stopped");
    pending.job.done(pending.outcome);
    return;
  }
  Start(next_id_++, std::move(pending));
  // The caller goes back to its own work: the request leaves now, and what ended
  // meanwhile frees its room, instead of both waiting for the next full queue.
  Pump(false);
}

void UploadQueue::Start(uint64_t id, Pending pending) {
  ++pending.outcome.tries;
  if (!builtin_) {
    SendResult result;
    try {
      result = process_send_(pending.job);
    } catch (const std::exception& e) {
      result = SendResult::Failed(-1, e.what());
    }
    Ended(id, std::move(pending), result);
    return;
  }
  if (!multi_) {
    Ended(id, std::move(pending),
          SendResult::Failed(CURLE_FAILED_INIT, "libcurl cannot be set up"));
    return;
  }
  const std::optional<SendResult> refused =
      multi_->Start(id, pending.job.file, pending.job.address, pending.job.header_lines, options_);
  if (refused) {
    Ended(id, std::move(pending), *refused);
    return;
  }
  in_flight_.emplace(id, std::move(pending));
}

void UploadQueue::Ended(uint64_t id, Pending pending, const SendResult& result) {
  pending.outcome.result = result;
  if (result.status == 0 || result.http_status != 0) {
    failures_in_a_row_ = 0;  // the server answered: its door is open
  } else if (IsConnectionFailure(result) && ++failures_in_a_row_ >= policy_.give_up_after &&
             !shut_) {
    shut_ = true;
    shut_reason_ = result.reason;
    failures_that_shut_ = failures_in_a_row_;
    // The files waiting for a retry were tried and failed: they end as they are.
    std::vector<std::pair<uint64_t, Pending>> waiting = std::move(waiting_);
    waiting_.clear();
    for (auto& [waiting_id, waiting_job] : waiting) waiting_job.job.done(waiting_job.outcome);
  }
  if (result.status != 0 && !shut_ && IsPassingFault(result) &&
      pending.outcome.tries <= policy_.retries && !platform::StopRequested() && !Aborted()) {
    pending.due =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                           policy_.WaitBefore(pending.outcome.tries, result.retry_after)));
    waiting_.emplace_back(id, std::move(pending));
    return;
  }
  pending.job.done(pending.outcome);
}

void UploadQueue::StartDueRetries(bool stopping) {
  const Clock::time_point now = Clock::now();
  for (size_t i = 0; i < waiting_.size();) {
    const bool room = builtin_ ? multi_ && multi_->HasRoom() : in_flight_.empty();
    if (!stopping && (waiting_[i].second.due > now || !room)) {
      ++i;
      continue;
    }
    auto [id, pending] = std::move(waiting_[i]);
    waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(i));
    if (stopping) {
      pending.job.done(pending.outcome);  // not tried again after a stop signal
    } else {
      Start(id, std::move(pending));
    }
  }
}

void UploadQueue::Pump(bool block) {
  StartDueRetries(platform::StopRequested() || Aborted());
  int timeout = block ? kPollMilliseconds : 0;
  if (!waiting_.empty()) {
    Clock::time_point next = waiting_.front().second.due;
    for (const auto& [id, pending] : waiting_) next = std::min(next, pending.due);
    const auto until = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
    timeout = std::clamp(static_cast<int>(until.count()), 0, timeout);
  }
  if (multi_ && multi_->InFlight() > 0) {
    for (auto& [id, result] : multi_->Run(timeout)) {
      const auto it = in_flight_.find(id);
      if (it == in_flight_.end()) continue;
      Pending pending = std::move(it->second);
      in_flight_.erase(it);
      Ended(id, std::move(pending), result);
    }
  } else if (timeout > 0 && !waiting_.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(timeout));
  }
}

void UploadQueue::Drain() {
  while (!Idle()) Pump(true);
  ApplyConfiguration();
}

void UploadQueue::Reopen() {
  shut_ = false;
  shut_reason_.clear();
  failures_in_a_row_ = 0;
  failures_that_shut_ = 0;
}

}  // namespace qv

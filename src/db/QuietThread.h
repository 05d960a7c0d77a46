#pragma once

#include <pthread.h>
#include <signal.h>

#include <functional>
#include <system_error>
#include <thread>
#include <utility>

namespace ado {

// A thread running `work` that takes no signals: they go to the threads there before, in
// the order sent, as in a program without it. Not joinable when no thread could be had.
inline std::thread StartQuietThread(std::function<void()> work) {
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  std::thread started;
  try {
    started = std::thread(std::move(work));
  } catch (const std::system_error&) {
    // No thread to spare: the caller does the work itself.
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return started;
}

}  // namespace ado

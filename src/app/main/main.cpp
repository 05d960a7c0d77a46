#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "app/basMain.h"
#include "platform/StopSignal.h"
#include "upload/CQVFileXfer.h"

int main(int argc, char** argv) {
  // A write past a file size limit fails with EFBIG and is reported like a full disk,
  // instead of ending the process halfway through the run.
  std::signal(SIGXFSZ, SIG_IGN);
  qv::platform::InstallStopHandlers();
  // A stop that must not wait for the running upload ends the built-in sender's too.
  qv::CQVFileXfer::SetAbortCheck(qv::platform::StopNow);
  const std::vector<std::string> args(argv + 1, argv + argc);
  return qv::Main(args, std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1);
}

#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "app/basMain.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return qv::Main(args, std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1);
}

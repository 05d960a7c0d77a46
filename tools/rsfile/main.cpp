#include <iostream>
#include <string>
#include <vector>

#include "Commands.h"
#include "log/basEventLogger.h"
#include "settings/basCommonRes.h"

int main(int argc, char** argv) {
  qv::InstallEventLogging();
  qv::InstallCommonResources();
  std::vector<std::string> args(argv + 1, argv + argc);
  return rsfile::Run(args, std::cout, std::cerr);
}

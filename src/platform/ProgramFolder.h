#pragma once

#include <string>

namespace qv::platform {

// The folder that holds the program's data files and logs: the environment variable
// QVDATAEXPORTER_HOME when it is set and not empty, else the folder of the running
// executable. Read on every call; never throws (gives "." when neither can be found).
std::string ProgramFolder();

// The folder of the running executable; "." when it cannot be found. Never throws.
std::string ExecutableFolder();

}  // namespace qv::platform

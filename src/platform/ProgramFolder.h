#pragma once

#include <string>

namespace qv::platform {

// The folder that holds the program's data files and logs: the environment variable
// QVDATAEXPORTER_HOME when it is set and not empty, else the folder of the running
// executable. Read on every call; never throws (gives "." when neither can be found).
std::string ProgramFolder();

// How ProgramFolder was found, for messages: "" when QVDATAEXPORTER_HOME names it, else
// a note that it is the executable's folder because the variable is not set.
std::string ProgramFolderOrigin();

// The folder of the running executable; "." when it cannot be found. Never throws.
std::string ExecutableFolder();

}  // namespace qv::platform

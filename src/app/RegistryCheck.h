#pragma once

#include <string>
#include <vector>

#include "platform/RegistryFile.h"

namespace qv {

// The problems of the program's values in a registry file (the key
// HKEY_LOCAL_MACHINE\SOFTWARE\Tolvane), one sentence each: a value the program does not
// read (with the known name it is likely a misspelling of), one of the wrong kind, and
// one out of its range, and a CA file ("UploaderCAFile") that cannot be used.
std::vector<std::string> RegistryProblems(const platform::RegistryFile& registry);

}  // namespace qv

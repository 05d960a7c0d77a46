#pragma once

#include <string>
#include <system_error>

#include "ado/Error.h"

namespace qv {

// The error for a failed system call, numbered as VB numbers file errors (53 file not
// found, 76 path not found, 70 permission denied, 58 file already exists, 61 disk full,
// 75 path/file access error for the rest). The description is `context` and the
// system's reason.
ado::Error ErrorFromErrno(int errnum, const std::string& source, const std::string& context);
ado::Error ErrorFromCode(const std::error_code& code, const std::string& source,
                         const std::string& context);

}  // namespace qv

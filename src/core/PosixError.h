#pragma once

#include <cstdint>
#include <string>
#include <system_error>

#include "core/Error.h"

namespace core {

// The program's one errno translation, numbered as VB numbers file errors: 53 file not
// found, 76 path not found, 70 permission denied, 58 file already exists, 61 disk full,
// 67 too many files, 52 bad file name, 75 path/file access error for the rest. A file
// that is being created cannot be missing itself: ENOENT then means its folder is, 76.
enum class FileAccess { kExisting, kCreate };
int32_t ErrorNumberFromErrno(int errnum, FileAccess access = FileAccess::kExisting);

// The error for a failed system call: the number above, `source`, and `context`
// followed by ": " and the system's reason (the reason alone when `context` is empty).
Error ErrorFromErrno(int errnum, const std::string& source, const std::string& context,
                     FileAccess access = FileAccess::kExisting);
Error ErrorFromCode(const std::error_code& code, const std::string& source,
                    const std::string& context);

}  // namespace core

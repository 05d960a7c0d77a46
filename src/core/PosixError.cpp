#include "core/PosixError.h"

#include <cerrno>
#include <cstring>

namespace core {

int32_t ErrorNumberFromErrno(int errnum, FileAccess access) {
  switch (errnum) {
    case ENOENT:
      return access == FileAccess::kCreate ? kErrPathNotFound : kErrFileNotFound;
    case ENOTDIR:
      return kErrPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:
    case ETXTBSY:
      return kErrPermissionDenied;
    case EEXIST:
      return kErrFileAlreadyExists;
    case ENOSPC:
    case EDQUOT:
      return kErrDiskFull;
    case EMFILE:
    case ENFILE:
      return kErrTooManyFiles;
    case ENAMETOOLONG:
      return kErrBadFileNameOrNumber;
    default:
      return kErrPathFileAccess;
  }
}

Error ErrorFromErrno(int errnum, const std::string& source, const std::string& context,
                     FileAccess access) {
  std::string description = context;
  if (!description.empty()) description += ": ";
  description += std::strerror(errnum);
  return Error(ErrorNumberFromErrno(errnum, access), source, std::move(description));
}

Error ErrorFromCode(const std::error_code& code, const std::string& source,
                    const std::string& context) {
  if (code.category() == std::system_category() || code.category() == std::generic_category()) {
    return ErrorFromErrno(code.value(), source, context);
  }
  return Error(kErrPathFileAccess, source, context + ": " + code.message());
}

}  // namespace core

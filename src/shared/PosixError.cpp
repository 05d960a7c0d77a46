#include "shared/PosixError.h"

#include <cerrno>
#include <cstring>

namespace qv {
namespace {

int32_t VbFileErrorNumber(int errnum) {
  switch (errnum) {
    case ENOENT:
      return ado::kErrFileNotFound;
    case ENOTDIR:
      return ado::kErrPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:
    case ETXTBSY:
      return ado::kErrPermissionDenied;
    case EEXIST:
      return 58;  // File already exists
    case ENOSPC:
    case EDQUOT:
      return 61;  // Disk full
    case EMFILE:
    case ENFILE:
      return 67;  // Too many files
    case ENAMETOOLONG:
      return ado::kErrBadFileNameOrNumber;
    default:
      return 75;  // Path/File access error
  }
}

}  // namespace

ado::Error ErrorFromErrno(int errnum, const std::string& source, const std::string& context) {
  std::string description = context;
  if (!description.empty()) description += ": ";
  description += std::strerror(errnum);
  return ado::Error(VbFileErrorNumber(errnum), source, std::move(description));
}

ado::Error ErrorFromCode(const std::error_code& code, const std::string& source,
                         const std::string& context) {
  if (code.category() == std::system_category() || code.category() == std::generic_category()) {
    return ErrorFromErrno(code.value(), source, context);
  }
  return ado::Error(75, source, context + ": " + code.message());
}

}  // namespace qv

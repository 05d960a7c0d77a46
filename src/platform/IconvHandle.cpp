#include "platform/IconvHandle.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "core/Error.h"

namespace qv::platform {

IconvHandle::IconvHandle(const char* to_code, const char* from_code)
    : handle_(iconv_open(to_code, from_code)) {
  if (handle_ == kClosed) {
    int error = errno;
    throw core::Error(core::kErrInvalidProcedureCall, "iconv",
                      std::string("iconv cannot convert ") + from_code + " to " + to_code + ": " +
                          std::strerror(error));
  }
}

IconvHandle::~IconvHandle() {
  if (IsOpen()) iconv_close(handle_);
}

IconvHandle::IconvHandle(IconvHandle&& other) noexcept
    : handle_(std::exchange(other.handle_, kClosed)) {}

IconvHandle& IconvHandle::operator=(IconvHandle&& other) noexcept {
  if (this != &other) {
    if (IsOpen()) iconv_close(handle_);
    handle_ = std::exchange(other.handle_, kClosed);
  }
  return *this;
}

size_t IconvHandle::Convert(char** in, size_t* in_left, char** out, size_t* out_left) {
  return iconv(handle_, in, in_left, out, out_left);
}

void IconvHandle::Reset() {
  if (IsOpen()) iconv(handle_, nullptr, nullptr, nullptr, nullptr);
}

}  // namespace qv::platform

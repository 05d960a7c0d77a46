#pragma once

#include <iconv.h>

#include <cstddef>

namespace qv::platform {

// Owns one iconv conversion descriptor. Move-only; closing never throws.
class IconvHandle {
 public:
  IconvHandle() = default;
  // Throws core::Error (invalid procedure call) when iconv has no such conversion.
  IconvHandle(const char* to_code, const char* from_code);
  ~IconvHandle();
  IconvHandle(IconvHandle&& other) noexcept;
  IconvHandle& operator=(IconvHandle&& other) noexcept;
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;

  bool IsOpen() const { return handle_ != kClosed; }
  // Plain iconv(3) on the descriptor: returns its result and leaves errno set.
  size_t Convert(char** in, size_t* in_left, char** out, size_t* out_left);
  // Returns the descriptor to its initial shift state.
  void Reset();

 private:
  // NOLINTNEXTLINE(misc-misplaced-const): the handle is constant, not what it points to.
  static inline const iconv_t kClosed = reinterpret_cast<iconv_t>(-1);
  iconv_t handle_ = kClosed;
};

}  // namespace qv::platform

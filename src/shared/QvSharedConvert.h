#pragma once

#include <cstdint>

#include "values/Variant.h"

namespace qv {

// Value to whole number.
class QvSharedConvert {
 public:
  // CLng of the value; empty and "" give 0. Throws core::Error for null (94), text that
  // is not a number (13) and values outside 32 bits (6).
  static int32_t ToInteger(const ado::Variant& value);
};

}  // namespace qv

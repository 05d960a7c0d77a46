#include "shared/QvSharedConvert.h"

namespace qv {

int32_t QvSharedConvert::ToInteger(const ado::Variant& value) {
  // An empty command line arrives as "" and means the default mode.
  if (value.IsEmpty() || (value.IsString() && value.AsString().empty())) return 0;
  return value.ToLong();
}

}  // namespace qv

#pragma once

#include <cstdint>
#include <string>

#include "core/Error.h"

namespace qv {

// Holds a copy of an error's number, source and description so that a caller can
// put them back after work that may disturb the error. Copying in and then back
// leaves the error record as it was (help file and help context are not touched).
class QvErrorSnapshot {
 public:
  void CopyFrom(const core::ErrorRecord& error);
  void CopyTo(core::ErrorRecord& error) const;

  int32_t Number() const { return number_; }
  const std::string& Source() const { return source_; }
  const std::string& Description() const { return description_; }

 private:
  int32_t number_ = 0;
  std::string source_;
  std::string description_;
};

}  // namespace qv

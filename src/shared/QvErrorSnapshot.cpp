#include "shared/QvErrorSnapshot.h"

namespace qv {

void QvErrorSnapshot::CopyFrom(const core::ErrorRecord& error) {
  number_ = error.number;
  source_ = error.source;
  description_ = error.description;
}

void QvErrorSnapshot::CopyTo(core::ErrorRecord& error) const {
  error.number = number_;
  error.source = source_;
  error.description = description_;
}

}  // namespace qv

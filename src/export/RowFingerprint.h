#pragma once

#include <cstdint>

namespace qv {

// A record's compared values in one 128-bit hash of their text as the file holds it:
// records whose files would hold the same values have the same fingerprint.
struct RowFingerprint {
  uint64_t low = 0;
  uint64_t high = 0;
  bool operator==(const RowFingerprint&) const = default;
};

}  // namespace qv

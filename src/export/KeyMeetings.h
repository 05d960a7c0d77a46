#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qv {

// Which keys a walk met and how often: a keyed record file's keys by the number of their
// first record, the keys the file lacks by their text. Memory: a bit per record, and an
// entry per key met more than once or missing from the file.
class KeyMeetings {
 public:
  // No key met, over a file of `records` records.
  void Reset(size_t records) {
    met_.assign(records, false);
    more_.clear();
    missing_.clear();
  }
  // Meets the file's key whose first record is `first`; how often it was met before.
  int32_t Meet(uint32_t first) {
    if (!met_[first]) {
      met_[first] = true;
      return 0;
    }
    return 1 + more_[first]++;
  }
  // Meets a key the file lacks; how often it was met before.
  int32_t MeetMissing(std::string_view key) { return missing_[std::string(key)]++; }
  bool Met(uint32_t first) const { return met_[first]; }
  bool MetMissing(std::string_view key) const { return missing_.contains(std::string(key)); }

 private:
  std::vector<bool> met_;
  std::unordered_map<uint32_t, int32_t> more_;  // meetings beyond the first
  std::unordered_map<std::string, int32_t> missing_;
};

}  // namespace qv

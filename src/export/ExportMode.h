#pragma once

#include <cstdint>

namespace qv {

// What a run does with each rule, by the number the operator gives.
enum class ExportMode : int16_t {
  kNone = 0,            // any number without an export
  kWhole = 1,           // the result file, not uploaded
  kSplitInFive = 2,     // the result in 5 parts, each uploaded
  kSplitInTwenty = 3,   // the result in 20 parts, each uploaded
  kPerEntity = 4,       // new and changed entities of the whole result
  kPagesOfTwenty = 5,   // pages of 20 rows that differ from their last data
  kPagesOfHundred = 6,  // pages of 100 rows that differ from their last data
  kPagedPerEntity = 7,  // new and changed entities, page by page
};

inline ExportMode ModeOf(int16_t number) {
  return number >= 1 && number <= 7 ? static_cast<ExportMode>(number) : ExportMode::kNone;
}
// Modes that export something.
inline bool ModeHasExport(ExportMode mode) { return mode != ExportMode::kNone; }
// The modes that hand their files to the uploader.
inline bool ModeSends(ExportMode mode) {
  return mode != ExportMode::kNone && mode != ExportMode::kWhole;
}
// The modes that compare each entity by its key.
inline bool ModeKeyed(ExportMode mode) {
  return mode == ExportMode::kPerEntity || mode == ExportMode::kPagesOfTwenty ||
         mode == ExportMode::kPagesOfHundred || mode == ExportMode::kPagedPerEntity;
}

}  // namespace qv

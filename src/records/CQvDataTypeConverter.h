#pragma once

#include <cstdint>
#include <string>

#include "values/Variant.h"

namespace qv {

// Conversions of directory values: 64-bit time stamps and security identifiers.
class CQvDataTypeConverter {
 public:
  // A time stamp object (HighPart, LowPart: 100-nanosecond intervals since 1601-01-01
  // UTC) as local date-time text ("yyyy-mm-dd hh:mm:ss"), using the time-zone bias of
  // QvSharedRegistry (UTC = local + bias). Empty for a zero stamp and for exactly
  // 1601-01-01 00:00. A value that is not such an object, or a date out of range, is
  // logged ("CQvDataTypeConverter.Integer8ToDate, @Line#N") and gives empty.
  ado::Variant Integer8ToDate(const ado::Variant& value);

  // A security identifier held as a byte array as its "S-" text: revision, 48-bit
  // big-endian authority, then one unsigned 32-bit little-endian sub-authority per 4
  // bytes after the first 8. Throws core::Error for a value that is not a byte array,
  // and (9, subscript out of range) for a length other than 8 plus a multiple of 4.
  std::string ObjSidToStrSid(const ado::Variant& sid);

 private:
  static std::string BytesToHexText(const ado::Variant& value);
  static std::string HexTextToSidText(const std::string& hex_text);
  // Reads the bias when none is known yet.
  void LoadBias();

  ado::Variant raw_bias_;
  int32_t bias_minutes_ = 0;
};

}  // namespace qv

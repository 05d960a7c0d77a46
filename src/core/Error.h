#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace core {

// The error record that travels with a failure: what VB calls the Err object.
struct ErrorRecord {
  int32_t number = 0;
  std::string source;
  std::string description;
  std::string help_file;
  int32_t help_context = 0;

  bool IsSet() const { return number != 0; }
};

// The one exception type thrown below the program's operations. An operation that traps
// its failures catches it at its own boundary, reports it and returns its neutral result.
class Error : public std::runtime_error {
 public:
  explicit Error(ErrorRecord record);
  Error(int32_t number, std::string source, std::string description);

  const ErrorRecord& record() const noexcept { return record_; }
  int32_t number() const noexcept { return record_.number; }

 private:
  ErrorRecord record_;
};

// Error numbers as VB and ADO report them.
inline constexpr int32_t kErrInvalidProcedureCall = 5;
inline constexpr int32_t kErrOverflow = 6;
inline constexpr int32_t kErrSubscriptOutOfRange = 9;
inline constexpr int32_t kErrTypeMismatch = 13;
inline constexpr int32_t kErrFileNotFound = 53;
inline constexpr int32_t kErrFileAlreadyOpen = 55;
inline constexpr int32_t kErrBadFileNameOrNumber = 52;
inline constexpr int32_t kErrPathNotFound = 76;
inline constexpr int32_t kErrPermissionDenied = 70;
inline constexpr int32_t kErrFileAlreadyExists = 58;
inline constexpr int32_t kErrDiskFull = 61;
inline constexpr int32_t kErrTooManyFiles = 67;
inline constexpr int32_t kErrPathFileAccess = 75;
inline constexpr int32_t kErrInvalidUseOfNull = 94;
inline constexpr int32_t kErrObjectRequired = 424;
inline constexpr int32_t kErrPropertyNotSupported = 438;
inline constexpr int32_t kErrInvalidArgument = 3001;       // adErrInvalidArgument
inline constexpr int32_t kErrNoCurrentRecord = 3021;       // adErrNoCurrentRecord
inline constexpr int32_t kErrFeatureNotAvailable = 3251;   // adErrFeatureNotAvailable
inline constexpr int32_t kErrItemNotFound = 3265;          // adErrItemNotFound
inline constexpr int32_t kErrDataConversion = 3421;        // adErrDataConversion
inline constexpr int32_t kErrObjectClosed = 3704;          // adErrObjectClosed
inline constexpr int32_t kErrObjectOpen = 3705;            // adErrObjectOpen
inline constexpr int32_t kErrInvalidPersistedFile = 3709;  // unreadable persisted recordset
inline constexpr int32_t kErrProvider = 3707;              // driver or provider failure

}  // namespace core

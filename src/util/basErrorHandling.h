#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/Error.h"

namespace qv {

// Base of the numbers of errors the program raises itself (0x80040000 as a signed
// 32-bit number); a program error's number is its own number plus this base.
inline constexpr int32_t kObjectErrorBase = -2147221504;

// Program error numbers, before the base is added.
inline constexpr int32_t kErrCouldNotGetDiskSpace = 9003;
inline constexpr int32_t kErrPathNotFound9005 = 9005;
inline constexpr int32_t kErrFileNotFound9010 = 9010;
inline constexpr int32_t kErrFileReadOnly = 9012;
inline constexpr int32_t kErrCopyingFile = 9013;

// The resource text of `identifier` in the current culture, after `prefix`. When
// `parameters` is given, its values fill the text's "%1", "%2" ... in order; a
// placeholder without a value stays as it is.
std::string FormatResourceText(const std::string& identifier, const std::string& prefix);
std::string FormatResourceText(const std::string& identifier, const std::string& prefix,
                               const std::vector<std::string>& parameters);

// Throws core::Error with number `number` + kObjectErrorBase, the given source, help
// file and help context, and the formatted resource text as description. When the sum
// does not fit in 32 bits it throws the overflow error (6) instead.
[[noreturn]] void RaiseProgramError(int32_t number, const std::string& identifier,
                                    const std::string& source,
                                    const std::vector<std::string>& parameters,
                                    const std::string& help_file = {}, int32_t help_context = 0);

}  // namespace qv

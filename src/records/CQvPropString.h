#pragma once

#include <string>
#include <string_view>

#include "values/Variant.h"

namespace qv {

// Makes arbitrary text safe as a name or a value inside a name=value;name=value
// property string, and restores it. "&", ";" and "=" (and any extra characters the
// caller names) are replaced by their URI escapes with upper-case hexadecimal digits;
// "%" itself is escaped as %25 so that Decode gives back exactly what Encode was given.
class CQvPropString {
 public:
  // `extra_characters`: an array of one-character texts (elements are read as text, so
  // numbers are accepted); anything that is not an array means no extras. On failure
  // the result is empty text and the failure goes to the module trace routine.
  std::string Encode(std::string_view text, const ado::Variant& extra_characters = {}) const;
  // The reverse of Encode with the same extras. Escapes of other characters, and escapes
  // written with lower-case digits, are left as they are.
  std::string Decode(std::string_view text, const ado::Variant& extra_characters = {}) const;
};

}  // namespace qv

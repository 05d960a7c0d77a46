#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ado {
class Recordset;
}

namespace qv {

// The fields a program file holds and how its texts are encoded.
struct ProgramFileLayout {
  std::vector<std::string> required;
  std::vector<std::string> optional;
  int32_t encode_type = 1;  // 1 (percent) or 6 (Base64)
};

// The field problems of a program file: one line per field missing ("no field X") or
// unknown ("unknown field X", naming the nearest expected one as a likely misspelling).
std::vector<std::string> FieldProblems(ado::Recordset& rs, const ProgramFileLayout& layout);

// Whether the texts of a program file, opened without decoding, decode as `encode_type`
// says: empty when they do, else one sentence. A file whose texts all decode under the
// other encoding instead is named as written with it. The recordset's position moves.
std::string EncodingProblem(ado::Recordset& rs, int32_t encode_type);

}  // namespace qv

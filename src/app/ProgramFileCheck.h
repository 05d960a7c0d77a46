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

// Whether the texts of a recordset file, opened without decoding, decode as
// `encode_type` (1 or 6) says: empty when they do, else one sentence naming the first
// field and record that does not ("field F of record N does not decode as type T: why"),
// or, when all texts are encoded with the other type instead, saying so. The
// recordset's position moves.
std::string EncodingProblem(ado::Recordset& rs, int32_t encode_type);

}  // namespace qv

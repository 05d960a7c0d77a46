#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qv {

// The name of `known` closest to `name` by edit distance, ignoring case, when it is
// close enough to be a misspelling of it (at most a third of its letters differ, at
// least one allowed, or one holds the other); empty otherwise.
std::string NearestName(std::string_view name, const std::vector<std::string>& known);

}  // namespace qv

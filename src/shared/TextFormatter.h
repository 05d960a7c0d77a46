#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qv {

// Fills a pattern's placeholders "%1", "%2", ... with the values in list order.
class TextFormatter {
 public:
  // "%n" takes the n-th value (the longest run of digits is read, so "%12" is the
  // twelfth). A placeholder without such a value, and any other "%", stays as it is.
  static std::string Format(std::string_view pattern, const std::vector<std::string>& values);
};

}  // namespace qv

#include "shared/TextFormatter.h"

namespace qv {

std::string TextFormatter::Format(std::string_view pattern,
                                  const std::vector<std::string>& values) {
  std::string out;
  out.reserve(pattern.size());
  size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i];
    size_t end = i + 1;
    while (c == '%' && end < pattern.size() && pattern[end] >= '0' && pattern[end] <= '9' &&
           end - i <= 9) {
      ++end;
    }
    if (end > i + 1) {
      const size_t index = std::stoul(std::string(pattern.substr(i + 1, end - i - 1)));
      if (index >= 1 && index <= values.size()) {
        out += values[index - 1];
        i = end;
        continue;
      }
    }
    out.append(pattern.substr(i, end - i));
    i = end;
  }
  return out;
}

}  // namespace qv

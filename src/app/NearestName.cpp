#include "app/NearestName.h"

#include <algorithm>
#include <cctype>

namespace qv {
namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

std::string NearestName(std::string_view name, const std::vector<std::string>& known) {
  const std::string wanted = Lower(name);
  std::string best;
  size_t best_distance = SIZE_MAX;
  for (const std::string& candidate : known) {
    const std::string lower = Lower(candidate);
    const size_t distance = EditDistance(wanted, lower);
    const size_t allowed = std::max<size_t>(1, std::max(wanted.size(), lower.size()) / 3);
    const bool contained = wanted.size() >= 3 && (lower.find(wanted) != std::string::npos ||
                                                  wanted.find(lower) != std::string::npos);
    if ((distance <= allowed || contained) && distance < best_distance) {
      best = candidate;
      best_distance = distance;
    }
  }
  return best;
}

}  // namespace qv

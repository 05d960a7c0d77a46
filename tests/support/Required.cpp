#include "support/Required.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace qv::test {

void FailIfRequired(const std::string& required, const std::string& what) {
  const char* value = std::getenv(required.c_str());
  if (value == nullptr || std::string_view(value) != "1") return;
  [&] { FAIL() << what << ", and " << required << "=1 says this run needs it"; }();
}

}  // namespace qv::test

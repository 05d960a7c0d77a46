#include "support/Postgres.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace qv::test {

std::string PostgresConnectionString() {
  const char* text = std::getenv("QV_TEST_PG");
  if (text != nullptr && *text != '\0') return text;
  const char* required = std::getenv("QV_TEST_PG_REQUIRED");
  if (required != nullptr && std::string_view(required) == "1") {
    // Fatal, so that a fixture whose SetUp then skips does not go on into the test body.
    [] {
      FAIL() << "QV_TEST_PG is not set, and QV_TEST_PG_REQUIRED says this run needs "
                "PostgreSQL";
    }();
  }
  return {};
}

}  // namespace qv::test

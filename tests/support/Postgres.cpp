#include "support/Postgres.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace qv::test {

namespace {

std::string ServerConnectionString(const std::string& variable, const char* server) {
  const char* text = std::getenv(variable.c_str());
  if (text != nullptr && *text != '\0') return text;
  const char* required = std::getenv((variable + "_REQUIRED").c_str());
  if (required != nullptr && std::string_view(required) == "1") {
    // Fatal, so that a fixture whose SetUp then skips does not go on into the test body.
    [&] {
      FAIL() << variable << " is not set, and " << variable << "_REQUIRED says this run needs "
             << server;
    }();
  }
  return {};
}

}  // namespace

std::string PostgresConnectionString() {
  return ServerConnectionString("QV_TEST_PG", "PostgreSQL");
}

std::string MariadbConnectionString() {
  return ServerConnectionString("QV_TEST_MARIADB", "MariaDB");
}

}  // namespace qv::test

#include "support/Postgres.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>

#include "support/Required.h"

namespace qv::test {

namespace {

std::string ServerConnectionString(const std::string& variable, const char* server) {
  const char* text = std::getenv(variable.c_str());
  if (text != nullptr && *text != '\0') return text;
  FailIfRequired(variable + "_REQUIRED", variable + " is not set (" + server + ")");
  return {};
}

}  // namespace

std::string PostgresConnectionString() {
  return ServerConnectionString("QV_TEST_PG", "PostgreSQL");
}

std::string TestSchema(const std::string& prefix) {
  std::string schema = prefix + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  for (char& c : schema) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return schema;
}

std::string MariadbConnectionString() {
  return ServerConnectionString("QV_TEST_MARIADB", "MariaDB");
}

}  // namespace qv::test

#pragma once

#include <string>

namespace qv::test {

// The connection string of the PostgreSQL test server, from QV_TEST_PG; empty when it
// is not set, and the caller then skips its test. A run that must cover PostgreSQL
// sets QV_TEST_PG_REQUIRED=1: there a missing QV_TEST_PG also fails the current test,
// so that such a run cannot pass by skipping the PostgreSQL tests.
std::string PostgresConnectionString();

// A schema name of the running test's own, `prefix` and the test's name in lower case,
// so that tests run side by side on one server do not meet.
std::string TestSchema(const std::string& prefix);

// The same for the MariaDB test server: QV_TEST_MARIADB, QV_TEST_MARIADB_REQUIRED.
std::string MariadbConnectionString();

}  // namespace qv::test

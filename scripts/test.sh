#!/usr/bin/env bash
# Sets up a new machine, builds, and runs the tests. PRESET=asan for the sanitizer build.
# A throwaway PostgreSQL cluster and a throwaway MariaDB server on 127.0.0.1, each on a
# free port, serve the database tests unless QV_TEST_PG / QV_TEST_MARIADB already name
# a database. Either way the run requires both (QV_TEST_PG_REQUIRED=1,
# QV_TEST_MARIADB_REQUIRED=1): a test that cannot reach its database fails, not skips;
# so does one that misses python3, curl, node or openssl (QV_TEST_TOOLS_REQUIRED=1).
# A server that cannot start stops the run with its own message.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${PRESET:-default}"
scripts/setup.sh
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$(nproc)"

stops=()
cleanup() {
  for stop in "${stops[@]}"; do eval "$stop" || true; done
}
trap cleanup EXIT

# start_server NAME SCRIPT VARIABLE: runs SCRIPT, exports its connection string as
# VARIABLE, and stops the server when the run ends.
start_server() {
  local name=$1 script=$2 variable=$3 log connection dir
  log=$(mktemp)
  if ! connection=$("$script" 2>"$log"); then
    echo "scripts/test.sh: the $name test server did not start:" >&2
    cat "$log" >&2
    rm -f "$log"
    exit 1
  fi
  dir=$(sed -n 's/^.*: \(cluster\|server\) in \(.*\) (stop with.*/\2/p' "$log")
  rm -f "$log"
  stops+=("$(printf '%q --stop %q' "$script" "$dir")")
  export "$variable=$connection"
}

[ -n "${QV_TEST_PG:-}" ] || start_server PostgreSQL tests/support/pg_test_env.sh QV_TEST_PG
[ -n "${QV_TEST_MARIADB:-}" ] ||
  start_server MariaDB tests/support/mariadb_test_env.sh QV_TEST_MARIADB
export QV_TEST_PG_REQUIRED=1 QV_TEST_MARIADB_REQUIRED=1 QV_TEST_TOOLS_REQUIRED=1

ctest --preset "$preset" -j "$(nproc)"

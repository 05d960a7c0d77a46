#!/usr/bin/env bash
# Sets up a new machine, builds, and runs the tests. PRESET=asan for the sanitizer build.
# A throwaway PostgreSQL cluster on 127.0.0.1 serves the PostgreSQL tests unless
# QV_TEST_PG already names a database. Either way the run requires PostgreSQL
# (QV_TEST_PG_REQUIRED=1): a PostgreSQL test that cannot reach it fails, not skips.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${PRESET:-default}"
scripts/setup.sh
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$(nproc)"

if [ -z "${QV_TEST_PG:-}" ]; then
  pg_log=$(mktemp)
  QV_TEST_PG=$(tests/support/pg_test_env.sh "${QV_TEST_PG_PORT:-54329}" 2>"$pg_log")
  pg_dir=$(sed -n 's/^pg_test_env: cluster in \(.*\) (stop with.*/\1/p' "$pg_log")
  rm -f "$pg_log"
  export QV_TEST_PG
  trap 'tests/support/pg_test_env.sh --stop "$pg_dir" || true' EXIT
fi
export QV_TEST_PG_REQUIRED=1

ctest --preset "$preset" -j "$(nproc)"

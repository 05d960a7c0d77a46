#!/usr/bin/env bash
# Sets up a new machine, builds, and runs the tests. PRESET=asan for the sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${PRESET:-default}"
scripts/setup.sh
cmake --preset "$preset"
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset" -j "$(nproc)"

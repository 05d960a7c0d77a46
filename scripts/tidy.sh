#!/usr/bin/env bash
# Runs clang-tidy (the checks of .clang-tidy) on the sources of src/ and tools/, with the
# compile database of the default preset's build folder. Any finding fails.
#   scripts/tidy.sh                 every source file of src/ and tools/
#   scripts/tidy.sh --changed [REV] only those changed since REV (default HEAD~1)
# BUILD_DIR names another configured build folder; JOBS the number of parallel runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="${BUILD_DIR:-build}"
jobs="${JOBS:-$(nproc)}"

if [ ! -f "$build/compile_commands.json" ]; then
  cmake --preset default >/dev/null
fi

files=()
if [ "${1:-}" = "--changed" ]; then
  rev="${2:-HEAD~1}"
  while IFS= read -r f; do
    [ -f "$f" ] && files+=("$root/$f")
  done < <(git diff --name-only --diff-filter=d "$rev" -- 'src/*.cpp' 'tools/*.cpp')
  if ((${#files[@]} == 0)); then
    echo "tidy: no source file of src/ or tools/ changed since $rev"
    exit 0
  fi
else
  while IFS= read -r f; do files+=("$root/$f"); done < <(git ls-files 'src/*.cpp' 'tools/*.cpp')
fi

echo "tidy: ${#files[@]} files, $jobs at a time"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
# The compile database holds GCC's options; clang does not know all of them.
printf '%s\0' "${files[@]}" |
  xargs -0 -n 1 -P "$jobs" clang-tidy-14 -p "$build" --quiet \
    --extra-arg=-Wno-unknown-warning-option >"$log" 2>&1 || status=$?
grep -v '^[0-9]* warnings\? \(and [0-9]* errors\? \)\?generated\.$' "$log" || true
if ((status != 0)); then
  echo "tidy: findings above"
  exit 1
fi
echo "tidy: clean"

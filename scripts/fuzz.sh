#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang with ASan and UBSan) and runs each
# for SECONDS (default 60) on a copy of its seed corpus in tests/fuzz/corpus. A finding
# fails the run; its input is left in build-fuzz/findings/<target>/ to become a case in
# the corpus. The mutations follow FUZZ_SEED (1 unless set; 0 draws one), so that a run
# over the same corpus goes the same way.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_targets -j"${JOBS:-2}"
targets=("$@")
if ((${#targets[@]} == 0)); then
  for dir in tests/fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi
work=build-fuzz/runs
failed=()
for target in "${targets[@]}"; do
  binary=build-fuzz/tests/fuzz/fuzz_$target
  corpus=$work/$target
  findings=build-fuzz/findings/$target
  mkdir -p "$corpus" "$findings"
  dict=()
  case $target in recordset_xml | last_data | settings_file) dict=(-dict=tests/fuzz/recordset.dict) ;; esac
  echo "== fuzz_$target for ${seconds}s"
  if ! "$binary" "$corpus" tests/fuzz/corpus/"$target" "${dict[@]}" -max_total_time="$seconds" -seed="${FUZZ_SEED:-1}" \
      -rss_limit_mb=2048 -timeout=10 -max_len=65536 -print_final_stats=1 \
      -artifact_prefix="$findings/" >"$work/$target.log" 2>&1; then
    failed+=("$target")
    tail -40 "$work/$target.log"
  fi
  grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb|cov: " "$work/$target.log" | tail -3
done
if ((${#failed[@]})); then
  echo "fuzz: findings in ${failed[*]} (inputs in build-fuzz/findings/)" >&2
  exit 1
fi

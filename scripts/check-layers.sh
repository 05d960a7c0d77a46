#!/usr/bin/env bash
# Fails when a library includes a header of a library above it. The order runs from
# the bottom layer up; a library may include its own headers and those of layers
# below it. tools/ sit on top with app.
set -euo pipefail
root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"
layers=(core ado platform shared util fs log records store settings upload app)

rank() {
  local i
  for i in "${!layers[@]}"; do
    if [ "${layers[$i]}" = "$1" ]; then
      echo "$i"
      return
    fi
  done
  echo -1
}

status=0
check() {  # check FILE LIBRARY-RANK
  local file=$1 own=$2 line target r
  while IFS= read -r line; do
    target=$(sed -E 's/^[0-9]+:#include "([a-z]+)\/.*/\1/' <<<"$line")
    r=$(rank "$target")
    if [ "$r" -lt 0 ]; then
      echo "${file#"$root"/}:${line%%:*}: includes \"$target/\", a library outside the layer order"
      status=1
    elif [ "$r" -gt "$own" ]; then
      echo "${file#"$root"/}:${line%%:*}: ${layers[$own]} includes $target, a layer above it"
      status=1
    fi
  done < <(grep -nE '^#include "[a-z]+/' "$file" || true)
}

for dir in "$root"/src/*/; do
  library=$(basename "$dir")
  own=$(rank "$library")
  if [ "$own" -lt 0 ]; then
    echo "src/$library: not in the layer order of scripts/check-layers.sh"
    status=1
    continue
  fi
  while IFS= read -r file; do check "$file" "$own"; done < <(find "$dir" -name '*.h' -o -name '*.cpp')
done
top=$(( ${#layers[@]} - 1 ))
while IFS= read -r file; do check "$file" "$top"; done < <(find "$root/tools" -name '*.h' -o -name '*.cpp')

if [ "$status" -eq 0 ]; then echo "layers: every include points down"; fi
exit "$status"

#!/usr/bin/env bash
# Fails when a library includes a header of a library above it. The order runs from
# the bottom layer up: a library may include its own headers and those of the layers
# before it in the list, never one after it. A library is a folder of src/; the back
# ends, in folders below src/db/, share one layer and do not include each other.
# tools/ sit on top with app.
set -euo pipefail
root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"
layers=(core values xmlformat db "db/odbc db/sqlite db/postgres" ado platform shared util fs log records store
  settings upload export app)

rank() {
  local i name
  for i in "${!layers[@]}"; do
    for name in ${layers[$i]}; do
      if [ "$name" = "$1" ]; then
        echo "$i"
        return
      fi
    done
  done
  echo -1
}

status=0
check() {  # check FILE LIBRARY
  local file=$1 own=$2 line target own_rank r
  own_rank=$(rank "$own")
  while IFS= read -r line; do
    # The include's folder: "db/odbc" for "db/odbc/OdbcBackend.h", "ado" for "ado/Field.h".
    target=$(sed -E 's/^[0-9]+:#include "(.*)\/[^/]*"$/\1/' <<<"$line")
    r=$(rank "$target")
    if [ "$r" -lt 0 ]; then
      echo "${file#"$root"/}:${line%%:*}: includes \"$target/\", a library outside the layer order"
      status=1
    elif [ "$r" -gt "$own_rank" ]; then
      echo "${file#"$root"/}:${line%%:*}: $own includes $target, a layer above it"
      status=1
    elif [ "$r" -eq "$own_rank" ] && [ "$target" != "$own" ]; then
      echo "${file#"$root"/}:${line%%:*}: $own includes $target, a library beside it"
      status=1
    fi
  done < <(grep -nE '^#include "[a-z]+(/[a-z]+)*/[^/"]+"' "$file" || true)
}

while IFS= read -r dir; do
  library=${dir#"$root"/src/}
  if [ "$(rank "$library")" -lt 0 ]; then
    echo "src/$library: not in the layer order of scripts/check-layers.sh"
    status=1
    continue
  fi
  while IFS= read -r file; do check "$file" "$library"; done < <(find "$dir" -maxdepth 1 -name '*.h' -o -maxdepth 1 -name '*.cpp')
done < <(find "$root/src" -mindepth 1 -type d -not -path '*/main' | sort)
while IFS= read -r file; do check "$file" app; done < <(find "$root/src/app/main" "$root/tools" -name '*.h' -o -name '*.cpp')

if [ "$status" -eq 0 ]; then echo "layers: every include points down"; fi
exit "$status"

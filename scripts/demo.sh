#!/usr/bin/env bash
# Sets up a new machine, builds, and shows the recordset file tool on a sample file.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target rsfile
sample=tests/data/ado-samples/F04-jet40-winmss-CLUB-nulls.xml
build/tools/rsfile/rsfile check "$sample"
build/tools/rsfile/rsfile show "$sample"

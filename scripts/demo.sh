#!/usr/bin/env bash
# Sets up a new machine, builds, and runs the demo (scripts/demo/run.sh): build/demo/
# becomes the program folder around a demo inventory database, a test receiver on
# 127.0.0.1 takes the uploads, the folder is checked, and the export (mode 7) runs
# twice with a change to the data in between; what the receiver got in each run is
# listed: the second run sends only the changed entities. Exits with the export's status.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target qvdataexporter rsfile
exec scripts/demo/run.sh build/qvdataexporter build/tools/rsfile/rsfile build/demo

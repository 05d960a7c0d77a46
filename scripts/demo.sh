#!/usr/bin/env bash
# Sets up a new machine, builds, and runs the export (mode 7) twice on a demo inventory
# database, with a change to the data in between: build/demo/ becomes the program
# folder, a test receiver on 127.0.0.1 takes the uploads, and what it received in each
# run is listed: the second run sends only the changed entities. Exits with the
# export's status.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target qvdataexporter rsfile

build=$root/build
rsfile=$build/tools/rsfile/rsfile
demo=$build/demo
rm -rf "$demo"
mkdir -p "$demo/json"
cp "$build/upload.exe" "$demo/upload.exe"

echo "== Sample data"
python3 scripts/demo/make_inventory.py "$demo/inventory.db"

# The receiver picks a free port and writes it to a file once it listens.
received=$demo/received
python3 tests/support/receiver.py --root "$received" --port-file "$demo/receiver.port" \
  >"$demo/receiver.out" 2>&1 &
receiver_pid=$!
trap 'kill "$receiver_pid" 2>/dev/null || true; wait "$receiver_pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  [ -s "$demo/receiver.port" ] && break
  kill -0 "$receiver_pid" 2>/dev/null || { cat "$demo/receiver.out" >&2; exit 1; }
  sleep 0.1
done
[ -s "$demo/receiver.port" ] || { echo "demo: the receiver did not start" >&2; exit 1; }
url="http://127.0.0.1:$(cat "$demo/receiver.port")/upload"
export NO_PROXY="127.0.0.1${NO_PROXY:+,$NO_PROXY}" no_proxy="127.0.0.1${no_proxy:+,$no_proxy}"

echo "== Program folder $demo"
fill() { python3 scripts/demo/fill.py "scripts/demo/$1" "$demo/json/$1" "${@:2}"; }
fill rules.json "OUT=$demo/out"
fill datasources.json "DATABASE=$demo/inventory.db"
fill settings.json "UPLOAD_URL=$url"
"$rsfile" from-json "$demo/json/rules.json" "$demo/QvExportRules.xml" --encode 6
"$rsfile" from-json "$demo/json/datasources.json" "$demo/QvExportDS.xml" --encode 1
"$rsfile" from-json "$demo/json/settings.json" "$demo/QvExportSettings.xml" --encode 1
"$rsfile" show "$demo/QvExportRules.xml" --decode 6
# Log export progress and failures (level 1), not the file-by-file traces, and send the
# files from the program itself over one kept-alive connection instead of upload.exe.
printf '%s\r\n' 'Windows Registry Editor Version 5.00' '' \
  '[HKEY_LOCAL_MACHINE\SOFTWARE\Tolvane]' '"EventLogLevel"=dword:00000001' \
  '"Uploader"="builtin"' >"$demo/registry.reg"

# Lists what the receiver stored after the marker file was made.
list_received() {
  (cd "$received" && find . -type f -newer "$1" ! -name requests.log ! -name '.part-*' | sort) |
    while read -r file; do
      # "FILE: ok, N fields, M records" -> "M records" (or "1 record")
      records=$("$rsfile" check "$received/$file" 2>&1 | sed -n 's/.*, \([0-9]* records\{0,1\}\)$/\1/p')
      printf '  %-60s %s\n' "${file#./}" "${records:-not a recordset file}"
    done
}

status=0
export_run() {
  local marker=$demo/run$1.marker
  touch "$marker"
  sleep 1  # file times have whole-second resolution on some file systems
  echo "== Export run $1, mode 7 (pages of 100; only new or changed entities are sent)"
  QVDATAEXPORTER_HOME=$demo "$build/qvdataexporter" || status=$?
  grep -h "qvdataexporter mode" "$demo"/RX_*.log 2>/dev/null | tail -n 1 || true
  echo "== Received in run $1"
  if [ -d "$received" ]; then list_received "$marker"; fi
}

export_run 1
echo "== Changing the sample data"
python3 scripts/demo/change_inventory.py "$demo/inventory.db"
export_run 2
echo "qvdataexporter exited with status $status"
echo "Sent files are in $demo/out/LastTx, the program's log in $demo/RX_*.log, the"
echo "receiver's log in $received/requests.log."
if [ -s "$received/requests.log" ]; then
  echo "Uploads received: $(grep -c '"status": 200' "$received/requests.log"), over" \
    "$(grep -o '"client_port": [0-9]*' "$received/requests.log" | sort -u | wc -l) connection(s)."
fi
exit "$status"

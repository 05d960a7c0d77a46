#!/usr/bin/env bash
# Runs the demo with programs already built or installed: makes DEMO a program folder
# around an SQLite database of made-up computers and applications, starts a test
# receiver on 127.0.0.1, checks the folder (--check), runs the export (mode 7) twice
# with a change to the data in between, and lists what the receiver got in each run.
# Exits with the second export's status (or the check's, when it fails).
#   run.sh PROGRAM RSFILE DEMO
# The uploader comes from beside PROGRAM; the receiver is tests/support/receiver.py of
# a source tree, or receiver.py beside this script in an installed example.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$(realpath "$1")
rsfile=$(realpath "$2")
demo=$3
receiver_script=$here/receiver.py
[ -f "$receiver_script" ] || receiver_script=$here/../../tests/support/receiver.py

rm -rf "$demo"
mkdir -p "$demo/json"
demo=$(realpath "$demo")

echo "== Sample data"
python3 "$here/make_inventory.py" "$demo/inventory.db"

# The receiver picks a free port and writes it to a file once it listens.
received=$demo/received
python3 "$receiver_script" --root "$received" --port-file "$demo/receiver.port" \
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
fill() { python3 "$here/fill.py" "$here/$1" "$demo/json/$1" "${@:2}"; }
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

export QVDATAEXPORTER_HOME=$demo
echo "== Checking the program folder"
"$program" --check

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
  "$program" --metrics "$demo/metrics.prom" || status=$?
  grep -h "qvdataexporter mode" "$demo"/RX_*.log 2>/dev/null | tail -n 1 || true
  echo "== Received in run $1"
  if [ -d "$received" ]; then list_received "$marker"; fi
}

export_run 1
echo "== Changing the sample data"
python3 "$here/change_inventory.py" "$demo/inventory.db"
echo "== Dry run: what run 2 will send"
"$program" --dry-run 7 | grep -v '^  would send' || status=$?
export_run 2
echo "== Status"
"$program" --status
echo "qvdataexporter exited with status $status"
echo "Sent files are in $demo/out/LastTx, the program's log in $demo/RX_*.log, its"
echo "metrics in $demo/metrics.prom, the receiver's log in $received/requests.log."
if [ -s "$received/requests.log" ]; then
  echo "Uploads received: $(grep -c '"status": 200' "$received/requests.log"), over" \
    "$(grep -o '"client_port": [0-9]*' "$received/requests.log" | sort -u | wc -l) connection(s)."
fi
exit "$status"

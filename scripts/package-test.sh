#!/usr/bin/env bash
# Builds the Debian package, unpacks it into a fresh root (no container, no postinst),
# and runs --check and the demo from the installed files; verifies the systemd units
# with systemd-analyze when it is there.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target qvdataexporter rsfile
(cd build && cpack -G DEB >/dev/null)
package=$(ls -t build/qvdataexporter_*.deb | head -n 1)
echo "== $package"
dpkg-deb --info "$package" | sed -n 's/^ \(Package\|Version\|Depends\|Recommends\):/  \1:/p'

echo "== lintian"
# Errors fail the package; warnings are shown.
lintian --fail-on error --tag-display-limit 0 "$package" 2>&1 | grep -v 'running with root privileges' || true
lintian --fail-on error "$package" >/dev/null 2>&1 || { echo "lintian found errors" >&2; exit 1; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$package" "$root"
for file in usr/bin/qvdataexporter usr/bin/rsfile usr/lib/qvdataexporter/upload.exe \
  lib/systemd/system/qvdataexporter.service lib/systemd/system/qvdataexporter.timer \
  lib/sysusers.d/qvdataexporter.conf usr/share/doc/qvdataexporter/example/run.sh \
  usr/share/doc/qvdataexporter/copyright usr/share/doc/qvdataexporter/changelog.gz \
  usr/share/man/man1/qvdataexporter.1.gz usr/share/man/man1/rsfile.1.gz \
  usr/share/bash-completion/completions/qvdataexporter \
  usr/share/bash-completion/completions/rsfile; do
  [ -e "$root/$file" ] || [ -e "$root/usr/$file" ] || { echo "missing in the package: $file" >&2; exit 1; }
done
"$root/usr/bin/qvdataexporter" --version
# The manual pages format without a warning.
for page in qvdataexporter rsfile; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \
    "$root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$page.1: $warnings" >&2; exit 1; }
done

echo "== --check on an empty program folder names what is missing"
empty=$(mktemp -d "$root/empty.XXXXXX")
if QVDATAEXPORTER_HOME=$empty "$root/usr/bin/qvdataexporter" --check | tee "$root/check.out"; then
  echo "--check passed on an empty folder" >&2
  exit 1
fi
# Run from the package, the program finds the uploader installed beside it.
grep -qx "ok   uploader $root/usr/lib/qvdataexporter/upload.exe" "$root/check.out"

echo "== The demo from the installed files"
"$root/usr/share/doc/qvdataexporter/example/run.sh" "$root/usr/bin/qvdataexporter" \
  "$root/usr/bin/rsfile" "$root/demo" >"$root/demo.out" 2>&1 || { cat "$root/demo.out"; exit 1; }
grep -E '^(ok|FAIL|--) |qvdataexporter mode 7|exited with status' "$root/demo.out"

if command -v systemd-analyze >/dev/null 2>&1; then
  echo "== systemd-analyze verify"
  units=$root/units
  mkdir -p "$units"
  # The units name /usr/bin/qvdataexporter; verify them against the unpacked one.
  for unit in qvdataexporter.service qvdataexporter.timer; do
    unit_dir=$root/lib/systemd/system
    [ -d "$unit_dir" ] || unit_dir=$root/usr/lib/systemd/system
    sed "s|/usr/bin/qvdataexporter|$root/usr/bin/qvdataexporter|" "$unit_dir/$unit" >"$units/$unit"
  done
  SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no "$units/qvdataexporter.service" \
    "$units/qvdataexporter.timer" 2>&1 | tee "$root/verify.out"
  if grep -v -e 'User=qvdataexporter' -e 'Unknown user' -e 'network-online.target' \
    "$root/verify.out" | grep -q .; then
    echo "systemd-analyze found problems in the units" >&2
    exit 1
  fi
else
  echo "== systemd-analyze is not installed: units not verified"
fi
echo "== package ok"

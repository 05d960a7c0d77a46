#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running need.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config clang-format clang-tidy clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libexpat1-dev libicu-dev nlohmann-json3-dev libxxhash-dev
  unixodbc unixodbc-dev libsqliteodbc libsqlite3-dev odbc-postgresql sqlite3 libpq-dev
  postgresql postgresql-client mariadb-server mariadb-client odbc-mariadb
  curl python3 libcurl4-openssl-dev libssl-dev nodejs openssl
  lintian
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

#!/bin/sh
# Starts a throwaway MariaDB server on 127.0.0.1 for the ODBC tests and prints the
# connection string to export as QV_TEST_MARIADB.
#
#   mariadb_test_env.sh [port]        start (a free port unless given)
#   mariadb_test_env.sh --stop <dir>  stop the server in <dir> and remove the folder
#   mariadb_test_env.sh --kill <dir>  kill the server in <dir> at once, keeping its data
#   mariadb_test_env.sh --resume <dir>  start it again on its port
#
# The server's data lives in a new temporary folder (owned by the mysql user when run
# as root), it listens on 127.0.0.1 only, and the test user logs in over TCP with a
# random password. The folder is printed on standard error. When the server cannot
# start, its own messages go to standard error and the exit status is 1.
set -eu

HERE=$(dirname "$0")
. "$HERE/free_port.sh"

server_bin() {
  for b in mariadbd mysqld /usr/sbin/mariadbd /usr/sbin/mysqld; do
    if command -v "$b" >/dev/null 2>&1; then
      command -v "$b"
      return
    fi
  done
  echo "mariadb_test_env: no MariaDB server binary found (install mariadb-server)" >&2
  exit 1
}

# Sends the server in <dir> a TERM and waits for it to go.
stop_server() {
  pid=$(cat "$1/server.pid" 2>/dev/null || true)
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || return 0
  i=0
  while kill -0 "$pid" 2>/dev/null && [ $i -lt 300 ]; do
    sleep 0.1
    i=$((i + 1))
  done
  kill -9 "$pid" 2>/dev/null || true
}

if [ "${1:-}" = "--stop" ]; then
  dir=${2:?"usage: mariadb_test_env.sh --stop <dir>"}
  stop_server "$dir"
  rm -rf "$dir"
  exit 0
fi

if [ "${1:-}" = "--kill" ]; then
  dir=${2:?}
  pid=$(cat "$dir/server.pid" 2>/dev/null || true)
  [ -n "$pid" ] || exit 0
  kill -KILL "$pid" 2>/dev/null || exit 0
  # Gone, or a zombie where nothing reaps it.
  while :; do
    case $(ps -o stat= -p "$pid" 2>/dev/null) in "" | Z*) break ;; esac
    sleep 0.05
  done
  exit 0
fi

SERVER=$(server_bin)
DB=qvtest
USER_NAME=qvtest
PASSWORD=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')

# Starts the server on port $1; 0 when it answers, 2 when the port was taken, 1 else.
start_on() {
  : >"$DIR/server.log"
  # shellcheck disable=SC2086
  "$SERVER" --no-defaults $RUN_AS --datadir="$DIR/data" --socket="$DIR/server.sock" \
    --pid-file="$DIR/server.pid" --log-error="$DIR/server.log" --port="$1" \
    --bind-address=127.0.0.1 --skip-name-resolve --skip-log-bin \
    --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
    --innodb-buffer-pool-size=64M --innodb-flush-log-at-trx-commit=0 \
    --innodb-log-file-size=16M </dev/null >/dev/null 2>&1 &
  server=$!
  i=0
  while [ $i -lt 600 ]; do
    if mariadb-admin --no-defaults -S "$DIR/server.sock" -u root ping >/dev/null 2>&1; then
      return 0
    fi
    if ! kill -0 "$server" 2>/dev/null; then
      grep -q "Address already in use" "$DIR/server.log" && return 2
      return 1
    fi
    sleep 0.1
    i=$((i + 1))
  done
  echo "mariadb_test_env: the server did not answer within 60 seconds" >>"$DIR/server.log"
  return 1
}

if [ "${1:-}" = "--resume" ]; then
  DIR=${2:?}
  RUN_AS=""
  [ "$(id -u)" -eq 0 ] && RUN_AS="--user=mysql"
  start_on "$(cat "$DIR/port")" || { cat "$DIR/server.log" >&2; exit 1; }
  exit 0
fi

DIR=$(mktemp -d "${TMPDIR:-/tmp}/qv-mariadb.XXXXXX")
RUN_AS=""
if [ "$(id -u)" -eq 0 ]; then
  chown mysql: "$DIR"
  RUN_AS="--user=mysql"
fi
chmod 755 "$DIR"

cleanup_on_error() {
  stop_server "$DIR"
  rm -rf "$DIR"
}
trap cleanup_on_error EXIT

# shellcheck disable=SC2086
mariadb-install-db --no-defaults $RUN_AS --datadir="$DIR/data" \
  --auth-root-authentication-method=normal --skip-test-db >"$DIR/install.log" 2>&1 ||
  { cat "$DIR/install.log" >&2; exit 1; }

if [ -n "${1:-}" ]; then
  case "$1" in
    *[!0-9]*) echo "mariadb_test_env: port must be a number: $1" >&2; exit 2 ;;
  esac
  PORT=$1
  start_on "$PORT" || { cat "$DIR/server.log" >&2; exit 1; }
else
  tries=0
  while :; do
    PORT=$(free_port)
    rc=0
    start_on "$PORT" || rc=$?
    [ $rc -eq 0 ] && break
    tries=$((tries + 1))
    if [ $rc -ne 2 ] || [ $tries -ge 5 ]; then
      cat "$DIR/server.log" >&2
      exit 1
    fi
  done
fi

mariadb --no-defaults -S "$DIR/server.sock" -u root <<SQL
CREATE DATABASE $DB CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci;
CREATE USER '$USER_NAME'@'127.0.0.1' IDENTIFIED BY '$PASSWORD';
GRANT ALL ON $DB.* TO '$USER_NAME'@'127.0.0.1';
SQL

echo "$PORT" >"$DIR/port"
trap - EXIT
echo "mariadb_test_env: server in $DIR (stop with: $0 --stop $DIR)" >&2
echo "Driver=MariaDB Unicode;Server=127.0.0.1;Port=$PORT;Database=$DB;Uid=$USER_NAME;Pwd=$PASSWORD"

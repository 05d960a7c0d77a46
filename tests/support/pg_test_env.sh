#!/bin/sh
# Starts a throwaway PostgreSQL cluster on 127.0.0.1 for the ODBC tests and prints the
# connection string to export as QV_TEST_PG.
#
#   pg_test_env.sh [port]          start (a free port unless given)
#   pg_test_env.sh --stop <dir>    stop the cluster in <dir> and remove the folder
#   pg_test_env.sh --pause <dir>   stop the server in <dir>, keeping the cluster
#   pg_test_env.sh --kill <dir>    stop it at once (immediate: no goodbye to clients)
#   pg_test_env.sh --resume <dir>  start it again on its port
#
# The cluster lives in a new temporary folder, owned by the postgres user when run as
# root (the server refuses to run as root), listens on 127.0.0.1 only, and accepts the
# test role with a random password over TCP. The folder is printed on standard error.
# When the server cannot start, its own messages go to standard error and the exit
# status is 1.
set -eu

. "$(dirname "$0")/free_port.sh"

pg_bin() {
  if [ -n "${PG_BIN:-}" ]; then
    echo "$PG_BIN"
    return
  fi
  if command -v pg_ctl >/dev/null 2>&1; then
    dirname "$(readlink -f "$(command -v pg_ctl)")"
    return
  fi
  for d in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
    echo "$d"
    return
  done
  echo "pg_test_env: no PostgreSQL server binaries found (set PG_BIN)" >&2
  exit 1
}

# Runs a command as the cluster owner: postgres when we are root, else ourselves.
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

BIN=$(pg_bin)

if [ "${1:-}" = "--stop" ]; then
  dir=${2:?"usage: pg_test_env.sh --stop <dir>"}
  as_owner "$BIN/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
  rm -rf "$dir"
  exit 0
fi

if [ "${1:-}" = "--pause" ] || [ "${1:-}" = "--kill" ]; then
  mode=fast
  [ "$1" = "--kill" ] && mode=immediate
  as_owner "$BIN/pg_ctl" -D "${2:?}/data" -m $mode -w stop >/dev/null
  exit 0
fi

# Starts the server of the cluster in $1 on port $2; on failure its log is on stderr.
start_server() {
  as_owner "$BIN/pg_ctl" -D "$1/data" -l "$1/server.log" -w -t 60 \
    -o "-c listen_addresses=127.0.0.1 -p $2 -k $1 -c fsync=off" start >/dev/null 2>&1 ||
    { cat "$1/server.log" >&2; return 1; }
  echo "$2" >"$1/port"
}

if [ "${1:-}" = "--resume" ]; then
  dir=${2:?}
  start_server "$dir" "$(cat "$dir/port")"
  exit 0
fi

PORT=${1:-}
case "$PORT" in
  *[!0-9]*) echo "pg_test_env: port must be a number: $PORT" >&2; exit 2 ;;
esac

DB=qvtest
ROLE=qvtest
PASSWORD=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')

DIR=$(mktemp -d "${TMPDIR:-/tmp}/qv-pg.XXXXXX")
if [ "$(id -u)" -eq 0 ]; then
  chown postgres: "$DIR"
fi

cleanup_on_error() {
  as_owner "$BIN/pg_ctl" -D "$DIR/data" -m immediate -w stop >/dev/null 2>&1 || true
  rm -rf "$DIR"
}
trap cleanup_on_error EXIT

# Local socket connections (for the setup below) are trusted; TCP needs the password.
as_owner "$BIN/initdb" -D "$DIR/data" -U postgres --auth-local=trust \
  --auth-host=scram-sha-256 -E UTF8 --locale=C.UTF-8 >"$DIR/initdb.log" 2>&1 ||
  { cat "$DIR/initdb.log" >&2; exit 1; }

if [ -n "$PORT" ]; then
  start_server "$DIR" "$PORT" || exit 1
else
  # Another process may take the free port first: then try another one.
  tries=0
  while :; do
    PORT=$(free_port)
    start_server "$DIR" "$PORT" 2>"$DIR/start.err" && break
    tries=$((tries + 1))
    if ! grep -q "already in use" "$DIR/server.log" || [ $tries -ge 5 ]; then
      cat "$DIR/start.err" >&2
      exit 1
    fi
    rm -f "$DIR/server.log"
  done
fi

as_owner "$BIN/psql" -q -v ON_ERROR_STOP=1 -h "$DIR" -p "$PORT" -U postgres -d postgres <<SQL >/dev/null
CREATE ROLE $ROLE LOGIN PASSWORD '$PASSWORD';
CREATE DATABASE $DB OWNER $ROLE ENCODING 'UTF8';
SQL

trap - EXIT
echo "pg_test_env: cluster in $DIR (stop with: $0 --stop $DIR)" >&2
echo "Driver=PostgreSQL Unicode;Server=127.0.0.1;Port=$PORT;Database=$DB;Uid=$ROLE;Pwd=$PASSWORD"

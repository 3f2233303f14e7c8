#!/usr/bin/env bash
# Runs a command with a private PostgreSQL cluster: initdb in a temporary
# directory, the server on a free port of 127.0.0.1 (and a Unix socket in
# that directory) as an unprivileged user, and REVIRI_TEST_PG_HOST,
# REVIRI_TEST_PG_PORT and REVIRI_TEST_PG_USER telling the command where it
# is. The cluster is stopped and removed afterwards.
#
#   with_postgres.sh COMMAND [ARGS...]
#
# Exits 77 (skipped) with a message when PostgreSQL's programs are missing.
set -euo pipefail

bin=${REVIRI_PG_BIN:-}
if [ -z "$bin" ]; then
  for dir in /usr/lib/postgresql/*/bin; do [ -x "$dir/initdb" ] && bin=$dir; done
fi
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
  echo "with_postgres: PostgreSQL's initdb was not found (install the Debian package postgresql)" >&2
  exit 77
fi

user=$(id -un)
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  # The server refuses to run as root.
  user=nobody
  as_user=(runuser -u nobody --)
fi

dir=$(mktemp -d /tmp/reviri-pg.XXXXXX)
chmod 755 "$dir"
[ "$user" = nobody ] && chown nobody "$dir"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' 2>/dev/null ||
       echo $((20000 + RANDOM % 20000)))

stop() {
  "${as_user[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap stop EXIT

"${as_user[@]}" "$bin/initdb" -D "$dir/data" -U "$user" -A trust -E UTF8 --no-locale >"$dir/initdb.log" 2>&1 ||
  { cat "$dir/initdb.log" >&2; exit 1; }
"${as_user[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
  -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=200" start >/dev/null ||
  { cat "$dir/server.log" >&2; exit 1; }

export REVIRI_TEST_PG_HOST=$dir REVIRI_TEST_PG_PORT=$port REVIRI_TEST_PG_USER=$user
export REVIRI_PG_BIN=$bin REVIRI_PG_DATA=$dir/data
"$@"

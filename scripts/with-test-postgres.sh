#!/usr/bin/env bash
# Runs a command with a throwaway PostgreSQL cluster on 127.0.0.1, reachable through ODBC:
#   CHONGMA_TEST_PG  the ODBC attributes of the test role (server, port, user, password)
#   ODBCSYSINI       a private odbcinst.ini with psqlODBC's per-process log turned off
# CHONGMA_TEST_PG_SETTINGS, when set, holds more server settings, blank-separated name=value
# pairs ("shared_buffers=1GB work_mem=64MB"), for benchmarks on a server sized as its owner would.
# The cluster is removed afterwards, whatever the command's outcome.
set -euo pipefail

PGBIN=${PGBIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)}
[ -x "$PGBIN/initdb" ] || { echo "with-test-postgres: no PostgreSQL server found" >&2; exit 1; }
settings=''
for setting in ${CHONGMA_TEST_PG_SETTINGS:-}; do
  [[ $setting =~ ^[a-z_]+=[A-Za-z0-9._-]+$ ]] || { echo "with-test-postgres: '$setting' is not name=value" >&2; exit 1; }
  settings+=" -c $setting"
done

work=$(mktemp -d /tmp/chongma-pg.XXXXXX)
chmod 755 "$work"
# A port nothing listens on, from a range clear of the usual services.
port=
for _ in $(seq 1 50); do
  candidate=$((20000 + RANDOM % 20000))
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then port=$candidate; break; fi
done
[ -n "$port" ] || { echo "with-test-postgres: no free port found" >&2; exit 1; }
password=chongma-test

as_pg() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

cleanup() {
  as_pg "$PGBIN/pg_ctl" -D "$work/data" -m immediate -w stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

[ "$(id -u)" -eq 0 ] && chown postgres: "$work"
echo "$password" > "$work/pwfile"
[ "$(id -u)" -eq 0 ] && chown postgres: "$work/pwfile"
as_pg "$PGBIN/initdb" -D "$work/data" -U postgres --pwfile="$work/pwfile" -A scram-sha-256 \
  -E UTF8 --locale=C.UTF-8 --no-sync >"$work/initdb.log" 2>&1 \
  || { cat "$work/initdb.log" >&2; exit 1; }
as_pg "$PGBIN/pg_ctl" -D "$work/data" -l "$work/server.log" -w -t 30 \
  -o "-c listen_addresses=127.0.0.1 -p $port -k $work -c fsync=off -c max_connections=200$settings" start >/dev/null \
  || { cat "$work/server.log" >&2; exit 1; }

PGPASSWORD=$password psql -q -h 127.0.0.1 -p "$port" -U postgres -d postgres -v ON_ERROR_STOP=1 \
  -c "create role chongma login superuser password '$password'" >/dev/null

# Debian's driver entries, with the communication log off.
mkdir -p "$work/odbc"
sed -E 's/^(CommLog|Debug)[[:space:]]*=.*/\1=0/I' /etc/odbcinst.ini > "$work/odbc/odbcinst.ini"
: > "$work/odbc/odbc.ini"

export ODBCSYSINI="$work/odbc"
export CHONGMA_TEST_PG="Server=127.0.0.1;Port=$port;Uid=chongma;Pwd=$password"
echo "with-test-postgres: PostgreSQL on 127.0.0.1:$port" >&2
set +e
"$@"
status=$?
set -e
exit $status

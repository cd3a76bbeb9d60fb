#!/usr/bin/env bash
# Runs a command with a throwaway Microsoft SQL Server (Microsoft's container image) on
# 127.0.0.1, reachable through FreeTDS:
#   CHONGMA_TEST_MSSQL  the data link keys of its sa login ("Data Source=127.0.0.1,PORT;...")
# Needs docker or podman with a running engine; says why not and exits 1 where there is none.
# The container is removed afterwards, whatever the command's outcome.
#   scripts/with-test-mssql.sh scripts/with-test-postgres.sh ctest --test-dir build
set -euo pipefail

engine=
for candidate in docker podman; do
  if command -v "$candidate" >/dev/null && "$candidate" info >/dev/null 2>&1; then engine=$candidate; break; fi
done
if [ -z "$engine" ]; then
  echo "with-test-mssql: no docker or podman with a running engine here, so no SQL Server to test against" >&2
  exit 1
fi

image=${CHONGMA_MSSQL_IMAGE:-mcr.microsoft.com/mssql/server:2022-latest}
password="Chongma-$(date +%s)-Test"
port=$((20000 + RANDOM % 20000))
name=chongma-mssql-$$
"$engine" run -d --name "$name" -e ACCEPT_EULA=Y -e "MSSQL_SA_PASSWORD=$password" \
  -p "127.0.0.1:$port:1433" "$image" >/dev/null
trap '"$engine" rm -f "$name" >/dev/null 2>&1 || true' EXIT

# Ready once it takes a login (a minute at most on a cold start).
for _ in $(seq 1 90); do
  if "$engine" exec "$name" bash -c "/opt/mssql-tools*/bin/sqlcmd -C -S localhost -U sa -P '$password' -Q 'select 1'" \
      >/dev/null 2>&1; then
    ready=1; break
  fi
  sleep 1
done
[ -n "${ready:-}" ] || { echo "with-test-mssql: SQL Server did not take a login" >&2; "$engine" logs "$name" >&2; exit 1; }

export CHONGMA_TEST_MSSQL="Data Source=127.0.0.1,$port;User ID=sa;Password=$password"
echo "with-test-mssql: SQL Server on 127.0.0.1:$port" >&2
set +e
"$@"
status=$?
set -e
exit $status

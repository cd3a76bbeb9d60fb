#!/usr/bin/env bash
# Times `chongma-cli find` and `clear --yes` on a generated diskinfo: 100 000 rows, 20 000
# barcodes on two rows each and 60 000 on one. SQLite, and PostgreSQL through ODBC with and
# without an index on Bar. Needs a build (scripts/build.sh); prints a Markdown table.
#   bench/dedupe-bench.sh [rows] [duplicated]
set -euo pipefail
cd "$(dirname "$0")/.."
rows=${1:-100000}
dups=${2:-20000}
bin=${BENCH_BIN:-$PWD/build/bin}
work=$(mktemp -d /tmp/chongma-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

generate_sql() { # $1 = 1 to index Bar
  echo "create table diskinfo (DiskID integer primary key, DiskNum integer, Bar varchar(64));"
  echo "insert into diskinfo (DiskID, DiskNum, Bar)"
  echo "  select i, i % 97, case when i <= $((2 * dups)) then 'D' || ((i - 1) % $dups) else 'U' || i end"
  echo "  from generate_series(1, $rows) as g(i);"
  if [ "$1" = 1 ]; then echo "create index diskinfo_bar on diskinfo (Bar);"; fi
  echo "analyze diskinfo;"
}

udl() { # $1 = file, $2 = init string
  { printf '\xff\xfe'; printf '[oledb]\r\n%s\r\n' "$2" | iconv -f UTF-8 -t UTF-16LE; } > "$1"
}

seconds() { # runs the command, prints its wall time in seconds
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>"$work/last.err" || { cat "$work/last.err" >&2; return 1; }
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}

measure() { # $1 = label, $2 = udl
  local find clear left
  find=$(seconds "$bin/chongma-cli" --udl "$2" find)
  clear=$(seconds "$bin/chongma-cli" --udl "$2" clear --yes --del-log "$work/del.log")
  left=$("$bin/chongma-cli" --udl "$2" find 2>/dev/null | wc -l)
  printf '| %s | %d | %d | %.2f | %.2f | %d |\n' "$1" "$rows" "$dups" "$find" "$clear" "$left"
}

echo "| database | rows | duplicated barcodes | find (s) | clear --yes (s) | duplicates left |"
echo "|---|---|---|---|---|---|"

# SQLite has no generate_series before 3.42 here: a recursive CTE instead.
for indexed in 0 1; do
  db="$work/bench$indexed.db"
  {
    echo "create table diskinfo (DiskID integer primary key, DiskNum integer, Bar varchar(64));"
    echo "with recursive g(i) as (select 1 union all select i + 1 from g where i < $rows)"
    echo "insert into diskinfo select i, i % 97, case when i <= $((2 * dups)) then 'D' || ((i - 1) % $dups) else 'U' || i end from g;"
    if [ "$indexed" = 1 ]; then echo "create index diskinfo_bar on diskinfo (Bar);"; fi
  } | sqlite3 "$db"
  udl "$work/sqlite$indexed.udl" "Provider=SQLite;Data Source=$db"
  measure "SQLite$([ "$indexed" = 1 ] && echo ', index on Bar' || echo ', no index')" "$work/sqlite$indexed.udl"
done

if [ -n "${CHONGMA_TEST_PG:-}" ]; then
  for indexed in 0 1; do
    name="bench_$indexed"
    pgport=$(sed -E 's/.*Port=([0-9]+).*/\1/' <<<"$CHONGMA_TEST_PG")
    PGPASSWORD=chongma-test psql -q -h 127.0.0.1 -p "$pgport" -U chongma -d postgres -c "set client_min_messages=warning" \
      -c "drop database if exists $name" -c "create database $name" >/dev/null
    generate_sql "$indexed" | PGPASSWORD=chongma-test psql -q -h 127.0.0.1 -p "$pgport" -U chongma -d "$name" >/dev/null
    udl "$work/pg$indexed.udl" "Provider=MSDASQL;Extended Properties=\"Driver={PostgreSQL Unicode};$CHONGMA_TEST_PG;Database=$name\""
    measure "PostgreSQL (ODBC)$([ "$indexed" = 1 ] && echo ', index on Bar' || echo ', no index')" "$work/pg$indexed.udl"
  done
else
  echo "(PostgreSQL skipped: run under scripts/with-test-postgres.sh)" >&2
fi

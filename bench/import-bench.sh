#!/usr/bin/env bash
# Times `chongma-cli import` of a generated material file (code page 936) into SQLite and, under
# scripts/with-test-postgres.sh, PostgreSQL through ODBC. Prints a Markdown table.
#   bench/import-bench.sh [lines]
set -euo pipefail
cd "$(dirname "$0")/.."
lines=${1:-100000}
bin=${BENCH_BIN:-$PWD/build/bin}
work=$(mktemp -d /tmp/chongma-ibench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Every tenth line repeats an earlier code (counted as present), every 50th is malformed.
awk -v n="$lines" 'BEGIN {
  for (i = 1; i <= n; i++) {
    if (i % 50 == 0) { print "bad line " i; continue }
    code = (i % 10 == 0) ? 100000 + i - 5 : 100000 + i
    printf "%d M-%d %d %d.%02d [2024-01-%02d] 测试材料名称%d 规格%d [!] 某供应商%d\r\n", code, i, i % 1000, i % 500, i % 100, i % 28 + 1, i, i % 7, i % 13
  }
}' | iconv -f UTF-8 -t GBK > "$work/source.txt"

schema="create table BD_Material (BD_MCode varchar(20), BD_MNo varchar(30), BD_MName varchar(158), BD_MPRICE varchar(50), Pur_SupName varchar(48), BD_MPUBDATE varchar(50));"

udl() { { printf '\xff\xfe'; printf '[oledb]\r\n%s\r\n' "$2" | iconv -f UTF-8 -t UTF-16LE; } > "$1"; }

measure() { # $1 label, $2 udl
  local start end secs counters
  start=$(date +%s.%N)
  counters=$("$bin/chongma-cli" --udl "$2" import "$work/source.txt" 2>/dev/null | tail -1)
  end=$(date +%s.%N)
  secs=$(echo "$end - $start" | bc)
  printf '| %s | %d | %.1f | %.0f | %s |\n' "$1" "$lines" "$secs" "$(echo "$lines / $secs" | bc -l)" "$counters"
}

echo "| database | lines | seconds | lines/s | counters |"
echo "|---|---|---|---|---|"
for indexed in 0 1; do
  label="SQLite$([ "$indexed" = 1 ] && echo ', index on BD_MCode' || echo ', no index')"
  rm -f "$work/m.db"
  { echo "$schema"; if [ "$indexed" = 1 ]; then echo "create index m_code on BD_Material (BD_MCode);"; fi; } | sqlite3 "$work/m.db"
  udl "$work/s.udl" "Provider=SQLite;Data Source=$work/m.db"
  measure "$label" "$work/s.udl"
done
if [ -n "${CHONGMA_TEST_PG:-}" ]; then
  pgport=$(sed -E 's/.*Port=([0-9]+).*/\1/' <<<"$CHONGMA_TEST_PG")
  for indexed in 0 1; do
    name="ibench_$indexed"
    PGPASSWORD=chongma-test psql -q -h 127.0.0.1 -p "$pgport" -U chongma -d postgres \
      -c "set client_min_messages=warning" -c "drop database if exists $name" -c "create database $name" >/dev/null
    { echo "$schema"; if [ "$indexed" = 1 ]; then echo "create index m_code on BD_Material (BD_MCode);"; fi; } \
      | PGPASSWORD=chongma-test psql -q -h 127.0.0.1 -p "$pgport" -U chongma -d "$name" >/dev/null
    udl "$work/p.udl" "Provider=MSDASQL;Extended Properties=\"Driver={PostgreSQL Unicode};$CHONGMA_TEST_PG;Database=$name\""
    measure "PostgreSQL (ODBC)$([ "$indexed" = 1 ] && echo ', index on BD_MCode' || echo ', no index')" "$work/p.udl"
  done
fi

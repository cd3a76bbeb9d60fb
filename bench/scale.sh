#!/usr/bin/env bash
# chongma-cli at scale, next to the database's own client doing the same work on the same data:
# find, clear, import into an empty table and a tenth as many lines into a full one, on SQLite and,
# under scripts/with-test-postgres.sh, on PostgreSQL through
# ODBC; and a ten-row table, against an older build when one is given. A time is the best of
# --runs runs; memory is chongma-cli's peak resident set (GNU time). With --link-ms, PostgreSQL is
# reached through bench/link_proxy.py, a delaying proxy that counts each run's round trips;
# without, one more run of each job through it at 0 ms counts them.
# Prints one Markdown table, and how the times grow when --rows lists several sizes.
#   bench/scale.sh [--rows N[,N...]] [--runs K] [--bin DIR] [--baseline-bin DIR] [--layout L]
#                  [--link-ms MS|direct] [--no-index DiskID,Bar,BD_MCode] [--only sqlite|pg]
#                  [--jobs find,clear,import,full]
set -euo pipefail
shopt -s inherit_errexit

say() { echo "scale: $*" >&2; }
die() { say "$*"; exit 1; }
usage() {
  echo "usage: bench/scale.sh [--rows N[,N...] (1000000)] [--runs K (3)] [--bin DIR (build/bin)] [--baseline-bin DIR]" >&2
  echo "                      [--layout spread|together (spread)] [--link-ms MS|direct (0)]" >&2
  echo "                      [--no-index DiskID,Bar,BD_MCode (any of them)] [--only sqlite|pg (both)]" >&2
  echo "                      [--jobs find,clear,import,full (all; full: a tenth as many lines into a full table)]" >&2
  exit "$1"
}
program_folder() { [ -x "$1/chongma-cli" ] || die "no chongma-cli in $1"; (cd "$1" && pwd); }

sizes=1000000 runs=3 bin='' baseline_bin='' layout=spread link_ms='' no_index='' only='' jobs=find,clear,import,full
while [ $# -gt 0 ]; do
  case $1 in -h | --help) usage 0 ;; esac
  [ $# -ge 2 ] || usage 2
  case $1 in
    --rows) sizes=$2 ;;
    --runs) runs=$2 ;;
    --bin) bin=$(program_folder "$2") ;;
    --baseline-bin) baseline_bin=$(program_folder "$2") ;;
    --layout) layout=$2 ;;
    --link-ms) link_ms=$2 ;;
    --no-index) no_index=$2 ;;
    --only) only=$2 ;;
    --jobs) jobs=$2 ;;
    *) usage 2 ;;
  esac
  shift 2
done
IFS=, read -r -a sizes <<<"$sizes"
[ "${#sizes[@]}" -ge 1 ] || die "--rows takes whole numbers, 100 or more, separated by commas"
for rows in "${sizes[@]}"; do
  if ! [[ $rows =~ ^[0-9]+$ ]] || [ "$rows" -lt 100 ]; then die "--rows takes whole numbers, 100 or more, separated by commas"; fi
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || die "--runs takes a whole number, 1 or more"
[[ $layout =~ ^(spread|together)$ ]] || die "--layout takes spread or together"
[[ $link_ms =~ ^([0-9]+(\.[0-9]+)?|direct|)$ ]] || die "--link-ms takes milliseconds (0 or more) or direct"
[[ $only =~ ^(sqlite|pg|)$ ]] || die "--only takes sqlite or pg"
[[ ,$jobs, =~ ^(,(find|clear|import|full))+,$ ]] || die "--jobs takes find, clear, import and full, separated by commas"
wanted() { [[ ,$jobs, == *,$1,* ]]; }
# The indexes the tables get: all three unless --no-index names them.
declare -A indexed=([DiskID]=1 [Bar]=1 [BD_MCode]=1)
if [ -n "$no_index" ]; then
  IFS=, read -r -a dropped <<<"$no_index"
  for name in "${dropped[@]}"; do
    [ -n "${indexed[$name]+set}" ] || die "--no-index takes DiskID, Bar and BD_MCode, separated by commas (not '$name')"
    indexed[$name]=0
  done
fi
cd "$(dirname "$0")/.."
bin=${bin:-$(program_folder build/bin)}
for tool in /usr/bin/time sqlite3 bc iconv awk python3; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/install-deps.sh installs it)"
done

# picks = 4.75 % of the rows: that many barcodes sit on two rows each and one row of each pair is
# picked. The pairs' first rows lie `stride` apart through the table; their second rows are the
# last `picks` rows, as barcodes scanned again later would be. Set for each size by size_up.
rows='' picks='' stride=''
size_up() {
  rows=$1 picks=$(($1 * 475 / 10000))
  stride=$(((rows - picks) / picks))
}

work=$(mktemp -d /tmp/chongma-scale.XXXXXX)
servers=(sqlite)
proxy_pid=''
if [ -n "${CHONGMA_TEST_PG:-}" ]; then
  command -v psql >/dev/null || die "psql is missing (scripts/install-deps.sh installs it)"
  pg_attr() { sed -nE "s/^(.*;)?$1=([^;]*).*$/\2/Ip" <<<"$CHONGMA_TEST_PG"; }
  # psql_argv reaches the server directly: making and checking the data, and the jobs' runs
  # when $via is direct. When it is link, psql and chongma-cli go through the link instead.
  psql_argv=(psql -X -q -At -v ON_ERROR_STOP=1 -h "$(pg_attr Server)" -p "$(pg_attr Port)" -U "$(pg_attr Uid)")
  PGPASSWORD=$(pg_attr Pwd)
  export PGPASSWORD
  servers+=(pg)
else
  say "no PostgreSQL rows: run it as scripts/with-test-postgres.sh bench/scale.sh to have them"
fi
pg() { "${psql_argv[@]}" "$@"; }
run_servers=("${servers[@]}")
if [ -n "$only" ]; then
  [ "$only" = sqlite ] || [ "${servers[*]}" = "sqlite pg" ] || die "--only pg needs scripts/with-test-postgres.sh"
  run_servers=("$only")
fi

cleanup() {
  if [ -n "$proxy_pid" ]; then kill "$proxy_pid" 2>/dev/null || true; wait "$proxy_pid" 2>/dev/null || true; fi
  if [ "${servers[*]}" = "sqlite pg" ]; then
    for db in disk disk_nobar ten material material_full run; do
      pg -d postgres -c "set client_min_messages=warning" -c "drop database if exists scale_$db with (force)" || true
    done
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# --- the link -------------------------------------------------------------------------------

# bench/link_proxy.py in front of the server, for psql and chongma-cli alike; its stats file
# gives each run's round trips (proxy_reset before the run, proxy_round_trips after). With
# --link-ms every run of a job goes through it (timed_via=link). Without, the timed runs go
# straight to the server, and one more run of each job, through the link at 0 ms, counts the
# round trips (counting_run=1): measured here, the link at 0 ms costs a few tenths of a
# millisecond a round trip, which would show in a job of a thousand.
proxy_stats=$work/proxy.stats
via=direct timed_via=direct counting_run=0
if [ "${servers[*]}" = "sqlite pg" ] && [ "$link_ms" != direct ]; then
  if [ -n "$link_ms" ]; then timed_via="link"; else counting_run=1; fi
  python3 bench/link_proxy.py --target "$(pg_attr Server):$(pg_attr Port)" --delay-ms "${link_ms:-0}" \
    --port-file "$work/proxy.port" --stats "$proxy_stats" >/dev/null 2>"$work/proxy.err" &
  proxy_pid=$!
  for _ in $(seq 1 500); do
    [ -s "$work/proxy.port" ] || ! kill -0 "$proxy_pid" 2>/dev/null && break
    sleep 0.01
  done
  [ -s "$work/proxy.port" ] || die "bench/link_proxy.py did not start: $(cat "$work/proxy.err")"
  proxy_port=$(cat "$work/proxy.port")
  psql_link_argv=(psql -X -q -At -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$proxy_port" -U "$(pg_attr Uid)")
  pg_odbc_link=$(sed -E "s/(^|;)Server=[^;]*/\1Server=127.0.0.1/I; s/(^|;)Port=[^;]*/\1Port=$proxy_port/I" <<<"$CHONGMA_TEST_PG")
fi

# A field of the stats file's line that starts with $1 (its word after $2).
proxy_field() { awk -v line="$1" -v key="$2" '$1 == line { for (i = 2; i < NF; i++) if ($i == key) { print $(i + 1); exit } }' "$proxy_stats"; }
proxy_line_value() { awk -v key="$1" '$1 == key { print $2; exit }' "$proxy_stats"; }

# Forgets every count so far; returns once the proxy has.
proxy_reset() {
  local before
  before=$(proxy_line_value generation)
  kill -HUP "$proxy_pid"
  for _ in $(seq 1 1000); do
    [ "$(proxy_line_value generation)" -gt "$before" ] && return
    sleep 0.01
  done
  die "bench/link_proxy.py did not reset its counters"
}

# "<round trips> <bytes up> <bytes down>" since the reset, once every connection has closed
# (the job's process has ended, the proxy sees both sides close soon after).
proxy_round_trips() {
  for _ in $(seq 1 3000); do
    if [ "$(proxy_line_value open)" = 0 ]; then
      echo "$(proxy_field total round_trips) $(proxy_field total bytes_up) $(proxy_field total bytes_down)"
      return
    fi
    sleep 0.01
  done
  die "bench/link_proxy.py still has open connections 30 s after the job ended"
}

server_name() { case $1 in sqlite) echo SQLite ;; pg) echo "PostgreSQL (ODBC)" ;; esac; }

# --- the data -------------------------------------------------------------------------------

find_sql="select Bar from diskinfo where Bar is not null group by Bar having count(*) > 1"

# Each index only when --no-index leaves it (an empty statement otherwise).
index_sql() { if [ "${indexed[$1]}" = 1 ]; then echo "$2"; fi; }
disk_schema="create table diskinfo (DiskID integer, DiskNum integer, Bar varchar(64));"
disk_indexes=$(index_sql DiskID "create index diskinfo_diskid on diskinfo (DiskID);")
bar_index=$(index_sql Bar "create index diskinfo_bar on diskinfo (Bar);")
material_table="create table BD_Material (BD_MCode varchar(20), BD_MNo varchar(30), BD_MName varchar(158),
  BD_MPRICE varchar(50), Pur_SupName varchar(48), BD_MPUBDATE varchar(50));"
material_index=$(index_sql BD_MCode "create index bd_material_code on BD_Material (BD_MCode);")
material_schema="$material_table
$material_index"
material_columns="BD_MCode, BD_MNo, BD_MName, BD_MPRICE, Pur_SupName, BD_MPUBDATE"

# What the label column says of a table's indexes: "index on DiskID and Bar", "no index"...
indexes_label() {
  local names=() name
  for name in "$@"; do if [ "${indexed[$name]}" = 1 ]; then names+=("$name"); fi; done
  case ${#names[@]} in
    0) echo "no index" ;;
    1) echo "index on ${names[0]}" ;;
    *) echo "index on ${names[0]} and ${names[1]}" ;;
  esac
}
disk_label=$(indexes_label DiskID Bar)
material_label=$(indexes_label BD_MCode)

# The statement filling diskinfo with $rows rows on server $1. A pair's DiskNums are one apart,
# the greater on its second row for even j and on its first for odd j, so both kinds are picked.
# With --layout together the pairs are the first rows instead, each pair's rows side by side
# (the greater DiskNum on the second row for even pairs, the first for odd ones), as a table
# where duplicates crept in at one time would hold them.
disk_rows_sql() {
  local second="i > $((rows - picks))" first="(1 + ($rows - i) * $stride)"
  local key="case when $second then $first else i end"
  local num="case when $second then $first % 97 + 1 + case when ($rows - i) % 2 = 0 then 1 else -1 end else i % 97 + 1 end"
  if [ "$layout" = together ]; then
    local pair="((i + 1) / 2)"
    key="case when i <= $((2 * picks)) then $pair else i end"
    num="case when i <= $((2 * picks)) then $pair % 97 + 1 + case when ($pair % 2 = 0) = (i % 2 = 0) then 1 else 0 end else i % 97 + 1 end"
  fi
  # 13 digits; the odd multiplier (prime to 10) keeps them distinct and Bar order far from DiskID order.
  local hash="(($key) * 2654435761) % 100000000000"
  case $1 in
    sqlite)
      echo "with recursive g(i) as (select 1 union all select i + 1 from g where i < $rows)"
      echo "insert into diskinfo (DiskID, DiskNum, Bar) select i, $num, '69' || printf('%011d', $hash) from g;" ;;
    pg)
      echo "insert into diskinfo (DiskID, DiskNum, Bar)"
      echo "  select i, $num, '69' || lpad(($hash)::text, 11, '0') from generate_series(1, $rows) as g(i);" ;;
  esac
}

ten_rows_sql="insert into diskinfo (DiskID, DiskNum, Bar) values
  (1, 3, '6901234567892'), (2, 7, '6901234567892'), (3, 1, '6920000000011'), (4, 5, '6930000000028'),
  (5, 2, '6930000000028'), (6, 4, '6940000000035'), (7, 6, '6950000000042'), (8, 8, '6950000000042'),
  (9, 1, '6960000000059'), (10, 2, '6970000000066');"

# The ids on stdin as statements of 1 000 each: $1 starts one, $2 formats an id, $3 ends one.
batched() {
  awk -v head="$1" -v fmt="$2" -v tail="$3" '
    { printf "%s" fmt, (NR % 1000 == 1 ? head : ","), $1 }
    NR % 1000 == 0 { print tail }
    END { if (NR % 1000) print tail }'
}

# Scripts for the picks in file $1 (name.picks): name-clear.sql, the reference clear, and
# name-check.sql, answering "rows|picked rows left|barcodes on two rows or more".
write_scripts() {
  local name=${1%.picks}
  {
    echo "begin;"
    echo "$find_sql;"
    batched "delete from diskinfo where DiskID in (" "%s" ");" <"$1"
    echo "commit;"
  } >"$name-clear.sql"
  {
    echo "create temp table picked (id integer);"
    batched "insert into picked (id) values " "(%s)" ";" <"$1"
    echo "select (select count(*) from diskinfo), (select count(*) from diskinfo where DiskID in (select id from picked)),"
    echo "  (select count(*) from ($find_sql) d);"
  } >"$name-check.sql"
}

# A material file of $1 lines, $2.txt: nine lines in ten new, every tenth repeating a code five
# lines back, every 50th malformed. $2.tsv holds the six fields of each line the import inserts,
# in UTF-8; import-<server>-$2.sql loads them as the reference.
generate_material() {
  awk -v n="$1" -v tsv="$work/$2.tsv" 'BEGIN {
    split("螺丝钉 六角螺母 深沟球轴承 橡胶密封圈 铜芯电缆 不锈钢阀门 齿轮 弹簧垫圈", name, " ")
    split("上海宏达五金 广州华南机电 北京京城标准件 天津海河轴承 苏州吴中电缆 杭州西湖阀门 宁波东方机械", sup, " ")
    for (i = 1; i <= n; i++) {
      if (i % 50 == 0) { printf "bad line %d\r\n", i; continue }
      code = (i % 10 == 0) ? 100000 + i - 5 : 100000 + i
      mname = sprintf("%s%d 规格%d", name[i % 8 + 1], i, i % 7)
      price = sprintf("%d.%02d", i % 500, i % 100)
      date = sprintf("2024-%02d-%02d", i % 12 + 1, i % 28 + 1)
      supplier = sup[i % 7 + 1] "有限公司"
      printf "%d M-%d %d %s [%s] %s [!] %s\r\n", code, i, i % 1000, price, date, mname, supplier
      if (i % 10 != 0) printf "%d\tM-%d\t%s\t%s\t%s\t%s\n", code, i, mname, price, supplier, date > tsv
    }
  }' | iconv -f UTF-8 -t GBK >"$work/$2.txt"
  LC_ALL=C sort "$work/$2.tsv" >"$work/$2.sorted"
  printf '.mode tabs\n.import %s BD_Material\n' "$work/$2.tsv" >"$work/import-sqlite-$2.sql"
  printf "\\\\copy BD_Material from '%s'\n" "$work/$2.tsv" >"$work/import-pg-$2.sql"
}

# An empty database `name` ($2) on server $1, filled from the statements on stdin.
make_database() {
  case $1 in
    sqlite) rm -f "$work/$2.db" && sqlite3 -bail "$work/$2.db" ;;
    pg)
      pg -d postgres -c "set client_min_messages=warning" -c "drop database if exists scale_$2" -c "create database scale_$2"
      pg -d "scale_$2" >/dev/null ;;
  esac
}

# disk (diskinfo with the indexes --no-index leaves), disk_nobar (the same without the one on
# Bar; SQLite only, when disk has it), ten, material (empty) and material_full ($rows rows).
generate() {
  case $1 in
    sqlite)
      { echo "$disk_schema"; disk_rows_sql sqlite; echo "$disk_indexes"; echo "analyze;"; } | make_database sqlite disk_nobar
      cp "$work/disk_nobar.db" "$work/disk.db"
      { echo "$bar_index"; echo "analyze;"; } | sqlite3 -bail "$work/disk.db" ;;
    pg)
      { echo "$disk_schema"; disk_rows_sql pg; echo "$disk_indexes"; echo "$bar_index"; echo "vacuum analyze diskinfo;"; } \
        | make_database pg disk ;;
  esac
  { echo "$disk_schema"; echo "$ten_rows_sql"; echo "$disk_indexes"; echo "$bar_index"; echo "analyze;"; } | make_database "$1" ten
  { echo "$material_schema"; echo "analyze;"; } | make_database "$1" material
  { echo "$material_table"; material_fill_sql "$1"; echo "$material_index"; echo "analyze;"; } | make_database "$1" material_full
}

# BD_Material rows that were there before an import: $rows of them, their codes ("F1", "F2"...)
# none of the file's.
material_fill_sql() {
  local values="'F' || i, 'M-' || i, '旧材料' || i, '1.00', '老供应商', '2020-01-01'"
  case $1 in
    sqlite)
      echo "with recursive g(i) as (select 1 union all select i + 1 from g where i < $rows)"
      echo "insert into BD_Material select $values from g;" ;;
    pg) echo "insert into BD_Material select $values from generate_series(1, $rows) as g(i);" ;;
  esac
}

# Database `run` of server $1 as a fresh copy of database $2.
fresh_copy() {
  case $1 in
    sqlite) cp "$work/$2.db" "$work/run.db" ;;
    pg)
      pg -d postgres -c "set client_min_messages=warning" -c "drop database if exists scale_run with (force)" \
        -c "create database scale_run template scale_$2 strategy file_copy" ;;
  esac
}

# The path of a data link to database $2 of server $1 (UTF-16LE with a byte-order mark),
# reaching PostgreSQL by $via.
udl_for() {
  local file="$work/$1-$2-$via.udl" init odbc=${CHONGMA_TEST_PG:-}
  if [ "$via" = link ]; then odbc=$pg_odbc_link; fi
  if [ ! -e "$file" ]; then
    case $1 in
      sqlite) init="Provider=SQLite;Data Source=$work/$2.db" ;;
      pg) init="Provider=MSDASQL;Extended Properties=\"Driver={PostgreSQL Unicode};$odbc;Database=scale_$2\"" ;;
    esac
    { printf '\xff\xfe'; printf '[oledb]\r\n%s\r\n' "$init" | iconv -f UTF-8 -t UTF-16LE; } >"$file"
  fi
  echo "$file"
}

# Sets the array `client` to the database's own client running script file $3 on database $2,
# reaching PostgreSQL by $via, or with $4 = direct straight, as the checks do.
client_running() {
  case $1 in
    sqlite) client=(sqlite3 -bail "$work/$2.db" ".read $3") ;;
    pg)
      if [ "${4:-$via}" = direct ]; then client=("${psql_argv[@]}" -d "scale_$2" -f "$3")
      else client=("${psql_link_argv[@]}" -d "scale_$2" -f "$3"); fi ;;
  esac
}

# BD_Material of database `run`, one tab-separated line a row, sorted bytewise: the rows an
# import added (not the "F" ones there before it).
material_rows() {
  local sql="select $material_columns from BD_Material where BD_MCode not like 'F%'"
  case $1 in
    sqlite) sqlite3 -bail -separator $'\t' "$work/run.db" "$sql" ;;
    pg) pg -F $'\t' -d scale_run -c "$sql" ;;
  esac | LC_ALL=C sort
}

# --- timing ---------------------------------------------------------------------------------

# The current job, for the checks: server, template database, dataset (big or ten), its picks.
server='' template='' data='' data_picks=''

# Runs the command (from $3 on) --runs times, each after $1 and followed by $2 (neither timed),
# its stdout to file $3 and its stderr to $work/err. Prints "<least seconds> <greatest peak KB>
# <round trips>", the round trips (- without a link) of the run with the least time.
best_of() {
  local prepare=$1 check=$2 output=$3 run start end secs best='' peak=0 kb trips=- best_trips=- up down
  shift 3
  for ((run = 1; run <= runs; run++)); do
    "$prepare" >/dev/null
    if [ "$server" = pg ] && [ "$via" = link ]; then proxy_reset; fi
    start=$(date +%s.%N)
    /usr/bin/time -f %M -o "$work/mem" "$@" >"$output" 2>"$work/err" \
      || { cat "$work/err" >&2; die "failed: ${*##*/}"; }
    end=$(date +%s.%N)
    secs=$(echo "$end - $start" | bc)
    kb=$(tail -1 "$work/mem")
    local through=''
    if [ "$server" = pg ] && [ "$via" = link ]; then
      read -r trips up down <<<"$(proxy_round_trips)"
      through=", $trips round trips, $up bytes up, $down down"
    fi
    "$check" >/dev/null
    say "  ${1##*/} $([ -n "${counting:-}" ] && echo "run for the round trips (not timed)" || echo "run $run"): $(printf '%.3f' "$secs") s, $((kb / 1024)) MB$through"
    if [ -z "$best" ] || [ "$(echo "$secs < $best" | bc)" = 1 ]; then best=$secs best_trips=$trips; fi
    if [ "$kb" -gt "$peak" ]; then peak=$kb; fi
  done
  echo "$best $peak $best_trips"
}

# "<seconds> <KB> <round trips>" of two results taken as one: the least time and its round
# trips, the greatest memory.
least_of() {
  if [ -z "$1" ]; then echo "$2"; return; fi
  local s1 k1 t1 s2 k2 t2
  read -r s1 k1 t1 <<<"$1"
  read -r s2 k2 t2 <<<"$2"
  if [ "$(echo "$s2 < $s1" | bc)" = 1 ]; then s1=$s2 t1=$t2; fi
  if [ "$k2" -gt "$k1" ]; then k1=$k2; fi
  echo "$s1 $k1 $t1"
}

# best_of for the reference (array ref_cmd, checked by $3; none when empty) and chongma-cli
# (array our_cmd, checked by $4, its stdout to $5) in turn, a run of each at a time, so that a
# change in the machine's load meets both alike. $1 sets the commands for the way $via says,
# $2 prepares every run. Sets ref_result (- without a reference) and our_result. When the
# timed runs go straight to PostgreSQL, one more run of each goes through the link at 0 ms
# first, checked as any, for its round trips only: the link would slow the timed runs.
in_turn() {
  local build=$1 prepare=$2 ref_check=$3 our_check=$4 output=$5 turn run ref_trips='' our_trips=''
  ref_result='' our_result=''
  # Each run on its own assignment: a failed run or check ends the script there (inside
  # another command's arguments its status would be lost).
  if [ "$server" = pg ] && [ "$counting_run" = 1 ]; then
    via="link"
    "$build"
    if [ "${#ref_cmd[@]}" -gt 0 ]; then
      run=$(runs=1 counting=1 best_of "$prepare" "$ref_check" /dev/null "${ref_cmd[@]}")
      ref_trips=${run##* }
    fi
    run=$(runs=1 counting=1 best_of "$prepare" "$our_check" "$output" "${our_cmd[@]}")
    our_trips=${run##* }
  fi
  via=$timed_via
  "$build"
  for ((turn = 1; turn <= runs; turn++)); do
    if [ "${#ref_cmd[@]}" -gt 0 ]; then
      run=$(runs=1 best_of "$prepare" "$ref_check" /dev/null "${ref_cmd[@]}")
      ref_result=$(least_of "$ref_result" "$run")
    fi
    run=$(runs=1 best_of "$prepare" "$our_check" "$output" "${our_cmd[@]}")
    our_result=$(least_of "$our_result" "$run")
  done
  if [ -n "$our_trips" ]; then our_result="${our_result% *} $our_trips"; fi
  if [ -z "$ref_result" ]; then ref_result=-
  elif [ -n "$ref_trips" ]; then ref_result="${ref_result% *} $ref_trips"; fi
}

nothing() { :; }
fresh_run() {
  fresh_copy "$server" "$template"
  rm -f "$work/del.log" "$work/backup.csv"
}

# chongma-cli find said it found every duplicated barcode and picked a row of each.
check_found() {
  grep -q "^$data_picks duplicated barcodes, $data_picks rows picked for removal" "$work/err" \
    || die "find did not report $data_picks duplicated barcodes and picks: $(cat "$work/err")"
}

# Exactly the picked rows are gone from `run`.
check_cleared() {
  local got want
  client_running "$server" run "$work/$data-check.sql" direct
  got=$("${client[@]}")
  want="$(($(data_rows) - data_picks))|0|0"
  [ "$got" = "$want" ] || die "after clear: rows|picked left|duplicated is $got, not $want"
}
data_rows() { if [ "$data" = big ]; then echo "$rows"; else echo 10; fi; }

# The current import: its material file ($mat.txt, of $mat_lines lines) and the rows before it.
mat=material mat_lines='' rows_before=0

# BD_Material of `run` holds exactly the rows of $mat.tsv, and those before the import.
check_imported() {
  material_rows "$server" | cmp -s - "$work/$mat.sorted" \
    || die "after import: BD_Material differs from the $(wc -l <"$work/$mat.tsv") rows of $mat.tsv"
  local all
  case $server in
    sqlite) all=$(sqlite3 -bail "$work/run.db" "select count(*) from BD_Material") ;;
    pg) all=$(pg -d scale_run -c "select count(*) from BD_Material") ;;
  esac
  [ "$all" = "$((rows_before + $(wc -l <"$work/$mat.tsv")))" ] || die "after import: $all rows in BD_Material"
}
# ... and chongma-cli printed the same counters as the first run did.
check_chongma_imported() {
  check_imported
  local counters
  counters=$(tail -1 "$work/out")
  [[ $counters == 总记录数：$mat_lines\ 已导入数：$(wc -l <"$work/$mat.tsv")\ * ]] \
    || die "import counters: $counters"
  if [ ! -e "$work/counters" ]; then echo "$counters" >"$work/counters"; fi
  [ "$counters" = "$(cat "$work/counters")" ] || die "import counters changed: $counters, before $(cat "$work/counters")"
}

# The current job's commands and results (see in_turn).
ref_cmd=() our_cmd=() ref_result='' our_result=''

# Times by "server|job" and size, for the growth between sizes; the jobs in the table's order.
declare -A times=() seen=()
jobs_seen=()

# One line of the table: server, job, rows, chongma's "seconds KB round-trips", the reference's
# the same or -, and the job as the growth table names it when not as this table does.
row() {
  local ours ref ref_secs=- ratio=- ref_trips=-
  read -r -a ours <<<"$4"
  read -r -a ref <<<"$5"
  if [ "$5" != - ]; then
    ref_secs=$(printf '%.3f' "${ref[0]}")
    ratio=$(printf '%.2f' "$(echo "${ours[0]} / ${ref[0]}" | bc -l)")
    ref_trips=${ref[2]}
  fi
  printf '| %s | %s | %d | %.3f | %s | %s | %.1f | %s | %s |\n' "$(server_name "$1")" "$2" "$3" "${ours[0]}" \
    "$ref_secs" "$ratio" "$(echo "${ours[1]} / 1024" | bc -l)" "${ours[2]}" "$ref_trips"
  local key="$1|${6:-$2}"
  if [ -z "${seen[$key]+set}" ]; then jobs_seen+=("$key") seen[$key]=1; fi
  times[$key|$3]="${ours[0]} ${ref[0]:--}"
}

# chongma-cli clear's arguments for the build in folder $1 (an old one may have no --backup).
clear_args() {
  echo --yes --del-log "$work/del.log"
  if "$1/chongma-cli" --help 2>/dev/null | grep -q -- --backup; then echo --backup "$work/backup.csv"; fi
}

# --- the jobs -------------------------------------------------------------------------------

# Each job's commands, as ref_cmd (empty: no reference) and our_cmd, reaching the server by $via.
job_db=''
find_commands() {
  client_running "$server" "$job_db" "$work/find.sql"
  ref_cmd=("${client[@]}")
  our_cmd=("$bin/chongma-cli" --udl "$(udl_for "$server" "$job_db")" find)
}
clear_commands() {
  client_running "$server" run "$work/big-clear.sql"
  ref_cmd=("${client[@]}")
  # shellcheck disable=SC2207 # clear_args gives words without blanks
  our_cmd=("$bin/chongma-cli" --udl "$(udl_for "$server" run)" clear $(clear_args "$bin"))
}
import_commands() {
  client_running "$server" run "$work/import-$server-$mat.sql"
  ref_cmd=("${client[@]}")
  our_cmd=("$bin/chongma-cli" --udl "$(udl_for "$server" run)" import "$work/$mat.txt")
}
ten_find_commands() {
  local udl
  udl=$(udl_for "$server" ten)
  ref_cmd=()
  if [ -n "$baseline_bin" ]; then ref_cmd=("$baseline_bin/chongma-cli" --udl "$udl" find); fi
  our_cmd=("$bin/chongma-cli" --udl "$udl" find)
}
ten_clear_commands() {
  local udl
  udl=$(udl_for "$server" run)
  ref_cmd=()
  # shellcheck disable=SC2207
  if [ -n "$baseline_bin" ]; then ref_cmd=("$baseline_bin/chongma-cli" --udl "$udl" clear $(clear_args "$baseline_bin")); fi
  # shellcheck disable=SC2207
  our_cmd=("$bin/chongma-cli" --udl "$udl" clear $(clear_args "$bin"))
}

job_find() { # server, database, label
  server=$1 template=$2 job_db=$2
  say "$(server_name "$1"): find, $3"
  local found
  client_running "$1" "$2" "$work/find.sql" direct
  found=$("${client[@]}" | wc -l)
  [ "$found" -eq "$data_picks" ] || die "the reference found $found duplicated barcodes, not $data_picks"
  in_turn find_commands nothing nothing check_found /dev/null
  row "$1" "find, $3" "$rows" "$our_result" "$ref_result"
}

job_clear() { # server
  server=$1 template=disk
  say "$(server_name "$1"): clear, $disk_label"
  in_turn clear_commands fresh_run check_cleared check_cleared /dev/null
  row "$1" "clear, $disk_label" "$rows" "$our_result" "$ref_result"
}

job_import() { # server
  server=$1 template=material mat=material mat_lines=$rows rows_before=0
  say "$(server_name "$1"): import, $material_label"
  rm -f "$work/counters"
  in_turn import_commands fresh_run check_imported check_chongma_imported "$work/out"
  row "$1" "import, $material_label" "$rows" "$our_result" "$ref_result"
}

job_import_into_full() { # server: a tenth as many lines into a table of $rows rows
  server=$1 template=material_full mat=tenth mat_lines=$((rows / 10)) rows_before=$rows
  local job="import $mat_lines lines into $rows rows, $material_label"
  say "$(server_name "$1"): $job"
  rm -f "$work/counters"
  in_turn import_commands fresh_run check_imported check_chongma_imported "$work/out"
  row "$1" "$job" "$rows" "$our_result" "$ref_result" "import a tenth as many lines into a full table, $material_label"
}

job_ten() { # server: find and clear of the ten-row table, the baseline build as the reference
  server=$1 template=ten
  say "$(server_name "$1"): ten rows"
  in_turn ten_find_commands nothing nothing check_found /dev/null
  row "$1" "find, ten rows, $disk_label" 10 "$our_result" "$ref_result"
  in_turn ten_clear_commands fresh_run check_cleared check_cleared /dev/null
  row "$1" "clear, ten rows, $disk_label" 10 "$our_result" "$ref_result"
}

# --- the run --------------------------------------------------------------------------------

load() { echo "$(cat /proc/loadavg), $(nproc) processors"; }

commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
if [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then commit+=" (with uncommitted changes)"; fi
echo "$("$bin/chongma-cli" --version) in $bin, commit $commit"
echo "duplicated barcodes laid out: $layout"
if [ -n "$baseline_bin" ]; then
  echo "ten-row reference: $("$baseline_bin/chongma-cli" --version) in $baseline_bin"
fi
echo "load before: $(load)"
echo

if [ "${servers[*]}" = "sqlite pg" ]; then
  case $link_ms in
    direct) echo "link: none; psql and chongma-cli reach PostgreSQL directly (no round trips counted)" ;;
    '') echo "link: none for the timed runs; the round trips are those of one more run of each job, through bench/link_proxy.py at 0 ms" ;;
    *) echo "link: psql and chongma-cli reach PostgreSQL through bench/link_proxy.py, $link_ms ms each way" ;;
  esac
  # What the server may keep in memory decides how a table larger than its buffers is read.
  echo "PostgreSQL $(pg -d postgres -c "show server_version"): shared_buffers $(pg -d postgres -c "show shared_buffers"), work_mem $(pg -d postgres -c "show work_mem")"
fi
echo "SQLite has no network link: its rows run in process, as always, and count no round trips"
echo "indexes: diskinfo $disk_label, BD_Material $material_label$([ -n "$no_index" ] && echo " (--no-index $no_index)")"
echo

# The data of one size: the picks, the check and clear scripts, the material file, the databases.
prepare_size() {
  say "generating $rows rows ($picks barcodes on two rows each), material files of $rows and $((rows / 10)) lines"
  if [ "$layout" = together ]; then
    awk -v p="$picks" 'BEGIN { for (j = 1; j <= p; j++) print (j % 2 == 0 ? 2 * j : 2 * j - 1) }' >"$work/big.picks"
  else
    awk -v n="$rows" -v p="$picks" -v s="$stride" \
      'BEGIN { for (j = 0; j < p; j++) print (j % 2 == 0 ? n - j : 1 + j * s) }' | sort -n >"$work/big.picks"
  fi
  write_scripts "$work/big.picks"
  generate_material "$rows" material
  generate_material "$((rows / 10))" tenth
  local s
  for s in "${run_servers[@]}"; do generate "$s"; done
}

echo "$find_sql;" >"$work/find.sql"
printf '2\n4\n8\n' >"$work/ten.picks"
write_scripts "$work/ten.picks"

echo "| server | job | rows | chongma (s) | reference (s) | ratio | chongma-cli peak (MB) | chongma round trips | reference round trips |"
echo "|---|---|---:|---:|---:|---:|---:|---:|---:|"
for size in "${sizes[@]}"; do
  size_up "$size"
  prepare_size
  for s in "${run_servers[@]}"; do
    data=big data_picks=$picks
    if wanted find; then
      job_find "$s" disk "$disk_label"
      if [ "$s" = sqlite ] && [ "${indexed[Bar]}" = 1 ]; then job_find "$s" disk_nobar "$(indexes_label DiskID)"; fi
    fi
    if wanted clear; then job_clear "$s"; fi
    if wanted import; then job_import "$s"; fi
    if wanted full; then job_import_into_full "$s"; fi
    # The ten-row table once, with the first size.
    if [ "$size" = "${sizes[0]}" ]; then
      data=ten data_picks=3
      job_ten "$s"
    fi
  done
done

echo
echo "Each time is the least of $runs run(s), the reference's and chongma's taken in turn; ratio ="
echo "chongma / reference. Reference: find, the grouped select in sqlite3 / psql; clear, that select"
echo "and deletes of the picked rows 1 000 ids a statement, in one transaction; import, sqlite3"
echo ".import / psql \\copy of the rows chongma inserts; ten rows, $([ -n "$baseline_bin" ] && echo "the build in $baseline_bin" || echo "none (no --baseline-bin)")."
if [ -n "$proxy_pid" ]; then
  echo "Round trips: the turns from client-to-server to server-to-client traffic the link saw during"
  echo "$([ "$timed_via" = link ] && echo "the fastest run" || echo "a run of the job"), its connection's start and login included, as bench/link_proxy.py counts them."
fi

# How each job's time grows from one size to the next. The goal: at most 1.125 times the growth
# of the rows (4.5x for 4x the rows).
if [ "${#sizes[@]}" -gt 1 ]; then
  echo
  echo "| server | job | rows | chongma (s) | chongma growth | reference (s) | reference growth | chongma within 1.125 x rows growth |"
  echo "|---|---|---|---|---:|---|---:|---|"
  for ((i = 1; i < ${#sizes[@]}; i++)); do
    a=${sizes[i - 1]} b=${sizes[i]}
    for key in "${jobs_seen[@]}"; do
      if [ -z "${times[$key|$a]+set}" ] || [ -z "${times[$key|$b]+set}" ]; then continue; fi
      read -r our_a ref_a <<<"${times[$key|$a]}"
      read -r our_b ref_b <<<"${times[$key|$b]}"
      our_growth=$(echo "$our_b / $our_a" | bc -l)
      ref_growth=- ref_span=-
      if [ "$ref_a" != - ]; then
        ref_growth=$(printf '%.2fx' "$(echo "$ref_b / $ref_a" | bc -l)")
        ref_span="$(printf '%.3f' "$ref_a") → $(printf '%.3f' "$ref_b")"
      fi
      within=no
      if [ "$(echo "$our_growth <= 1.125 * $b / $a" | bc -l)" = 1 ]; then within=yes; fi
      printf '| %s | %s | %d → %d | %.3f → %.3f | %.2fx | %s | %s | %s |\n' "$(server_name "${key%%|*}")" \
        "${key#*|}" "$a" "$b" "$our_a" "$our_b" "$our_growth" "$ref_span" "$ref_growth" "$within"
    done
  done
fi
echo "load after: $(load)"

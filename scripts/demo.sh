#!/usr/bin/env bash
# The main job on the bundled demo database: find the duplicated barcodes and clear them.
# With a display the window opens on the demo (press 查找重码, then 清除重码); without one the
# command-line tool does the same and prints what it found, the run log and del.log.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh

bin=build/bin
rm -f "$bin/demo.db" "$bin/del.log"
sqlite3 "$bin/demo.db" < scripts/demo/demo.sql
printf '\xff\xfe' > "$bin/disk.udl"
printf '[oledb]\r\n; Everything after this line is an OLE DB initstring\r\nProvider=SQLite;Data Source=demo.db\r\n' \
  | iconv -f UTF-8 -t UTF-16LE >> "$bin/disk.udl"

"$bin/chongma-cli" check
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ "${CHONGMA_DEMO_CLI:-}" != 1 ]; then
  echo "Opening the window on the demo database."
  exec "$bin/chongma"
fi

echo "== duplicated barcodes and the row picked for removal (barcode, DiskID)"
"$bin/chongma-cli" find
echo "== clearing them"
"$bin/chongma-cli" clear --yes
echo "== del.log (code page 936, shown here as UTF-8)"
iconv -f GBK -t UTF-8 "$bin/del.log" | tr -d '\r'
echo "== a second search: a barcode on three rows still has one duplicate left"
"$bin/chongma-cli" find

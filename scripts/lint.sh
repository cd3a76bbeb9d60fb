#!/usr/bin/env bash
# Lints what a change touches: clang-format on the changed lines of the changed C++ files,
# clang-tidy on those files (the build's compile_commands.json), and the command-line tool's
# translation file against its sources. Exits 1 on any finding.
#
#   scripts/lint.sh [BASE]    the changes since this branch left BASE (a commit or branch),
#                             working tree included;
#                             also LINT_BASE. Default: those of the last commit (HEAD~1); in
#                             a clone of one commit, none (LINT_ALL=1: every file).
#   LINT_BUILD_DIR            the configured and built build folder (default: build)
#   LINT_JOBS                 clang-tidy processes at once (default: 2)
#
# Only changed lines are held to .clang-format: the tree predates it and is not reformatted
# wholesale. A header is tidied through the source file of its name beside it.
set -euo pipefail
cd "$(dirname "$0")/.."

base=${1:-${LINT_BASE:-}}
build=${LINT_BUILD_DIR:-build}
jobs=${LINT_JOBS:-2}
lupdate=${LUPDATE:-/usr/lib/qt6/bin/lupdate}

if [ -z "$base" ] && git rev-parse -q --verify HEAD~1 >/dev/null; then
  base=HEAD~1
fi
# From where this branch left BASE: what BASE gained since is not this change's.
named=$base
if [ -n "$base" ]; then
  base=$(git merge-base "$named" HEAD) || { echo "lint: $named: no commit in common with HEAD" >&2; exit 2; }
fi

is_cpp() { case "$1" in *.cpp | *.h | *.hpp | *.cc) return 0 ;; *) return 1 ;; esac; }

files=()
if [ -n "$base" ]; then
  while IFS= read -r f; do is_cpp "$f" && files+=("$f"); done \
    < <(git diff --name-only --diff-filter=d "$base" --)
else
  # A shallow clone of one commit shows no change to lint: the tree predates .clang-format,
  # so it is not held to it as a whole (LINT_ALL=1 does that).
  if [ "${LINT_ALL:-0}" = 1 ]; then
    while IFS= read -r f; do is_cpp "$f" && files+=("$f"); done < <(git ls-files)
  fi
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
if [ -n "$base" ]; then
  echo "lint: ${#files[@]} C++ file(s) changed since $named"
else
  echo "lint: no earlier commit to compare with: ${#files[@]} C++ file(s) (LINT_ALL=1 for all)"
fi

# --- clang-format, on the changed lines
for f in "${files[@]}"; do
  lines=()
  if [ -n "$base" ]; then
    # "@@ -a,b +c,d @@": lines c .. c+d-1 of the new file (d = 0: only removed lines).
    while IFS= read -r range; do lines+=("--lines=$range"); done < <(
      git diff -U0 "$base" -- "$f" | sed -n 's/^@@ -[0-9,]* +\([0-9][0-9]*\)\(,\([0-9][0-9]*\)\)\{0,1\} @@.*/\1 \3/p' |
        awk '{ n = ($2 == "") ? 1 : $2; if (n > 0) print $1 ":" $1 + n - 1 }')
    [ ${#lines[@]} -eq 0 ] && continue
  fi
  clang-format --dry-run -Werror "${lines[@]}" "$f" || failed=1
done

# --- clang-tidy, on the changed files the build compiles
if [ ${#files[@]} -gt 0 ]; then
  db="$build/compile_commands.json"
  if [ ! -f "$db" ]; then
    echo "lint: $db is missing: configure and build first (scripts/build.sh)" >&2
    exit 1
  fi
  root=$(pwd -P)
  tidy=()
  for f in "${files[@]}"; do
    source=$f
    case "$f" in *.h | *.hpp) source="${f%.*}.cpp" ;; esac
    if [ -f "$source" ] && grep -qF "\"file\": \"$root/$source\"" "$db"; then
      tidy+=("$source")
    else
      echo "lint: $f: no source of it in $db, so clang-tidy sees it only where it is included"
    fi
  done
  if [ ${#tidy[@]} -gt 0 ]; then
    mapfile -t tidy < <(printf '%s\n' "${tidy[@]}" | sort -u)
    echo "lint: clang-tidy on ${#tidy[@]} file(s)"
    # clang-tidy counts the warnings it suppressed in Qt's headers on stderr: only findings are shown.
    printf '%s\0' "${tidy[@]}" | xargs -0 -n 1 -P "$jobs" clang-tidy -p "$build" --quiet >"$tmp/tidy.log" 2>&1 || failed=1
    grep -Ev '^[0-9]+ warnings? generated\.$' "$tmp/tidy.log" || true
  fi
fi

# --- the translation file against the sources it is made from
ts=cli/translations/chongma-cli_zh_CN.ts
cp "$ts" "$tmp/copy.ts"
if ! "$lupdate" -no-obsolete -locations none cli/*.cpp cli/*.h -ts "$tmp/copy.ts" >"$tmp/lupdate.log" 2>&1; then
  cat "$tmp/lupdate.log" >&2
  echo "lint: lupdate failed" >&2
  failed=1
elif ! python3 - "$ts" "$tmp/copy.ts" <<'EOF'; then
import sys
import xml.etree.ElementTree as ET

def messages(path):
    found = {}
    for context in ET.parse(path).getroot().iter("context"):
        name = context.findtext("name")
        for m in context.iter("message"):
            key = (name, m.findtext("source"), m.findtext("comment") or "")
            found[key] = m.find("translation")
    return found

have, fresh = messages(sys.argv[1]), messages(sys.argv[2])
problems = []
for key, tr in fresh.items():
    if key not in have:
        problems.append("new, not in the file: %r" % (key[1],))
    elif tr is None or tr.get("type") in ("unfinished", "vanished", "obsolete") or not (tr.text or "").strip():
        problems.append("unfinished: %r" % (key[1],))
for key in have:
    if key not in fresh:
        problems.append("no longer in the sources: %r" % (key[1],))
for p in problems:
    print("%s: %s" % (sys.argv[1], p), file=sys.stderr)
if problems:
    print("lint: update it with `cmake --build build --target update_translations` and translate", file=sys.stderr)
sys.exit(1 if problems else 0)
EOF
  failed=1
fi

if [ "$failed" -ne 0 ]; then
  echo "lint: findings above" >&2
  exit 1
fi
echo "lint: clean"

#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test (SQLite and a throwaway PostgreSQL
# reached through ODBC; window tests offscreen).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d /tmp/chongma-runtime.XXXXXX)}
chmod 700 "$XDG_RUNTIME_DIR"
bash scripts/with-test-postgres.sh ctest --test-dir build --output-on-failure --timeout 600 "$@"

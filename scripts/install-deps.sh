#!/usr/bin/env bash
# Installs the Debian packages chongma needs to build, run and test. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-private-dev libqt6sql6-odbc libqt6sql6-sqlite libsqlite3-dev
  unixodbc-dev unixodbc tdsodbc odbc-postgresql
  postgresql postgresql-client
  fonts-wqy-microhei qt6-translations-l10n qt6-l10n-tools qt6-tools-dev
  xauth xvfb sqlite3 bc time
  openbox xdotool python3-xlib imagemagick
  sqlfluff
  clang-format clang-tidy
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

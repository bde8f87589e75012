#!/usr/bin/env bash
# The web console in Debian's Chromium, driven by playwright-core.
# usage: run.sh DTUCENTRE DTUSIM   (SCREENSHOT=FILE keeps the page's picture)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
if ! "$root/scripts/ensure-packages.sh" chromium; then
  echo "skipped: Chromium is not installed and cannot be installed here" >&2
  exit 77
fi
command -v node >/dev/null || { echo "skipped: no node" >&2; exit 77; }
centre=$(realpath "$1") sim=$(realpath "$2")
cd "$here"
if [ ! -d node_modules/playwright-core ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi
exec timeout 150 node console_test.mjs "$centre" "$sim"

#!/usr/bin/env bash
# A headless picture of the web console showing the fleet (a plain
# `chromium --screenshot` catches the page before its data arrives).
# usage: scripts/screenshot.sh URL FILE [WIDTHxHEIGHT]
# Installs Chromium and the page driver (tests/browser) when they are missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 2 ] || { echo "usage: $0 URL FILE [WIDTHxHEIGHT]" >&2; exit 2; }
file=$(realpath -m "$2")
"$root/scripts/ensure-packages.sh" chromium >&2
command -v node >/dev/null || { echo "needs node and npm (apt-get install nodejs npm)" >&2; exit 1; }
cd "$root/tests/browser"
if [ ! -d node_modules/playwright-core ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  npm ci --no-audit --no-fund --loglevel=error >&2
fi
exec timeout 60 node screenshot.mjs "$1" "$file" "${3:-1440x900}"

#!/usr/bin/env bash
# The HTTP side's figures: GET /api/terminals under wrk while 500 terminals
# send user data, the UDP path's round trips with and without that load (the
# ratio), the lag from a datagram to its event on /api/events, and the page's
# frame rate in Chromium with 500 terminals.
# usage: scripts/bench-http.sh [--seconds S] [--wrk 'wrk -t2 -c8'] [--lag-rate R]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/ensure-packages.sh" wrk
"$root/scripts/build.sh" >/dev/null
"$build/bench/http_bench" --seconds 3 --rounds 5 "$@"
# The page itself with 500 terminals: main-thread smoothness in Chromium.
"$root/scripts/ensure-packages.sh" chromium
(cd "$root/tests/browser" && { [ -d node_modules/playwright-core ] || npm ci --no-audit --no-fund --loglevel=error; } &&
  node page_bench.mjs "$build/tools/dtucentre" "$build/tools/dtusim" 500 10)

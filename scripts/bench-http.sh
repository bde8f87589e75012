#!/usr/bin/env bash
# The HTTP side's figures: GET /api/terminals under wrk while 500 terminals
# send user data, the UDP path's round trips with and without that load (the
# ratio), and the lag from a datagram to its event on /api/events.
# usage: scripts/bench-http.sh [--seconds S] [--wrk 'wrk -t2 -c8'] [--lag-rate R]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/ensure-packages.sh" wrk
"$root/scripts/build.sh" >/dev/null
exec "$build/bench/http_bench" --seconds 5 "$@"

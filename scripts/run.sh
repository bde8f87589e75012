#!/usr/bin/env bash
# Builds the library and its tools, then runs the console centre on
# 127.0.0.1 with a fleet of simulated terminals for a bounded time.
# Extra arguments go to the centre (for example: --simulate 50 --duration 30).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh" >/dev/null
if [ $# -eq 0 ]; then set -- --simulate 5 --duration 8; fi
exec "$build/tools/dtucentre" --bind 127.0.0.1 "$@"

#!/usr/bin/env bash
# Builds the library and its tools, then runs the console centre on
# 127.0.0.1 with a fleet of simulated terminals for a bounded time.
# Extra arguments go to the centre (for example: --simulate 50 --duration 30);
# --build-only builds and stops there.
#
# A first run on a fresh machine installs about 30 Debian packages (a minute
# or two) and compiles the project (some five minutes on two cores); later
# runs rebuild only what changed and start in seconds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
say() { echo "run.sh: $*" >&2; }
if [ ! -x "$build/tools/dtucentre" ]; then
  say "first run: installing the packages it needs and building everything (about 5-8 minutes)"
fi
say "packages and build ($build)"
log=$build/run.sh.log
mkdir -p "$build"
start=$SECONDS
# The build's own progress lines ([ 42%] Building ...), and the package
# step's; the whole output goes to the log.
set +e
"$root/scripts/build.sh" 2>&1 | tee "$log" |
  grep --line-buffered -E '^(installing|another package manager|missing packages)|^\[ *[0-9]+%\] (Building|Linking)|error' >&2
rc=${PIPESTATUS[0]}
set -e
if [ "$rc" -ne 0 ]; then
  tail -n 30 "$log" >&2
  say "the build failed (whole output: $log)"
  exit "$rc"
fi
say "built in $(( SECONDS - start )) s"
if [ "${1:-}" = "--build-only" ]; then exit 0; fi
if [ $# -eq 0 ]; then set -- --simulate 5 --duration 8; fi
exec "$build/tools/dtucentre" --bind 127.0.0.1 "$@"

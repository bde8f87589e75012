#!/usr/bin/env bash
# Builds the Debian package from the build in build/ (or $BUILD_DIR), making
# that build first when needed, and prints the package's path.  The package
# installs under /usr with its configuration in /etc/dtucentre, whatever
# prefix the build was configured with.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
if [ ! -f "$build/CPackConfig.cmake" ]; then
  BUILD_DIR=$build "$root/scripts/run.sh" --build-only
else
  cmake --build "$build" -j"$(nproc)" >/dev/null
fi
out=$build/package
rm -f "$out"/dtucentre_*.deb
(cd "$build" && cpack -G DEB --config CPackConfig.cmake -B "$out" >"$out.log" 2>&1) ||
  { tail -n 20 "$out.log" >&2; echo "cpack failed (log: $out.log)" >&2; exit 1; }
ls "$out"/dtucentre_*.deb

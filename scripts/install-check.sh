#!/usr/bin/env bash
# Runs the README's install lines as they stand, in a copy of the sources, as
# on a machine without GoogleTest and Google Benchmark: configure must pass,
# the library and tools must build, and the installed package must serve a
# host through find_package and pkg-config.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/ensure-packages.sh" cmake make g++ pkg-config \
  libuv1-dev libpcap-dev libedit-dev libmosquitto-dev libcpp-httplib-dev nlohmann-json3-dev libtomlplusplus-dev
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src" "$work/home"
(cd "$root" && git ls-files -z --cached --others --exclude-standard | xargs -0 tar -cf - ) | tar -xf - -C "$work/src"
lines=$(sed -n '/^<!-- install:/,/^<!-- \/install -->/p' "$root/README.md" | grep '^    ' | sed 's/^    //')
[ -n "$lines" ] || { echo "no install lines found in README.md" >&2; exit 1; }
cd "$work/src"
# As if neither package were installed: the first configure records that.
log=$(cmake -S . -B build -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON 2>&1)
echo "$log" | grep -q "GoogleTest not found" || { echo "$log"; echo "no GoogleTest message" >&2; exit 1; }
echo "$log" | grep -q "Google Benchmark not found" || { echo "$log"; echo "no Google Benchmark message" >&2; exit 1; }
echo "$lines"
HOME="$work/home" bash -euo pipefail -c "$lines" >"$work/log" 2>&1 || { tail -n 30 "$work/log"; exit 1; }
for f in include/dtucentre.h lib/libdtucentre.so lib/cmake/dtucentre/dtucentreConfig.cmake lib/pkgconfig/dtucentre.pc; do
  [ -e "$work/home/.local/$f" ] || { echo "missing after install: $f" >&2; exit 1; }
done
[ -x build/tools/dtucentre ] && [ -x build/tools/dtusim ] || { echo "tools not built" >&2; exit 1; }
"$root/tests/install_test.sh" "$work/src/build"
echo "ok: README install lines configure, build and install without GoogleTest and Google Benchmark"

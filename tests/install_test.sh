#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a small C host against
# it twice: through find_package(dtucentre) and through pkg-config.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
# With the programs: the unit runs the program and reads the configuration
# where this install put them, and the pages the program points to are there.
if [ -x "$work/prefix/bin/dtucentre" ]; then
  unit="$work/prefix/lib/systemd/system/dtucentre.service"
  grep -qx "ExecStart=$work/prefix/bin/dtucentre --config $work/prefix/etc/dtucentre/dtucentre.conf" "$unit" ||
    { grep ExecStart "$unit"; echo "the unit's ExecStart is not this install's" >&2; exit 1; }
  for f in etc/dtucentre/dtucentre.conf etc/dtucentre/params.toml etc/logrotate.d/dtucentre lib/wireshark/plugins/dtu.lua \
           share/doc/dtucentre/centre.md share/doc/dtucentre/mqtt.md share/doc/dtucentre/http.md \
           share/doc/dtucentre/openapi.json; do
    [ -e "$work/prefix/$f" ] || { echo "missing after install: $f" >&2; exit 1; }
  done
  "$work/prefix/bin/dtucentre" --help | grep -o 'docs/[a-z]*\.md' | sort -u | while read -r page; do
    [ -e "$work/prefix/share/doc/dtucentre/${page#docs/}" ] || { echo "--help points to $page, not installed" >&2; exit 1; }
  done
  echo "ok: the unit, configuration, dissector and docs are where this install put them"
fi
mkdir -p "$work/host"
cat >"$work/host/main.c" <<'C'
#include <dtucentre.h>
int main(void) { return get_max_user_amount() == 500 ? 0 : 1; }
C
cat >"$work/host/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.20)
project(host C)
find_package(dtucentre REQUIRED)
add_executable(host main.c)
target_link_libraries(host PRIVATE dtucentre::dtucentre)
CM
cmake -S "$work/host" -B "$work/host/build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/host/build" >/dev/null
"$work/host/build/host"
echo "ok: find_package(dtucentre) host builds and runs"
if command -v pkg-config >/dev/null; then
  flags=$(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs dtucentre)
  # shellcheck disable=SC2086
  cc "$work/host/main.c" -o "$work/host/pc-host" $flags -Wl,-rpath,"$work/prefix/lib"
  "$work/host/pc-host"
  echo "ok: pkg-config host builds and runs"
fi

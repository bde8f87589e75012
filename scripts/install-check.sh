#!/usr/bin/env bash
# Runs the README's install lines as they stand, in a copy of the sources, as
# on a machine without GoogleTest and Google Benchmark: configure must pass,
# the library and tools must build, and the installed package must serve a
# host through find_package and pkg-config.  Then every other command block
# of the README, in the same copy, as the README marks it:
#   <!-- run -->          must end with status 0 within 5 minutes;
#   <!-- run: server -->  a server: must still run (or have ended well)
#                         after 5 seconds, and is then stopped;
#   <!-- skip: WHY -->    not run (installs system-wide, long, interactive).
# A block with no marker fails the check, so a command added to the README
# is either run here or says why not.  The README's fixed ports (5002, 8080,
# 1883) are replaced by free ones; HOME is a scratch folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/ensure-packages.sh" cmake make g++ pkg-config python3 tshark \
  libuv1-dev libpcap-dev libedit-dev libmosquitto-dev libhttp-parser-dev nlohmann-json3-dev libtomlplusplus-dev libsqlite3-dev
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

# ---- the README's other command blocks ------------------------------------
blocks=$work/blocks
mkdir -p "$blocks"
awk -v dir="$blocks" '
  function end_block() { if (inblock) { close(file); inblock = 0; if (!inst) marker = "" } }
  /^<!-- install:/ { end_block(); inst = 1; marker = "install"; next }
  /^<!-- \/install -->/ { end_block(); inst = 0; marker = ""; next }
  /^<!-- (run|run: server|skip: .+) -->$/ { end_block(); marker = substr($0, 6, length($0) - 9); next }
  /^    / {
    if (!inblock) {
      inblock = 1; count++
      file = sprintf("%s/%02d", dir, count)
      print (marker == "" ? "unmarked" : marker) > (file ".kind"); close(file ".kind")
    }
    print substr($0, 5) > file; next
  }
  { end_block(); if (NF > 0 && !inst) marker = "" }
' "$root/README.md"
free_port() {
  python3 -c 'import socket,sys
s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM if sys.argv[1]=="udp" else socket.SOCK_STREAM)
s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' "$1"
}
ran=0 skipped=0
for kind_file in "$blocks"/*.kind; do
  block=${kind_file%.kind}
  kind=$(cat "$kind_file")
  first=$(head -n1 "$block")
  case "$kind" in
    install) continue ;;
    unmarked) echo "README.md: a command block with no run/skip marker: $first" >&2; exit 1 ;;
    skip:*) echo "skipped (${kind#skip: }): $first"; skipped=$((skipped + 1)); continue ;;
  esac
  text=$(sed -e "s/\b5002\b/$(free_port udp)/g" -e "s/\b8080\b/$(free_port tcp)/g" \
             -e "s/\b1883\b/$(free_port tcp)/g" "$block")
  echo "running ($kind): $first"
  set +e
  if [ "$kind" = "run: server" ]; then
    HOME="$work/home" timeout -k 5 5 bash -euo pipefail -c "$text" </dev/null >"$work/block.log" 2>&1
    rc=$?
    [ "$rc" -eq 124 ] && rc=0
  else
    HOME="$work/home" timeout -k 10 300 bash -euo pipefail -c "$text" </dev/null >"$work/block.log" 2>&1
    rc=$?
  fi
  set -e
  if [ "$rc" -ne 0 ]; then
    tail -n 30 "$work/block.log"
    echo "README.md: this block failed ($rc):" >&2
    echo "$text" >&2
    exit 1
  fi
  ran=$((ran + 1))
done
[ "$ran" -gt 0 ] || { echo "no README command block ran" >&2; exit 1; }
echo "ok: the README's command blocks: $ran ran, $skipped skipped as marked"

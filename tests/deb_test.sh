#!/usr/bin/env bash
# The Debian package: build it with cpack, install it with dpkg, run the
# installed centre with the installed sample configuration (on a free
# loopback port given by flag), see a simulated terminal log on, stop it with
# SIGTERM, and purge the package.  Needs root and dpkg; skipped (77) without.
set -u
src=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null || ! command -v cpack >/dev/null; then
  echo "skipped: needs root, dpkg and cpack"; exit 77
fi
if dpkg-query -W -f='${Status}' dtucentre 2>/dev/null | grep -q "ok installed"; then
  echo "skipped: a dtucentre package is already installed here"; exit 77
fi
work=$(mktemp -d)
centre=
cleanup() {
  [ -n "$centre" ] && kill "$centre" 2>/dev/null
  dpkg --purge dtucentre >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; for f in "$work"/*.log; do echo "--- $f"; tail -n 20 "$f"; done; exit 1; }

cmake -S "$src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DDTUCENTRE_BUILD_TESTS=OFF -DDTUCENTRE_BUILD_BENCH=OFF >"$work/cmake.log" 2>&1 || fail "configure"
cmake --build "$work/build" -j"$(nproc)" >"$work/build.log" 2>&1 || fail "build"
(cd "$work/build" && cpack -G DEB) >"$work/cpack.log" 2>&1 || fail "cpack"
deb=$(ls "$work"/build/dtucentre_*.deb 2>/dev/null | head -n1)
[ -n "$deb" ] || fail "no .deb built"
echo "ok: built $(basename "$deb")"
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || fail "dpkg -i"
for f in /usr/bin/dtucentre /usr/bin/dtusim /etc/dtucentre/dtucentre.conf /usr/lib/systemd/system/dtucentre.service \
         /usr/share/doc/dtucentre/centre.md /usr/share/dtucentre/www/index.html; do
  [ -e "$f" ] || fail "the package did not install $f"
done
echo "ok: installed"
/usr/bin/dtucentre --version | grep -q "^dtucentre " || fail "--version of the installed program"

for attempt in 1 2 3 4 5; do
  port=$(( 20000 + RANDOM % 40000 ))
  /usr/bin/dtucentre --config /etc/dtucentre/dtucentre.conf --port "$port" </dev/null >"$work/centre.log" 2>&1 &
  centre=$!
  sleep 0.5
  kill -0 "$centre" 2>/dev/null && break
  wait "$centre"; centre=
done
[ -n "$centre" ] || fail "the installed centre did not start"
/usr/bin/dtusim --centre "127.0.0.1:$port" -n 2 --duration 1 >"$work/sim.log" 2>&1 || fail "dtusim"
kill -TERM "$centre"
wait "$centre"; rc=$?; centre=
[ "$rc" -eq 0 ] || fail "the centre exited $rc after SIGTERM"
grep -qE " logon +13900000001 " "$work/centre.log" || fail "no logon in the centre's log"
grep -q " stop " "$work/centre.log" || fail "no stop line"
echo "ok: the installed centre ran with the sample configuration, saw a logon, stopped on SIGTERM"
dpkg --purge dtucentre >"$work/dpkg.log" 2>&1 || fail "dpkg --purge"
[ ! -e /usr/bin/dtucentre ] && [ ! -e /etc/dtucentre/dtucentre.conf ] || fail "files left after purge"
echo "ok: purged"

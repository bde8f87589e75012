#!/usr/bin/env bash
# The Debian package, as an operator meets it.  Made by cpack from the build
# under test (nothing is built again), it must be stripped and lintian-clean
# and carry what a Debian user expects; then, installed with dpkg, the
# README's operator path must hold: edit the installed configuration (port,
# web console, capture, the mqtt line uncommented against a broker this test
# starts), run the installed unit's ExecStart line as the unit runs it, a
# simulated fleet logs on, the web console lists it, MQTT carries it, tshark
# decodes the capture without -X, and removal and purge leave nothing behind.
#
# It never touches a dtucentre this machine already has: if dpkg knows the
# package in any state, or any of its files or its unit's state exist, it
# says so and skips.  Root and dpkg only (skipped, 77, otherwise).
# Usage: deb_test.sh BUILD_DIR
set -u
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: deb_test.sh BUILD_DIR}" && pwd)
if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null || ! command -v cpack >/dev/null; then
  echo "skipped: needs root, dpkg and cpack"; exit 77
fi
ws_dir=$(sed -n 's/^DTUCENTRE_WIRESHARK_PLUGIN_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
status=$(dpkg-query -W -f='${db:Status-Status}' dtucentre 2>/dev/null)
if [ -n "$status" ] && [ "$status" != "not-installed" ]; then
  echo "skipped: this machine has a dtucentre package ($status); the test leaves it alone"; exit 77
fi
for f in /etc/dtucentre /etc/logrotate.d/dtucentre /usr/bin/dtucentre /usr/bin/dtusim \
         /usr/lib/systemd/system/dtucentre.service /lib/systemd/system/dtucentre.service \
         /etc/systemd/system/dtucentre.service /etc/systemd/system/multi-user.target.wants/dtucentre.service \
         /var/lib/systemd/deb-systemd-helper-enabled/dtucentre.service.dsh-also \
         /var/lib/systemd/deb-systemd-helper-masked/dtucentre.service \
         /var/log/dtucentre /var/lib/dtucentre /usr/share/dtucentre "$ws_dir/dtu.lua"; do
  if [ -e "$f" ] || [ -L "$f" ]; then
    echo "skipped: $f exists (a dtucentre installed here); the test leaves it alone"; exit 77
  fi
done
"$src/scripts/ensure-packages.sh" lintian tshark mosquitto mosquitto-clients curl python3 >/dev/null ||
  { echo "FAILED: could not install lintian, tshark, mosquitto, curl"; exit 1; }

work=$(mktemp -d)
pids=()
installed=0
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  [ "$installed" -eq 1 ] && dpkg --purge dtucentre >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*"
  for f in "$work"/*.log; do [ -s "$f" ] && { echo "--- $f"; tail -n 20 "$f"; }; done
  exit 1
}
free_port() {  # a free loopback port: $1 tcp or udp
  python3 -c 'import socket,sys
s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM if sys.argv[1]=="udp" else socket.SOCK_STREAM)
s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' "$1"
}

# ---- the package, from the build as it stands -----------------------------
cmake --build "$build" -j"$(nproc)" >"$work/build.log" 2>&1 || fail "build"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 || fail "cpack"
deb=$(ls "$work"/pkg/dtucentre_*.deb 2>/dev/null | head -n1)
[ -n "$deb" ] || fail "no .deb built"
echo "ok: built $(basename "$deb") ($(( $(stat -c %s "$deb") / 1024 )) KiB) from the build, in $SECONDS s"

dpkg-deb -x "$deb" "$work/root"
dpkg-deb -e "$deb" "$work/control"
for f in usr/share/doc/dtucentre/copyright usr/share/doc/dtucentre/changelog.Debian.gz etc/logrotate.d/dtucentre \
         usr/share/doc/dtucentre/mqtt.md usr/share/doc/dtucentre/http.md usr/share/doc/dtucentre/openapi.json \
         "${ws_dir#/}/dtu.lua"; do
  [ -e "$work/root/$f" ] || fail "the package lacks /$f"
done
for f in postinst prerm postrm; do [ -x "$work/control/$f" ] || fail "the package has no $f"; done
grep -qx /etc/dtucentre/dtucentre.conf "$work/control/conffiles" && grep -qx /etc/dtucentre/params.toml "$work/control/conffiles" &&
  grep -qx /etc/logrotate.d/dtucentre "$work/control/conffiles" ||
  fail "the files in /etc are not conffiles"
for f in usr/bin/dtucentre usr/bin/dtusim; do
  readelf -S "$work/root/$f" | grep -q '\.debug_info\|\.symtab' && fail "/$f is not stripped"
  readelf -d "$work/root/$f" | grep -q 'RPATH\|RUNPATH' && fail "/$f carries a library search path"
done
gzip -dc "$work/root/usr/share/doc/dtucentre/changelog.Debian.gz" | head -n1 | grep -q "^dtucentre (" ||
  fail "changelog.Debian.gz is no Debian changelog"
grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
  "$work/root/usr/share/doc/dtucentre/copyright" || fail "the copyright file is not machine-readable"
unit=$(ls "$work"/root/usr/lib/systemd/system/dtucentre.service "$work"/root/lib/systemd/system/dtucentre.service 2>/dev/null | head -n1)
[ -n "$unit" ] || fail "the package has no dtucentre.service"
for line in "Type=notify" "NotifyAccess=main" "ExecStart=/usr/bin/dtucentre --config /etc/dtucentre/dtucentre.conf"; do
  grep -qx "$line" "$unit" || fail "the unit has no line $line"
done
grep -q '^WatchdogSec=' "$unit" || fail "the unit has no WatchdogSec"
grep -q 'HUP\|reload' "$work/root/etc/logrotate.d/dtucentre" || fail "the logrotate rules do not make the centre reopen its log"
lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 || fail "lintian: $(grep -E '^[EW]:' "$work/lintian.log" | head -n 5)"
echo "ok: stripped, lintian-clean, copyright, changelog, logrotate, conffiles, maintainer scripts, a notify unit"

# ---- install it, and walk the operator's path -------------------------------
installed=1
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || fail "dpkg -i"
tshark -G protocols 2>/dev/null | cut -f3 | grep -qx dtu || fail "the system's tshark does not load the installed dissector"
[ -L /etc/systemd/system/multi-user.target.wants/dtucentre.service ] || fail "postinst did not enable the unit"
echo "ok: installed and enabled; tshark knows the dtu protocol"

udp=$(free_port udp) http=$(free_port tcp) mq=$(free_port tcp)
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$mq" >"$work/mosquitto.conf"
mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
pids+=($!)
# The operator's edits: the port, the web console, a capture, and the mqtt
# line of the sample uncommented.
conf=/etc/dtucentre/dtucentre.conf
grep -q '^# mqtt = ' "$conf" && grep -q '^# http = ' "$conf" || fail "the installed sample has no commented mqtt and http lines"
sed -i -e "s/^port = .*/port = $udp/" -e "s|^pcap = .*|pcap = \"$work/capture.pcap\"|" \
  -e "s/^# http = .*/http = \"127.0.0.1:$http\"/" -e "s/^# mqtt = .*/mqtt = \"127.0.0.1:$mq\"/" "$conf"
for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$mq") 2>/dev/null && break; sleep 0.1; done
timeout 20 mosquitto_sub -p "$mq" -t 'dtu/#' -v -C 12 -W 15 >"$work/mqtt.log" 2>&1 &
sub=$!
pids+=($sub)

exec_start=$(sed -n 's/^ExecStart=//p' /usr/lib/systemd/system/dtucentre.service)
# As the unit runs it: no standard input, output to the journal (a file here).
$exec_start </dev/null >"$work/centre.log" 2>&1 &
centre=$!
pids+=($centre)
for _ in $(seq 50); do curl -sf "http://127.0.0.1:$http/api/terminals" >/dev/null && break; sleep 0.1; done
kill -0 "$centre" 2>/dev/null || fail "the installed unit's ExecStart did not start: $exec_start"
/usr/bin/dtusim --centre "127.0.0.1:$udp" -n 3 --duration 2 >"$work/sim.log" 2>&1 || fail "dtusim"
curl -sf "http://127.0.0.1:$http/api/terminals" >"$work/terminals.json" || fail "the web console's API does not answer"
for id in 13900000001 13900000002 13900000003; do
  grep -q "\"$id\"" "$work/terminals.json" || fail "/api/terminals lacks $id: $(head -c 300 "$work/terminals.json")"
done
curl -sf "http://127.0.0.1:$http/" | grep -qi '<html' || fail "the web console's page is not served"
echo "ok: the installed centre ran from the unit's ExecStart; /api/terminals lists the simulated fleet"
wait "$sub"
grep -q '^dtu/.*13900000001' "$work/mqtt.log" || fail "nothing about the fleet on MQTT"
echo "ok: the sample's mqtt line, uncommented, publishes the fleet to the broker"
kill -TERM "$centre"
wait "$centre"; rc=$?
[ "$rc" -eq 0 ] || fail "the centre exited $rc after SIGTERM"
# The centre's port is a free one: the installed dissector's port preference
# is set to it, in case another protocol Wireshark knows claims that port.
n=$(tshark -o "dtu.port:$udp" -r "$work/capture.pcap" -Y dtu 2>/dev/null | wc -l)
[ "$n" -gt 0 ] || fail "tshark -Y dtu (no -X) decodes nothing in the centre's capture"
echo "ok: tshark -Y dtu decodes $n frames of the capture with no -X"

# ---- removal keeps the configuration, purge takes all -----------------------
dpkg --remove dtucentre >"$work/dpkg.log" 2>&1 || fail "dpkg --remove"
[ -e /etc/dtucentre/dtucentre.conf ] && [ ! -e /usr/bin/dtucentre ] || fail "remove: the configuration went, or the program stayed"
dpkg --purge dtucentre >"$work/dpkg.log" 2>&1 || fail "dpkg --purge"
installed=0
for f in /usr/bin/dtucentre /etc/dtucentre /etc/logrotate.d/dtucentre "$ws_dir/dtu.lua" \
         /etc/systemd/system/multi-user.target.wants/dtucentre.service \
         /var/lib/systemd/deb-systemd-helper-enabled/dtucentre.service.dsh-also \
         /var/lib/systemd/deb-systemd-helper-masked/dtucentre.service; do
  [ -e "$f" ] || [ -L "$f" ] && fail "left after purge: $f"
done
echo "ok: remove kept the configuration; purge left nothing (in $SECONDS s)"

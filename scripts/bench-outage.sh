#!/usr/bin/env bash
# A broker outage under load: TERMINALS terminals (300) at RATE frames/s
# (0.5) with resends, BUSY busy processes (3) beside the centre, the broker
# stopped for OUTAGE seconds (10).  Prints what the terminals counted
# acknowledged, what a subscriber with a kept session received (distinct
# frames), and the system's drops at the centre's socket.  Every
# acknowledged frame should have been published.  Not part of the test
# suite: it measures, it does not pass or fail.
#   scripts/bench-outage.sh
#   RECEIVE_BUFFER=65535 scripts/bench-outage.sh   # the library's own buffer
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
terminals=${TERMINALS:-300}
rate=${RATE:-0.5}
busy=${BUSY:-3}
outage=${OUTAGE:-10}
"$root/scripts/ensure-packages.sh" mosquitto mosquitto-clients
cmake --build "$build" --target dtucentre_program_exe dtusim -j2 >/dev/null

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket,sys; s=socket.socket(socket.AF_INET,int(sys.argv[1])); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' "$1"; }
mqtt=$(free_port 1)
udp=$(free_port 2)
cat >"$work/mosquitto.conf" <<EOF
listener $mqtt 127.0.0.1
allow_anonymous true
persistence true
persistence_location $work/
max_queued_messages 1000000
log_dest none
EOF
[ "$(id -u)" -eq 0 ] && echo "user root" >>"$work/mosquitto.conf"
broker() { mosquitto -c "$work/mosquitto.conf" & broker_pid=$!; pids+=("$broker_pid"); sleep 0.5; }
broker

for _ in $(seq "$busy"); do (while :; do :; done) & pids+=($!); done
mosquitto_sub -p "$mqtt" -h 127.0.0.1 -q 1 -c -i outage-sub -t 'dtu/t/+/up' -F '%x' >"$work/sub.out" & pids+=($!)
sleep 0.5
args=(--port "$udp" --mqtt "127.0.0.1:$mqtt" --quiet --summary-interval 5)
[ -n "${RECEIVE_BUFFER:-}" ] && args+=(--receive-buffer "$RECEIVE_BUFFER")
"$build/tools/dtucentre" "${args[@]}" </dev/null >"$work/centre.log" 2>&1 & centre=$!; pids+=("$centre")
sleep 1
duration=$((outage + 25))
"$build/tools/dtusim" --centre "127.0.0.1:$udp" -n "$terminals" --rate "$rate" --payload 32 \
  --duration "$duration" --retry 30 --ack-timeout 2 >"$work/sim.out" 2>&1 & sim=$!
sleep 8
kill "$broker_pid"; wait "$broker_pid" 2>/dev/null || true
sleep "$outage"
broker
wait "$sim" || true
sleep 5
drops=$(awk -v p="$(printf ':%04X' "$udp")" 'index($2, p) == 9 { print $NF }' /proc/net/udp)
kill -TERM "$centre"; wait "$centre" 2>/dev/null || true
acked=$(sed -n 's/^user data acknowledged: \([0-9]*\).*/\1/p' "$work/sim.out")
resends=$(sed -n 's/^resends: \([0-9]*\).*/\1/p' "$work/sim.out")
received=$(wc -l <"$work/sub.out")
distinct=$(sort -u "$work/sub.out" | wc -l)
echo "terminals $terminals at $rate frames/s, $busy busy processes, broker away ${outage} s"
echo "acknowledged by the centre (dtusim): $acked; resends: ${resends:-0}"
echo "published and received: $received, distinct frames: $distinct"
echo "dropped by the system at the centre's socket: ${drops:-?}"
echo "acknowledged but never published: $(( acked > distinct ? acked - distinct : 0 ))"
grep -E '  health  |  error  ' "$work/centre.log" | sed 's/^/centre: /'

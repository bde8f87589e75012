#!/usr/bin/env bash
# A long run of the centre under churn (not part of CI):
#   500 terminals: 250 steady, 150 changing their source port every 20 s,
#   and 2 groups of 50 that are killed (SIGKILL) every 20-40 s and come back
#   after they were reported idle; the operator logs one steady terminal off
#   (close --tell) every 15 s; idle expiry at 10 s; the capture file rotates
#   at 5 MB.  Prints the centre's resident memory and descriptor count every
#   minute, then checks that every killed terminal was reported idle exactly
#   once and that no descriptor leaked.
# SOAK_SECONDS (default 600) sets the length.  Exit 0 when every check holds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
seconds=${SOAK_SECONDS:-600}
"$root/scripts/build.sh" >/dev/null
work=${SOAK_DIR:-$(mktemp -d)}
mkdir -p "$work/bin"
# Copies, so that a rebuild during the run does not touch them.
cp "$build/tools/dtucentre" "$build/tools/dtusim" "$work/bin/"
centre_bin=$work/bin/dtucentre
sim_bin=$work/bin/dtusim
echo "soak: ${seconds}s, files in $work"

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

mkfifo "$work/in"
for attempt in 1 2 3 4 5; do
  port=$(( 20000 + RANDOM % 40000 ))
  "$centre_bin" --port "$port" --console --json --log-file "$work/centre.jsonl" --idle-timeout 10 \
    --pcap "$work/soak.pcap" --pcap-rotate-mb 5 --pcap-keep 3 --summary-interval 60 \
    <"$work/in" >"$work/replies.jsonl" 2>"$work/centre.err" &
  centre=$!
  exec 3>"$work/in"
  sleep 0.5
  kill -0 "$centre" 2>/dev/null && break
  exec 3>&-
done
kill -0 "$centre" || { echo "soak: the centre did not start"; cat "$work/centre.err"; exit 1; }

# The kernel's count of UDP datagrams dropped for a full receive buffer
# (machine-wide: other programs' drops count too).
udp_drops() { awk '/^Udp:/ && $2 ~ /^[0-9]+$/ {print $6}' /proc/net/snmp; }
drops_before=$(udp_drops)
start=$(date +%s)
end=$(( start + seconds ))
"$sim_bin" --centre "127.0.0.1:$port" -n 250 --prefix 100 --duration $(( seconds + 5 )) >"$work/steady.log" 2>&1 &
pids+=($!)
"$sim_bin" --centre "127.0.0.1:$port" -n 150 --prefix 110 --rebind 20 --duration $(( seconds + 5 )) >"$work/rebind.log" 2>&1 &
pids+=($!)

# Two churn slots: start 50 terminals, kill them after 20-40 s, note the kill
# (epoch ms, ID prefix), wait until their idle expiry is due, start again.
churn() { # slot
  local slot=$1 round=0
  while [ "$(date +%s)" -lt $(( end - 25 )) ]; do
    local prefix="2${slot}$(( round % 4 ))"
    "$sim_bin" --centre "127.0.0.1:$port" -n 50 --prefix "$prefix" --duration 600 >/dev/null 2>&1 &
    local sim=$!
    sleep $(( 20 + RANDOM % 21 ))
    kill -KILL "$sim"; wait "$sim" 2>/dev/null || true
    echo "$(date +%s%3N) $prefix" >>"$work/kills"
    sleep 12
    round=$(( round + 1 ))
  done
}
churn 1 & pids+=($!)
churn 2 & pids+=($!)

# Log-offs by the operator: a steady terminal told to log out every 15 s (it
# logs on again at once).
(
  while [ "$(date +%s)" -lt "$end" ]; do
    sleep 15
    printf 'close 100%08d --tell\n' $(( 1 + RANDOM % 250 ))
  done
) >&3 &
pids+=($!)

# Datagrams the kernel dropped at the centre's own socket (its receive buffer
# was full): the last column of its line in /proc/net/udp.
port_hex=$(printf '%04X' "$port")
centre_drops() { awk -v p=":$port_hex" '$2 ~ p"$" {print $NF}' /proc/net/udp | head -n1; }
printf '%-8s %-12s %-8s %-8s %s\n' minute rss_kB fds online socket_drops | tee "$work/memory.txt"
minute=0
while [ $(( $(date +%s) + 30 )) -lt "$end" ]; do
  sleep $(( 60 - ( ( $(date +%s) - start ) % 60 ) ))
  minute=$(( minute + 1 ))
  rss=$(awk '/^VmRSS/ {print $2}' "/proc/$centre/status")
  fds=$(ls "/proc/$centre/fd" | wc -l)
  online=$( (tac "$work/centre.jsonl" | grep -m1 '"event":"summary"' || true) | sed -E 's/.*"online":([0-9]+).*/\1/')
  printf '%-8s %-12s %-8s %-8s %s\n' "$minute" "$rss" "$fds" "${online:-?}" "$(centre_drops)" | tee -a "$work/memory.txt"
done

# Wind down: the fleets end, the centre stops on SIGTERM.
wait "${pids[0]}" "${pids[1]}" "${pids[2]}" "${pids[3]}" 2>/dev/null || true
sleep 12   # the last killed group's idle expiry
kill -TERM "$centre"
exec 3>&-
rc=0; wait "$centre" || rc=$?
echo "centre exit code: $rc"

idle_ok=0
python3 - "$work" <<'PY' || idle_ok=$?
import json, sys, os, collections
work = sys.argv[1]
idle = collections.defaultdict(list)   # id -> [ms]
for raw in open(os.path.join(work, 'centre.jsonl'), 'rb'):
    e = json.loads(raw.decode('utf-8'))
    if e.get('event') == 'idle':
        t = e['time']  # 2026-12-08T18:34:44.477Z
        import datetime
        ms = int(datetime.datetime.strptime(t, '%Y-%m-%dT%H:%M:%S.%fZ').replace(tzinfo=datetime.timezone.utc).timestamp() * 1000)
        idle[e['id']].append(ms)
kills = [l.split() for l in open(os.path.join(work, 'kills'))]
bad = 0
for ms, prefix in kills:
    ms = int(ms)
    for n in range(1, 51):
        tid = prefix + str(n).rjust(11 - len(prefix), '0')
        hits = [t for t in idle[tid] if ms - 1000 <= t <= ms + 12000]
        if len(hits) != 1:
            bad += 1
print(f"killed terminals: {len(kills) * 50}, reported idle exactly once: {len(kills) * 50 - bad}, not: {bad}")
sys.exit(1 if bad else 0)
PY
first_fds=$(awk 'NR==2 {print $3}' "$work/memory.txt")
last_fds=$(tail -n1 "$work/memory.txt" | awk '{print $3}')
echo "descriptors: minute 1: $first_fds, last minute: $last_fds"
echo "UDP datagrams dropped by the kernel for full receive buffers during the run (whole machine): $(( $(udp_drops) - drops_before ))"
echo "steady terminals: $(grep -h 'user data acknowledged' "$work/steady.log")"
echo "rebinding terminals: $(grep -h 'user data acknowledged' "$work/rebind.log")"
ls -l "$work"/soak.pcap* | awk '{print "capture:", $5, $9}'
if command -v tshark >/dev/null; then
  echo "capture readable: $(tshark -r "$work/soak.pcap.1" 2>/dev/null | wc -l) datagrams in soak.pcap.1"
fi
[ "$rc" -eq 0 ] && [ "$idle_ok" -eq 0 ] && [ "$first_fds" = "$last_fds" ]

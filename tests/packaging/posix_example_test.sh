#!/usr/bin/env bash
# The guide's POSIX example host (examples/posix_host.c) against simulated
# terminals: both log on, their user data is acknowledged and echoed back
# to them, and SIGTERM stops the host cleanly.
# Usage: posix_example_test.sh POSIX_HOST DTUSIM
set -u
host=$1 sim=$2
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; for f in "$work"/*.log; do echo "--- $f"; tail -n 15 "$f"; done; exit 1; }
for attempt in 1 2 3 4 5; do
  port=$(( 20000 + RANDOM % 40000 ))
  "$host" "$port" >"$work/host.log" 2>&1 &
  pid=$!
  for _ in $(seq 20); do grep -q "SIGTERM stops" "$work/host.log" && break; sleep 0.05; done
  kill -0 "$pid" 2>/dev/null && break
  wait "$pid"; pid=
done
[ -n "$pid" ] || fail "the example host did not start"
"$sim" --centre "127.0.0.1:$port" -n 2 --duration 1.5 --show-downlink >"$work/sim.log" 2>&1 ||
  fail "dtusim: some user data or logon went unanswered"
kill -TERM "$pid"
wait "$pid"; rc=$?; pid=
[ "$rc" -eq 0 ] || fail "the host exited $rc after SIGTERM"
for id in 13900000001 13900000002; do
  grep -q "^logon   $id" "$work/host.log" || fail "no logon line for $id"
  grep -q "^data    $id: 16 bytes" "$work/host.log" || fail "no data line for $id"
done
grep -Eq "UserDataDown [1-9]" "$work/sim.log" || fail "the terminals got no echo of their data"
echo "ok: the POSIX example host served two terminals, echoed their data, stopped on SIGTERM"

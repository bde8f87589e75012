#!/usr/bin/env bash
# End to end on 127.0.0.1: the console centre and a fleet of simulated
# terminals in separate processes.  Every terminal must log on, every data
# frame be acknowledged, and a parameter read and write go through.
set -u
centre_bin=$1
sim_bin=$2
work=$(mktemp -d)
trap 'rm -rf "$work"; kill $(jobs -p) 2>/dev/null' EXIT
terminals=20

for attempt in 1 2 3 4 5; do
  port=$(( 20000 + RANDOM % 40000 ))
  ( sleep 1.5; echo "read 13900000001"; sleep 0.5; echo "set 13900000001 2=e2e-test 7=600"; sleep 0.5
    echo "sendhex 13900000002 68 69"; sleep 0.5; echo "list"; sleep 3 ) |
    "$centre_bin" --port "$port" --ack --duration 5 >"$work/centre.log" 2>&1 &
  centre=$!
  sleep 0.3
  if kill -0 "$centre" 2>/dev/null; then break; fi
  wait "$centre"
done
"$sim_bin" --centre "127.0.0.1:$port" -n "$terminals" --rate 5 --duration 3 >"$work/sim.log" 2>&1
sim_rc=$?
wait "$centre"
centre_rc=$?

fail=0
check() { # file pattern what
  if ! grep -qE "$2" "$1"; then echo "FAILED: $3"; fail=1; else echo "ok: $3"; fi
}
check "$work/sim.log" "ever on line: $terminals" "every terminal logged on"
check "$work/sim.log" "user data acknowledged: [1-9][0-9]*, unanswered: 0; logons unanswered: 0" "all user data acknowledged"
check "$work/sim.log" "parameters applied: 2" "the parameter write reached the terminal"
check "$work/sim.log" "UserDataDown 1" "the downlink reached the terminal"
check "$work/centre.log" "parameters +13900000001 .* 7=7 " "the parameter read came back decoded"
check "$work/centre.log" "parameters-set +13900000001" "the terminal confirmed the parameter write"
check "$work/centre.log" "$terminals of 500 on line" "the table lists every terminal"
[ "$sim_rc" -eq 0 ] || { echo "FAILED: dtusim exited $sim_rc"; fail=1; }
[ "$centre_rc" -eq 0 ] || { echo "FAILED: dtucentre exited $centre_rc"; fail=1; }
if [ $fail -ne 0 ]; then
  echo "--- centre"; tail -n 30 "$work/centre.log"; echo "--- simulator"; cat "$work/sim.log"
fi
exit $fail

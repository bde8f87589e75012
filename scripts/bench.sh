#!/usr/bin/env bash
# Runs the benchmarks: round trips through the library and through the
# service core against the raw socket limit (with the ratios), the journal
# against plain SQLite, DataAck round trips with the journal against memory
# only, the micro-benchmarks, and the instructions per datagram under
# callgrind.  (bench/journal_soak.py, ten minutes long, is run by hand.)
# With --plot, also writes the throughput
# sweep to bench/throughput.csv and bench/throughput.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
plot=0
[ "${1:-}" = "--plot" ] && plot=1
"$root/scripts/build.sh" >/dev/null
"$root/scripts/ensure-packages.sh" valgrind

echo "== round trips =="
if [ $plot -eq 1 ]; then
  "$build/bench/roundtrip_bench" --seconds 3 --sweep "$root/bench/throughput.csv"
else
  "$build/bench/roundtrip_bench" --seconds 3
fi

echo
echo "== round trips through the service core =="
"$build/bench/service_roundtrip_bench" --seconds 2 --rounds 5

echo
echo "== the journal's store against plain SQLite =="
"$build/bench/journal_bench" --rounds 5

echo
echo "== DataAck round trips: ack journal against memory only =="
(cd "$build" && "$build/bench/journal_ack_bench" --seconds 3 --rounds 5)
echo
echo "== DataAck round trips while a client pulls a month of history =="
(cd "$build" && "$build/bench/history_load_bench" --seconds 3 --rounds 5)

echo
echo "== micro-benchmarks =="
"$build/bench/micro_bench" --benchmark_min_time=0.2 2>/dev/null

echo
echo "== instructions per datagram inside do_read_proc (callgrind) =="
# Two runs of different length: the difference is the data frames alone,
# without the 500 logons that fill the table first.
count() {
  valgrind --tool=callgrind --toggle-collect=do_read_proc --callgrind-out-file=/dev/null \
    "$build/bench/callgrind_probe" "$1" "$2" 2>&1 | sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
for mode in last spread; do
  a=$(count 1000 $mode)
  b=$(count 5000 $mode)
  echo "$mode: $(( (b - a) / 4000 )) instructions per datagram ($([ $mode = last ] && echo 'terminal in the last slot' || echo 'terminals spread over a full table'))"
done

if [ $plot -eq 1 ]; then
  "$root/scripts/ensure-packages.sh" gnuplot-nox
  gnuplot <<PLOT
set terminal png size 900,500 noenhanced
set output "$root/bench/throughput.png"
set datafile separator ","
set title "Round trips per second as the table fills (127.0.0.1, user data from the last terminal logged on)"
set xlabel "terminals on line"
set ylabel "round trips per second"
set yrange [0:*]
set key bottom right
set grid
plot "$root/bench/throughput.csv" using 1:2 with linespoints title "library (do_read_proc)", \
     "" using 1:3 with linespoints title "limit (recvfrom + sendto)"
PLOT
  echo "wrote bench/throughput.csv and bench/throughput.png"
fi

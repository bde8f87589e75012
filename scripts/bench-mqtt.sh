#!/usr/bin/env bash
# The MQTT gateway benchmark: 500 terminals through the centre to a
# subscriber against a plain libmosquitto QoS 1 publisher on the same broker
# (throughput and its ratio, latency p50/p99).  With --plot, also writes the
# latency distribution to bench/mqtt_latency.csv and bench/mqtt_latency.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/ensure-packages.sh" mosquitto libmosquitto-dev
"$root/scripts/build.sh" >/dev/null
cmake --build "$build" --target mqtt_bench -j2 >/dev/null
if [ "${1:-}" = "--plot" ]; then
  "$build/bench/mqtt_bench" --csv "$root/bench/mqtt_latency.csv" 2>&1 | grep -v 'should not be run as root'
  "$root/scripts/ensure-packages.sh" gnuplot-nox
  gnuplot <<PLOT
set terminal png size 900,500 noenhanced
set output "$root/bench/mqtt_latency.png"
set datafile separator ","
set title "Send to subscriber receipt at 5000 msg/s (127.0.0.1, QoS 1, one mosquitto)"
set xlabel "percentile"
set ylabel "milliseconds"
set logscale y
set key top left
set grid
plot "$root/bench/mqtt_latency.csv" using 1:2 skip 1 with lines lw 2 title "plain libmosquitto publisher", \
     "" using 1:3 skip 1 with lines lw 2 title "terminal -> centre -> broker (DataAck after PUBACK)"
PLOT
  echo "wrote bench/mqtt_latency.csv and bench/mqtt_latency.png"
else
  "$build/bench/mqtt_bench" 2>&1 | grep -v 'should not be run as root'
fi

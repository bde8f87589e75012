#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS
# (default 60) from the seed corpora, both at once; any finding fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-60}
"$root/scripts/ensure-packages.sh" cmake make clang libclang-rt-14-dev
# The configuration of the preset "fuzz" of CMakePresets.json.
(cd "$root" && cmake --preset fuzz -B "$build" >/dev/null)
cmake --build "$build" -j"$(nproc)" --target receive_fuzz params_fuzz >/dev/null
# The two targets run side by side, each on a core of its own for the whole
# time (on a machine with one core they share it).
declare -A pid log corpus
for target in receive params; do
  corpus[$target]=$(mktemp -d)  # new inputs go here, never into the repo's seeds
  log[$target]=$(mktemp)
  echo "fuzzing $target for ${seconds}s"
  "$build/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/${target}-" "${corpus[$target]}" "$root/fuzz/corpus/$target" >"${log[$target]}" 2>&1 &
  pid[$target]=$!
done
failed=0
for target in receive params; do
  if ! wait "${pid[$target]}"; then
    tail -n 40 "${log[$target]}"
    echo "FAILED: ${target}_fuzz found a fault (artifact under $build)"
    failed=1
  else
    grep -E '^Done [0-9]+ runs' "${log[$target]}" | sed "s/^/$target: /"
    rm -rf "${corpus[$target]}" "${log[$target]}"
  fi
done
exit "$failed"

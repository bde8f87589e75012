#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS
# (default 60) from the seed corpora; any finding fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-60}
"$root/scripts/ensure-packages.sh" cmake make clang libclang-rt-14-dev
# The configuration of the preset "fuzz" of CMakePresets.json.
(cd "$root" && cmake --preset fuzz -B "$build" >/dev/null)
cmake --build "$build" -j"$(nproc)" --target receive_fuzz params_fuzz >/dev/null
for target in receive params; do
  corpus=$(mktemp -d)  # new inputs go here, never into the repo's seeds
  log=$(mktemp)
  echo "fuzzing $target for ${seconds}s"
  if ! "$build/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix="$build/${target}-" "$corpus" "$root/fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "FAILED: ${target}_fuzz found a fault (artifact under $build)"
    exit 1
  fi
  grep -E '^Done [0-9]+ runs' "$log" | sed "s/^/$target: /"
  rm -rf "$corpus" "$log"
done

#!/usr/bin/env bash
# Static checks that need no test run: the library compiled by clang with
# -Wthread-safety (what the server lock guards, as the annotations say), and
# the folder include graph of src/ without a cycle.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CHECK_BUILD_DIR:-$root/build-check}
"$root/scripts/ensure-packages.sh" cmake make clang
"$root/scripts/include-graph.sh" --check >/dev/null
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DDTUCENTRE_BUILD_TESTS=OFF -DDTUCENTRE_BUILD_TOOLS=OFF -DDTUCENTRE_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="-Wthread-safety -Wthread-safety-beta -Werror" >/dev/null
cmake --build "$build" -j"$(nproc)" --target dtucentre_objects
echo "thread-safety annotations and include graph: clean"

#!/usr/bin/env bash
# The test suite under AddressSanitizer with UndefinedBehaviorSanitizer, and
# the threaded tests under ThreadSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/ensure-packages.sh" cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev \
  pkg-config libuv1-dev libpcap-dev nlohmann-json3-dev libtomlplusplus-dev libedit-dev \
  libmosquitto-dev mosquitto mosquitto-clients
for kind in address thread; do
  build=$root/build-$kind
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDTUCENTRE_SANITIZE=$kind >/dev/null
  cmake --build "$build" -j"$(nproc)" >/dev/null
  if [ "$kind" = address ]; then
    (cd "$build" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
      ctest --output-on-failure -j"$(nproc)" --timeout 300)
  else
    (cd "$build" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
      ctest --output-on-failure -j"$(nproc)" --timeout 300 -R 'Thread|Stress|Soak|Blocking|tools_end|ServiceTest|mqtt')
  fi
done

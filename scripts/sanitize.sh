#!/usr/bin/env bash
# The test suite under AddressSanitizer with UndefinedBehaviorSanitizer, and
# the threaded tests under ThreadSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/ensure-packages.sh" cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev \
  pkg-config libuv1-dev libpcap-dev nlohmann-json3-dev libtomlplusplus-dev libsqlite3-dev libedit-dev \
  libmosquitto-dev mosquitto mosquitto-clients libhttp-parser-dev
# The configurations are the presets "asan" and "tsan" of CMakePresets.json.
for kind in address thread; do
  build=$root/build-$kind
  preset=$([ "$kind" = address ] && echo asan || echo tsan)
  (cd "$root" && cmake --preset "$preset" >/dev/null)
  # The threaded tests run from these programs alone (mqtt_unit_test for its
  # name, which the pattern takes): the rest is not built.
  targets=()
  [ "$kind" = thread ] && targets=(--target dtucentre_tests service_tests mqtt_test mqtt_unit_test dtucentre_program_exe dtusim)
  cmake --build "$build" -j"$(nproc)" "${targets[@]}" >/dev/null
  if [ "$kind" = address ]; then
    # Left out here: the tests of packaging, scripts and the page's
    # JavaScript, which run no code of ours that the plain run does not, and
    # the minute-long broker outage (its journal feed runs under the kill
    # loop and the gateway's journal tests here too).
    (cd "$build" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
      ctest --output-on-failure -j"$(nproc)" --timeout 300 \
      -E '^(debian_package|apt_lock_wait|install_and_consume|include_graph|config_keys|exported_names|wireshark_dissector|http_browser|windows_package|journal_end_to_end.broker_away)$')
  else
    (cd "$build" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
      ctest --output-on-failure -j"$(nproc)" --timeout 300 -R 'Thread|Stress|Soak|Blocking|tools_end|ServiceTest|Journal|mqtt')
  fi
done

#!/usr/bin/env bash
# Configures and builds the project into build/ (or $BUILD_DIR), installing
# the build's packages first when they are missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/ensure-packages.sh" cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev \
  pkg-config libuv1-dev libpcap-dev nlohmann-json3-dev libtomlplusplus-dev libedit-dev tshark dpkg-dev \
  libmosquitto-dev mosquitto mosquitto-clients \
  libhttp-parser-dev libsystemd-dev libsqlite3-dev lintian
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"

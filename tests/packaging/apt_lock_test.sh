#!/usr/bin/env bash
# scripts/ensure-packages.sh waits for a package manager that holds apt's
# locks, and says so, instead of failing at once.  A helper holds dpkg's and
# the lists' locks for a few seconds; the script, asked for a package that
# does not exist, must wait them out and then fail on the name alone.
# Root only (skipped, 77, otherwise).
set -u
src=$(cd "$(dirname "$0")/../.." && pwd)
if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null || ! command -v python3 >/dev/null; then
  echo "skipped: needs root, apt-get and python3"; exit 77
fi
work=$(mktemp -d)
holder=
trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null; rm -rf "$work"' EXIT
hold=4
python3 - "$hold" /var/lib/dpkg/lock-frontend /var/lib/dpkg/lock /var/lib/apt/lists/lock >"$work/held" <<'PY' &
import fcntl, os, sys, time
fds = []
for path in sys.argv[2:]:
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o640)
    fcntl.lockf(fd, fcntl.LOCK_EX)
    fds.append(fd)
print("held", flush=True)
time.sleep(float(sys.argv[1]))
PY
holder=$!
for _ in $(seq 100); do grep -q held "$work/held" && break; sleep 0.1; done
grep -q held "$work/held" || { echo "FAILED: the helper did not take the locks"; exit 1; }
start=$(date +%s)
DTU_APT_LOCK_WAIT=60 "$src/scripts/ensure-packages.sh" no-such-package-dtucentre-test >"$work/out" 2>&1
rc=$?
took=$(( $(date +%s) - start ))
cat "$work/out"
[ "$rc" -ne 0 ] || { echo "FAILED: a package that does not exist was reported installed"; exit 1; }
grep -q "waiting for it" "$work/out" || { echo "FAILED: no line saying it waits for the lock"; exit 1; }
grep -q "Could not get lock" "$work/out" && { echo "FAILED: gave up on the lock"; exit 1; }
grep -q "Unable to locate package" "$work/out" || { echo "FAILED: did not reach the install"; exit 1; }
[ "$took" -ge $(( hold - 1 )) ] || { echo "FAILED: returned after ${took} s, before the lock was free"; exit 1; }
echo "ok: waited ${took} s for the apt lock, then went on"

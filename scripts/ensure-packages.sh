#!/usr/bin/env bash
# Installs the Debian packages named as arguments that are not installed yet.
# Runs apt-get only when something is missing, and only as root.  When
# another apt or dpkg holds the package manager's lock (a fresh machine
# running its own updates), waits for it, up to DTU_APT_LOCK_WAIT seconds
# (600 by default), saying so, instead of failing at once.
set -euo pipefail
missing=()
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
wait_s=${DTU_APT_LOCK_WAIT:-600}
export DEBIAN_FRONTEND=noninteractive
# `apt-get check` takes the dpkg lock and gives it back: a cheap probe.
if ! apt-get -qq check >/dev/null 2>&1; then
  holder=$(apt-get -qq check 2>&1 | sed -n 's/.*held by process \([0-9]*\).*/\1/p' | head -n1 || true)
  echo "another package manager holds the apt lock${holder:+ (process $holder)}; waiting for it, up to ${wait_s} s"
fi
echo "installing: ${missing[*]} (a minute or two on a fresh machine)"
deadline=$(( $(date +%s) + wait_s ))
# DPkg::Lock::Timeout makes the install wait for dpkg's lock; the update
# takes the lists' lock, which that setting does not cover: retried here.
# A mirror in the middle of a sync ("File has unexpected size", "Hash Sum
# mismatch") heals in a minute or so: the update is tried again a few times,
# and if the lists still do not all come, the install goes on with those
# that did (it fails on its own if a package cannot be found).
tries=0
while ! out=$(apt-get -qq -o "DPkg::Lock::Timeout=$wait_s" update 2>&1); do
  if grep -q "Could not get lock" <<<"$out" && [ "$(date +%s)" -lt "$deadline" ]; then
    sleep 2
    continue
  fi
  tries=$((tries + 1))
  if [ "$tries" -ge "${DTU_APT_UPDATE_TRIES:-5}" ]; then
    echo "$out" >&2
    echo "the package lists did not all update after $tries tries; installing from those that did" >&2
    break
  fi
  echo "the package lists did not update (try $tries); trying again in $((tries * 15)) s" >&2
  sleep $((tries * 15))
done
apt-get install -y -qq -o "DPkg::Lock::Timeout=$wait_s" "${missing[@]}" >/dev/null

#!/usr/bin/env bash
# Prints the folder-to-folder include list of src/ ("server -> users" when a
# file under src/server includes one under src/users).  With --check, fails
# when the folders include each other in a cycle.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
edges=$(cd "$root/src" &&
  grep -rHo '^#include "[a-z_]*/' --include='*.h' --include='*.cpp' . |
  sed -E 's#^\./([a-z_]+)/[^:]*:\#include "([a-z_]+)/#\1 \2#' |
  awk '$1 != $2' | sort -u)
echo "$edges" | awk '{print $1 " -> " $2}'
if [ "${1:-}" = "--check" ]; then
  if ! echo "$edges" | tsort >/dev/null 2>&1; then
    echo "include cycle between folders of src/:" >&2
    echo "$edges" | tsort 2>&1 >/dev/null | sed 's/^tsort: //' >&2
    exit 1
  fi
fi

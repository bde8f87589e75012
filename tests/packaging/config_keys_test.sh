#!/usr/bin/env bash
# Every key the centre takes (as the program itself lists them, so keys
# added later are caught too) is in the sample configuration, as a line of
# its own, and in the reference pages.  And the sample, with every commented
# key switched on, is a configuration the centre accepts and runs.  And
# the README's table names every host-side file.
# Usage: config_keys_test.sh DTUCENTRE SOURCE_DIR
set -u
prog=$1 src=$2
sample=$src/packaging/dtucentre.conf
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
keys=$("$prog" --list-keys) || { echo "FAILED: $prog --list-keys"; exit 1; }
grep -qx port <<<"$keys" && grep -qx mqtt <<<"$keys" && grep -qx http <<<"$keys" ||
  { echo "FAILED: --list-keys lacks port, mqtt or http: $keys"; exit 1; }
bad=0
for key in $keys; do
  if ! grep -Eq "^(# )?$key = " "$sample"; then
    echo "FAILED: packaging/dtucentre.conf has no line \"$key = ...\" (nor \"# $key = ...\")"; bad=1
  fi
  if ! cat "$src/docs/centre.md" "$src/docs/mqtt.md" "$src/docs/http.md" | grep -q "\`$key\`"; then
    echo "FAILED: the reference (docs/centre.md, mqtt.md, http.md) never names \`$key\`"; bad=1
  fi
done
# And no key in the sample that the program would refuse.
for key in $(sed -nE 's/^(# )?([a-z_]+) = .*/\2/p' "$sample"); do
  grep -qx "$key" <<<"$keys" || { echo "FAILED: the sample names \"$key\", which the program does not take"; bad=1; }
done
[ "$bad" -eq 0 ] || exit 1
echo "ok: the sample and the reference name all $(wc -w <<<"$keys") keys"

# Every host-side source file is named in the README's "What is here" table,
# by its path or, for a header and its source, by the path without the ending.
table=$(sed -n '/^## What is here/,/^## [^W]/p' "$src/README.md" | grep '^| `' | cut -d'|' -f2)
for f in $(cd "$src" && ls service/*.cpp service/*.h http/*.cpp http/*.h mqtt/*.cpp mqtt/*.h \
             tools/dtucentre/*.cpp tools/dtucentre/*.h tools/dtusim/*.cpp tools/dtusim/*.h 2>/dev/null); do
  grep -qF -e "\`$f\`" -e "\`${f%.*}\`" <<<"$table" ||
    { echo "FAILED: README.md's \"What is here\" table does not name $f"; bad=1; }
done
[ "$bad" -eq 0 ] || exit 1
echo "ok: the README names every host-side file"

# Every default the sample shows is a value the centre takes.
sed -E 's/^# ([a-z_]+ = )/\1/' "$sample" >"$work/all.conf"
timeout 20 "$prog" --config "$work/all.conf" --port 0 --http 127.0.0.1:0 --mqtt 127.0.0.1:1 --duration 0.3 \
  </dev/null >"$work/out" 2>&1 || { cat "$work/out"; echo "FAILED: the sample with every key set does not run"; exit 1; }
echo "ok: the sample with every key set runs"

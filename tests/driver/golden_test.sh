#!/usr/bin/env bash
# golden_test.sh VDSIM [--regenerate]: runs the golden scenario
# (tests/driver/golden/) with the given simulator binary in a throw-away
# directory and compares its Data/Output.csv with the recorded one, byte for
# byte. Exit status 0 when identical. With --regenerate it rewrites the
# recorded output instead: only deliberately, saying why in the commit. With VDSIM_PRELOAD set, the simulator alone runs with that
# library preloaded (LD_PRELOAD).
set -u
vdsim=$(realpath "${1:?usage: golden_test.sh VDSIM}")
golden=$(cd "$(dirname "$0")/golden" && pwd)
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT

mkdir "$work/Data"
cp "$golden"/*.ini "$golden"/*.params "$golden"/*.pkj "$work/"
if [ -n "${VDSIM_PRELOAD:-}" ]; then
  (cd "$work" && LD_PRELOAD="$VDSIM_PRELOAD" "$vdsim" >stdout.txt 2>stderr.txt); status=$?
else
  (cd "$work" && "$vdsim" >stdout.txt 2>stderr.txt); status=$?
fi
if [ "${2:-}" = --regenerate ]; then
  cp "$work/Data/Output.csv" "$golden/Output.csv"
  echo "regenerated $golden/Output.csv (status $status)"; exit $status
fi
if [ $status -ne 0 ]; then
  echo "FAIL: $vdsim exited with status $status in the golden scenario"
  cat "$work/stderr.txt"
  exit 1
fi
if ! cmp "$work/Data/Output.csv" "$golden/Output.csv"; then
  echo "FAIL: $vdsim wrote a different Data/Output.csv for the golden scenario"
  diff "$golden/Output.csv" "$work/Data/Output.csv" | head -n 4
  exit 1
fi
echo "ok: golden output byte-identical ($(wc -l < "$golden/Output.csv") lines)"

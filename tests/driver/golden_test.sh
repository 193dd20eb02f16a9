#!/usr/bin/env bash
# golden_test.sh VDSIM [--example NAME] [--regenerate]
#
# Runs the golden scenario (tests/driver/golden/) with the given simulator
# binary in a throw-away directory and compares its Data/Output.csv with the
# recorded one, byte for byte. Exit status 0 when identical.
#
# With --example NAME it runs examples/NAME instead, with --extended, and
# compares its Data/Output.csv and the "events" of its Data/Run.json (each
# event's values and measured metrics, as written) with those recorded in
# tests/driver/golden/examples/NAME/.
#
# With --regenerate it rewrites the recorded output instead: only
# deliberately, saying why in the commit. With VDSIM_PRELOAD set, the
# simulator alone runs with that library preloaded (LD_PRELOAD).
set -u
usage="usage: golden_test.sh VDSIM [--example NAME] [--regenerate]"
vdsim=$(realpath "${1:?$usage}")
shift
golden=$(cd "$(dirname "$0")/golden" && pwd)
scenario=$golden
expected=$golden
options=()
if [ "${1:-}" = --example ]; then
  name=${2:?$usage}
  shift 2
  scenario=$(cd "$golden/../../../examples/$name" && pwd) || exit 1
  expected=$golden/examples/$name
  options=(--extended)
fi
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT

# The "events" array of a run record, as written: from its opening line to
# its closing one.
events() { sed -n '/^  "events": \[/,/^  \],$/p' "$1"; }

mkdir "$work/Data"
cp "$scenario"/*.ini "$scenario"/*.params "$scenario"/*.pkj "$work/"
if [ -n "${VDSIM_PRELOAD:-}" ]; then
  (cd "$work" && LD_PRELOAD="$VDSIM_PRELOAD" "$vdsim" "${options[@]}" >stdout.txt 2>stderr.txt)
  status=$?
else
  (cd "$work" && "$vdsim" "${options[@]}" >stdout.txt 2>stderr.txt); status=$?
fi
if [ "${1:-}" = --regenerate ]; then
  mkdir -p "$expected"
  cp "$work/Data/Output.csv" "$expected/Output.csv"
  [ ${#options[@]} -eq 0 ] || events "$work/Data/Run.json" > "$expected/events.txt"
  echo "regenerated $expected (status $status)"; exit $status
fi
if [ $status -ne 0 ]; then
  echo "FAIL: $vdsim exited with status $status in $scenario"
  cat "$work/stderr.txt"
  exit 1
fi
if ! cmp "$work/Data/Output.csv" "$expected/Output.csv"; then
  echo "FAIL: $vdsim wrote a different Data/Output.csv for $scenario"
  diff "$expected/Output.csv" "$work/Data/Output.csv" | head -n 4
  exit 1
fi
if [ ${#options[@]} -ne 0 ] && ! events "$work/Data/Run.json" | cmp - "$expected/events.txt"; then
  echo "FAIL: $vdsim wrote different events or metrics into Data/Run.json for $scenario"
  events "$work/Data/Run.json" | diff "$expected/events.txt" - | head -n 8
  exit 1
fi
echo "ok: $scenario: output byte-identical ($(wc -l < "$expected/Output.csv") lines)"

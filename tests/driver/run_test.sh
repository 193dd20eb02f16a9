#!/usr/bin/env bash
# Whole runs of the vdsim binary in throw-away working directories.
# With --regenerate, rewrites the golden output instead of checking it.
set -u
vdsim=$(realpath "${VDSIM:?path to the vdsim binary}")
here=$(cd "$(dirname "$0")" && pwd)
failures=0
check() {  # check DESCRIPTION CONDITION...
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT

# No Events.ini: exit 1, nothing printed, nothing created.
mkdir -p "$work/empty/Data"
(cd "$work/empty" && "$vdsim" >out.txt 2>err.txt); status=$?
check "missing Events.ini exits 1" test $status -eq 1
check "missing Events.ini prints nothing" test ! -s "$work/empty/out.txt" -a ! -s "$work/empty/err.txt"
check "missing Events.ini creates no output" test ! -e "$work/empty/Data/Output.csv"

# Bad event file: exit 2, one line on standard error, output untouched.
mkdir -p "$work/bad/Data"; echo "precious" > "$work/bad/Data/Output.csv"
printf '[car] name Car\ndt quick\n' > "$work/bad/Events.ini"
(cd "$work/bad" && "$vdsim" >out.txt 2>err.txt); status=$?
check "bad Events.ini exits 2" test $status -eq 2
check "bad Events.ini message" grep -qx 'vdsim: Events.ini:2: \[car\], item 2: expected a number, found "quick"' "$work/bad/err.txt"
check "bad Events.ini leaves stdout empty" test ! -s "$work/bad/out.txt"
check "bad Events.ini leaves the output untouched" grep -qx precious "$work/bad/Data/Output.csv"

# A scenario copied into a fresh working directory: scenario NAME SOURCE_DIR.
scenario() {
  mkdir -p "$work/$1/Data"
  cp "$2"/Events.ini "$2"/*.ini "$2"/*.params "$2"/*.pkj "$work/$1/" 2>/dev/null
}

# Golden output: a short run through every control law, byte for byte.
scenario golden "$here/golden"
(cd "$work/golden" && "$vdsim" >out.txt 2>err.txt); status=$?
if [ "${1:-}" = --regenerate ]; then
  cp "$work/golden/Data/Output.csv" "$here/golden/Output.csv"
  echo "regenerated $here/golden/Output.csv"; exit $status
fi
check "golden run exits 0" test $status -eq 0
check "golden run prints nothing" test ! -s "$work/golden/out.txt" -a ! -s "$work/golden/err.txt"
check "golden output is byte-identical" cmp "$work/golden/Data/Output.csv" "$here/golden/Output.csv"

# No Data directory: exit 2 before simulating.
scenario nodata "$here/golden"; rmdir "$work/nodata/Data"
(cd "$work/nodata" && "$vdsim" >out.txt 2>err.txt); status=$?
check "missing Data exits 2" test $status -eq 2
check "missing Data message" grep -q '^vdsim: Data/Output.csv: cannot create' "$work/nodata/err.txt"

# A time step far too long for the tires: the state diverges, the run stops
# with status 3 and keeps what it wrote (here the header only).
scenario diverge "$here/golden"
printf '[car] name Sedan dt 0.1\n' > "$work/diverge/Events.ini"
(cd "$work/diverge" && timeout 60 "$vdsim" >out.txt 2>err.txt); status=$?
check "diverged run exits 3" test $status -eq 3
check "diverged run names the time" grep -q '^vdsim: the simulation diverged (non-finite state) at [0-9.]* s' "$work/diverge/err.txt"
check "diverged run keeps the header" test "$(wc -l < "$work/diverge/Data/Output.csv")" -eq 1

# Command line.
"$vdsim" --help >/dev/null; check "--help exits 0" test $? -eq 0
"$vdsim" --version | grep -q '^vdsim '; check "--version prints the version" test $? -eq 0
"$vdsim" --frobnicate 2>/dev/null; check "unknown argument exits 2" test $? -eq 2

echo "$failures failed"
exit $((failures > 0))

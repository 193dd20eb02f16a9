#!/usr/bin/env bash
# Whole runs of the vdsim binary in throw-away working directories.
set -u
vdsim=${VDSIM:?path to the vdsim binary}
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

# Command line.
"$vdsim" --help >/dev/null; check "--help exits 0" test $? -eq 0
"$vdsim" --version | grep -q '^vdsim '; check "--version prints the version" test $? -eq 0
"$vdsim" --frobnicate 2>/dev/null; check "unknown argument exits 2" test $? -eq 2

echo "$failures failed"
exit $((failures > 0))
